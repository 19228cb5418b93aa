// The crash-safe local journal of the rows on their way to the database: a
// row is in it from shortly after it was handed on until it is written, so
// that neither a stop nor a crash loses it. SQLite in WAL mode, through Qt's
// QSQLITE driver; the file is its owner's alone (it holds SMS texts and
// numbers). One object a thread: each has a connection of its own to the file.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

class QSqlDatabase;
class QSqlError;
class QSqlQuery;
class QString;

namespace db {

class RowJournal {
  public:
    // A row as the journal keeps it.
    struct Entry {
        std::int64_t seq = 0; // its place in the journal, 0 while not in it
        std::string statement;
        std::string generatorQuery; // set while its key is still to be drawn
        std::string key;
        bool attempted = false; // a commit with it went out and its answer did not come
        std::string token;      // names its key for later rows (KeyOfRow)
        // The database its key was drawn in, or the row it names by a key
        // is of (DatabaseIdentity); "" when not known.
        std::string home;
        // Before its key was drawn: written into another database, it
        // draws its key there.
        std::string unkeyed, keyGenerator;
        // The database row it changes or makes, as the code that handed it
        // on named it (RowOfKey); "" for a row no later row names.
        std::string subject;
        // The key of the commit it went out with (attempted): the identity
        // of the journal (or run) that numbered it, and its number.
        std::string commitJournal;
        std::int64_t commitNumber = 0;
    };

    RowJournal();
    ~RowJournal();
    RowJournal(const RowJournal&) = delete;
    RowJournal& operator=(const RowJournal&) = delete;

    // Opens (or makes) the journal file, owner-only; false with the reason.
    bool Open(const std::string& path);
    // Open, or, when SQLite finds the file damaged (or no database), moves
    // it aside under a dated name (SetAside, with the reason in LastError)
    // and starts a new journal in its place. A failure that may pass (full,
    // I/O error, busy, cannot open) leaves the file as it is: false.
    bool OpenOrSetAside(const std::string& path);
    const std::string& SetAside() const { return setAside_; }
    // Opens a journal file only to read it, as it is (a set-aside one).
    bool OpenToRead(const std::string& path);
    bool IsOpen() const { return open_; }
    const std::string& LastError() const { return lastError_; }
    const std::string& Path() const { return path_; }
    // Made at random with the file and kept in it: with a commit's number,
    // the key of each commit of its rows.
    const std::string& Identity() const { return identity_; }
    // The highest commit number ever given out with this file (0: none).
    bool LastCommit(std::int64_t& number);
    // The lowest commit number of its rows still marked as gone out, 0
    // when none is: the keys of lower ones are no longer needed.
    bool OldestCommitOut(std::int64_t& number);

    // The rows left by an earlier run, in order; false when they cannot be
    // read.
    bool Load(std::vector<Entry>& rows);
    // At most `limit` rows after the one at `seq`, in order; false with the
    // reason when they cannot be read.
    bool LoadAfter(std::int64_t seq, std::size_t limit, std::vector<Entry>& rows);
    // The rows that name a key: their own, or one whose statement holds
    // `reference`; false when they cannot be read.
    bool LoadNamingKeys(const std::string& reference, std::vector<Entry>& rows);
    // How many rows it holds, and the place of the last.
    bool Extent(std::size_t& rows, std::int64_t& lastSeq);
    // How many rows it holds for each database they were meant for.
    bool CountByHome(std::map<std::string, std::size_t>& rows);
    // Puts the rows in, with what each knows of its key and its commit, in
    // one transaction, and gives each its place; the
    // transaction is rolled back instead when `mayCommit` says no before
    // its commit.
    bool Append(std::vector<Entry*>& rows, const std::function<bool()>& mayCommit = {});
    // The keys drawn for rows, each with the statement it made and what it
    // had before, in one transaction; or, the keys forgotten, the statement
    // and generator query each had before. With `remembered`, the key of
    // each row named by a token is kept for the rows that refer to it
    // (until ForgetKeys or ForgetKeysExcept), and so is the highest key
    // drawn from each generator in each database.
    bool SetKeys(const std::vector<const Entry*>& rows, bool remembered);
    // The rows' commit goes out now under the key of `commit` (this file's
    // identity and the number, kept as the highest given out): if no answer
    // comes, that key settles it. 0: the commit did not go after all.
    bool MarkAttempted(const std::vector<std::int64_t>& seqs, std::int64_t commit);
    // The rows are in the database.
    bool Remove(const std::vector<std::int64_t>& seqs);
    struct Key {
        std::string token, key, home;
    };
    std::vector<Key> Keys();
    // The highest key drawn from each generator in each database
    // (DatabaseIdentity), as SetKeys kept them; false when not read.
    using DrawnKeys = std::map<std::string, std::map<std::string, std::int64_t>>;
    bool KeysDrawn(DrawnKeys& keys);
    // Keeps those too (the rows of a set-aside journal refer to them).
    bool KeepKeysDrawn(const DrawnKeys& keys);
    // Forgets the keys of `tokens`: no row refers to them any more.
    bool ForgetKeys(const std::vector<std::string>& tokens);
    // Forgets the keys of every token not among `referred`.
    bool ForgetKeysExcept(const std::vector<std::string>& referred);

  private:
    bool readable();
    bool keepDrawn(QSqlDatabase& db, const Entry& row);
    static bool keepDrawn(QSqlQuery& query, const std::string& home, const QString& generator,
                          std::int64_t highest);
    void noteMissingColumns();
    QString columnOf(const char* table, const char* column) const;
    QString entrySelect() const;
    void close();
    // Reads the file's identity, made and kept at its first opening.
    bool keepIdentity();
    bool run(const char* statement);
    bool readRows(QSqlQuery& query, std::vector<Entry>& rows);
    // Adds the columns a journal of an earlier version lacks.
    bool addLaterColumns();
    bool addColumn(const char* table, const char* column, const char* definition);
    bool fail(const std::string& what);
    // Said as fail(); damage, as SQLite names it, marks the file unreadable.
    bool failed(const QSqlError& error);
    bool unplaced(std::vector<Entry*>& rows, const std::string& error);
    bool endTransaction(QSqlDatabase& db, const std::string& failure);
    bool inTransaction(const std::function<bool(QSqlQuery&)>& work);
    static bool execForEach(QSqlQuery& query, const char* statement, const std::vector<std::string>& values);
    bool forEach(const char* statement, const std::vector<std::int64_t>& seqs, int flag = -1);

    std::string connection_;
    std::string path_;
    std::string lastError_;
    std::string setAside_;
    std::string identity_;
    bool open_ = false;
    bool unreadable_ = false; // SQLite found it damaged
    // "table.column" a file read as it is lacks (of an earlier version).
    std::set<std::string> missingColumns_;
};

} // namespace db
