// The database front: the main connection as a whole rather than one table.
// Open (offering to create a missing file), create or upgrade the schema,
// list the tables and browse a table's rows.
#pragma once

#include "db/SessionDB.h"

#include <functional>
#include <memory>

class InterfaceDB {
  public:
    InterfaceDB();
    virtual ~InterfaceDB();

    int SetConnection(const std::string& host, const std::string& path, const std::string& user,
                      const std::string& password);
    // The list view target: a sink the widget layer puts in front of it.
    int SetResultList(db::RowSink* view);
    int SetResultStrings(TStringList* strings);
    // Works on a connection of the caller's own, attached already, in place
    // of the program's main connection (the tables are made on it too).
    void UseConnection(DbHandle* handle);

    // 0 when the main connection is open afterwards, -1 otherwise.
    int OpenDatabase(bool showErrors);
    // 1 when a table, view or column creation was attempted; `error` holds
    // the code of the first failed attempt, else of the last one.
    int CheckAndCreateTables(int* error);
    int RefreshTableList();
    int CreateUsersTable();

    // Select of `columns` ("0": all) from `table`, where `whereColumn` ("0":
    // none) equals `whereValue` (quoted here), into the chosen target.
    int WyswietlBazeDB(const std::string& table, const std::string& columns, const std::string& whereColumn,
                       const std::string& whereValue);
    int WyswietlBazeDB(const std::string& table, const std::string& columns, const std::string& whereColumn,
                       const std::string& whereValue, std::map<int, std::string>* idTextMap);
    int WyswietlBazeDB(const std::string& table, const std::string& columns, const std::string& whereColumn,
                       const std::string& whereValue, std::vector<ContactRow>* contactRows);
    int WyswietlBazeDB(const std::string& table, const std::string& columns, const std::string& whereColumn,
                       const std::string& whereValue, std::vector<ROUTING_RULE>* routingRules);

    // 0 when the upper-cased name is in the list, else 1 (logged).
    int IsTableMissing(const std::string& name, const TStringList& names);
    void RefreshTableNames();
    void RefreshViewNames();

    // The select text WyswietlBazeDB sends (empty for an empty table name).
    static std::string BrowseSql(const std::string& table, const std::string& columns,
                                 const std::string& whereColumn, const std::string& whereValue);

  private:
    std::unique_ptr<SessionDB> openSession();
    int createMissingFile(SessionDB& session, bool showErrors);
    void attached();
    bool onMainConnection() const;
    template <class Run> int browse(const std::string& sql, Run run);
    bool runStep(int& flag, int* error, const char* name, const char* message,
                 const std::function<int()>& create);
    void upgradeContactTable(int& flag, int* error);
    void upgradeHistoryTable(int& flag, int* error, const std::string& table);
    bool alterTable(int& flag, int* error, const std::string& statement, const std::string& failure);
    void keepCode(int* error, int code);

    std::string user_ = "0";
    std::string password_ = "0";
    std::string path_ = "0";
    std::string host_ = "0";
    std::unique_ptr<SessionDB> session_;
    db::RowSink* resultList_ = nullptr;
    TStringList names_;
    TStringList* resultStrings_ = nullptr;
    bool stepFailed_ = false; // in the running structure check
    DbHandle* handle_ = &MainDbHandle;
};

// Failed opens of the process so far (from the fourth on they are shown).
extern int OpenFailureCount;
