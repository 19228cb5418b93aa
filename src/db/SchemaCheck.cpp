// Creates what is missing of the schema: tables with their generators and
// triggers, the later contact columns, and the views.
#include "base/DiagnosticLog.h"
#include "db/CallHistoryTables.h"
#include "db/CallWatchdog.h"
#include "db/CommitKeys.h"
#include "db/ContactTables.h"
#include "db/DatabaseHost.h"
#include "db/DbErrorText.h"
#include "db/InterfaceDB.h"
#include "db/MessageTables.h"
#include "db/RowLookup.h"
#include "db/UserTables.h"

#include <QString>
#include <algorithm>

namespace {

std::string upper(const std::string& text) {
    std::string result = text;
    for (char& c : result)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return result;
}

void warn(const std::string& text) {
    db::host().ShowMessage(text, "Halvex", db::DatabaseHost::MessageKind::Warning);
}

// Runs one creation on a fresh object of the class.
template <class Table, class Create>
std::function<int()> with(const InterfaceDB*, Create create, const std::string& host, const std::string& path,
                          const std::string& user, const std::string& password) {
    return [=] {
        Table table(host, path, user, password);
        return (table.*create)();
    };
}

} // namespace

int InterfaceDB::IsTableMissing(const std::string& name, const TStringList& names) {
    if (std::find(names.begin(), names.end(), upper(name)) != names.end())
        return 0;
    if (base::Switches().chbLogBaza)
        base::WriteLog(2, "Brak tabeli lub widoku bazy: %s", name.c_str());
    return 1;
}

void InterfaceDB::RefreshTableNames() {
    auto session = openSession();
    session->GetTableNames(&names_);
}

void InterfaceDB::RefreshViewNames() {
    auto session = openSession();
    session->GetViewNames(&names_);
}

bool InterfaceDB::runStep(int& flag, int* error, const char* name, const char* message,
                          const std::function<int()>& create) {
    if (!IsTableMissing(name, names_))
        return true;
    flag = 1;
    int code = 0;
    {
        // Creating what is missing is rebuilding: it may take its time.
        const db::MaintenanceCalls rebuild;
        code = create();
    }
    keepCode(error, code);
    if (code != 0)
        warn(message + GetDbErrorText(code));
    return code == 0;
}

void InterfaceDB::upgradeContactTable(int& flag, int* error) {
    TStringList columns;
    {
        auto session = openSession();
        session->SetResultColumnNames(&columns);
        const int code = session->ExecuteSQL("SELECT FIRST 1 * FROM ContactPriv;");
        keepCode(error, code);
        // A check that could not read the table knows no column: both are
        // tried, and one that is there fails with its own message.
        if (code != 0) {
            warn(std::string("Błąd przy pobieraniu listy pól tabeli kontaktów.\n") + "\n" +
                 GetDbErrorText(code));
            columns.clear();
        }
    }
    bool hasGroup = false;
    bool hasJob = false;
    for (const std::string& column : columns) {
        hasGroup = hasGroup || upper(column) == "NGROUPID";
        hasJob = hasJob || upper(column) == "JOBPOSITION";
        if (hasGroup && hasJob)
            break;
    }
    const char* failure = "Błąd przy aktualizacji struktury tabeli kontaktów.";
    if (!hasGroup)
        alterTable(flag, error, "ALTER TABLE ContactPriv ADD nGroupId INTEGER;", failure);
    if (!hasJob)
        alterTable(flag, error, "ALTER TABLE ContactPriv ADD JOBPOSITION VARCHAR(45);", failure);
}

// One change of a table's structure, said when it fails.
bool InterfaceDB::alterTable(int& flag, int* error, const std::string& statement,
                             const std::string& failure) {
    flag = 1;
    auto session = openSession();
    // Rebuilding: a long table takes its time (an index over its rows).
    const db::MaintenanceCalls rebuild;
    const int code = session->ExecuteSQL(statement);
    keepCode(error, code);
    if (code != 0)
        warn(failure + "\n\n" + GetDbErrorText(code));
    return code == 0;
}

// A call-history table made before its rows were marked gets the mark
// column and its index; the desks' columns stay as they are.
void InterfaceDB::upgradeHistoryTable(int& flag, int* error, const std::string& table) {
    const std::string index = db::RowMarkIndexName(table);
    TStringList found;
    {
        auto session = openSession();
        session->SetResultStrings(&found);
        const int code = session->ExecuteSQL(
            "SELECT RDB$FIELD_NAME FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = '" + upper(table) +
            "' AND RDB$FIELD_NAME = '" + upper(db::RowMarkColumn) +
            "' UNION ALL SELECT RDB$INDEX_NAME FROM RDB$INDICES WHERE RDB$INDEX_NAME = '" + index + "'");
        keepCode(error, code);
        if (code != 0) {
            warn(std::string("Błąd przy sprawdzaniu struktury tabeli ") + table + ".\n\n" +
                 GetDbErrorText(code));
            return;
        }
    }
    const auto has = [&](const std::string& name) {
        return std::find(found.begin(), found.end(), name) != found.end();
    };
    const std::string failure = "Błąd przy aktualizacji struktury tabeli " + table + ".";
    if (!has(upper(db::RowMarkColumn)) &&
        !alterTable(flag, error, "ALTER TABLE " + table + " ADD " + db::RowMarkDefinition, failure))
        return;
    if (!has(index))
        alterTable(flag, error, db::RowMarkIndexStatement(table), failure);
}

// Each attempt's code goes to the caller's error code until one fails; that
// first failure then stays, so later successful steps never turn a failed run
// into a reported success.
void InterfaceDB::keepCode(int* error, int code) {
    if (stepFailed_)
        return;
    *error = code;
    stepFailed_ = code != 0;
}

int InterfaceDB::CheckAndCreateTables(int* error) {
    int flag = 0;
    stepFailed_ = false;
    const std::string h = host_, p = path_, u = user_, w = password_;
    const db::TableConnectionScope tables(handle_);
    // A cancelled attach of the main connection says nothing of another one.
    const auto aborted = [this] { return handle_ == &MainDbHandle && db::ConnectAborted(); };
    RefreshTableNames();
    runStep(flag, error, "Msg", "Błąd przy tworzeniu tabeli wiadomości.\n",
            with<ServiceMsgDB>(this, &ServiceMsgDB::CreateTable, h, p, u, w));
    if (!aborted()) {
        if (runStep(flag, error, "contactpriv", "Błąd przy tworzeniu tabeli kontaktów.\n",
                    with<ServiceContactsDB>(this, &ServiceContactsDB::CreateTable, h, p, u, w)))
            upgradeContactTable(flag, error);
        runStep(flag, error, "ContactGroups", "Błąd przy tworzeniu tabeli grup kontaktów.\n",
                with<ServiceContactGroupsDB>(this, &ServiceContactGroupsDB::CreateTable, h, p, u, w));
        runStep(flag, error, "CTIusers", "Błąd przy tworzeniu tabeli użytkowników CTI.\n",
                with<ServiceUseresDB>(this, &ServiceUseresDB::CreateTable, h, p, u, w));
        runStep(flag, error, "UserPhones", "Błąd przy tworzeniu tabeli telefonów.\n",
                with<ServiceUserPhonesDB>(this, &ServiceUserPhonesDB::CreateTable, h, p, u, w));
        if (runStep(flag, error, "TalksOutgoing", "Błąd przy tworzeniu tabeli rozmów wychodzących.\n",
                    with<ServiceTalkOutDB>(this, &ServiceTalkOutDB::CreateTable, h, p, u, w)))
            upgradeHistoryTable(flag, error, "TalksOutgoing");
        if (runStep(flag, error, "TalksIncoming", "Błąd przy tworzeniu tabeli rozmów przychodzących.\n",
                    with<ServiceTalkInDB>(this, &ServiceTalkInDB::CreateTable, h, p, u, w)))
            upgradeHistoryTable(flag, error, "TalksIncoming");
        runStep(flag, error, "UserGroups", "Błąd przy tworzeniu tabeli dla grup użytkowników.\n",
                with<ServiceUserGroupsDB>(this, &ServiceUserGroupsDB::CreateTable, h, p, u, w));
        runStep(flag, error, "Sms", "Błąd przy tworzeniu tabeli wiadomości SMS.\n",
                with<ServiceSmsDB>(this, &ServiceSmsDB::CreateTable, h, p, u, w));
        runStep(flag, error, "SmsRouting", "Błąd przy tworzeniu tabeli reguł dystrybucji wiadomości SMS.\n",
                with<ServiceSmsRoutingDB>(this, &ServiceSmsRoutingDB::CreateTable, h, p, u, w));
        runStep(flag, error, db::CommitKeyTable, "Błąd przy tworzeniu tabeli kluczy zapisów.\n",
                with<ServiceCommitKeysDB>(this, &ServiceCommitKeysDB::CreateTable, h, p, u, w));
    }
    RefreshViewNames();
    if (!aborted()) {
        runStep(flag, error, "UserPhonesAndName", "Błąd przy tworzeniu widoku użytkowników i telefonów.\n",
                with<ServiceUserPhonesView>(this, &ServiceUserPhonesView::CreateView, h, p, u, w));
        runStep(flag, error, "UserAndGroup", "Błąd przy tworzeniu widoku użytkowników i grup.\n",
                with<ServiceUserAndGroupView>(this, &ServiceUserAndGroupView::CreateView, h, p, u, w));
        runStep(flag, error, "HistoryIn", "Błąd przy tworzeniu widoku dla rozmów przychodzących.\n",
                with<ServiceHistoryInView>(this, &ServiceHistoryInView::CreateView, h, p, u, w));
        runStep(flag, error, "View_Msg", "Błąd przy tworzeniu widoku dla wiadomości.\n",
                with<ServiceMsgDB>(this, &ServiceMsgDB::CreateView, h, p, u, w));
        runStep(flag, error, "HistoryOut", "Błąd przy tworzeniu widoku dla rozmów wychodzących.\n",
                with<ServiceTalkOutDB>(this, &ServiceTalkOutDB::CreateView, h, p, u, w));
    }
    return flag;
}
