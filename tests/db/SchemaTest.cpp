// The schema on a new database, in the embedded engine and through the
// server, its upgrade of older contact and call-history tables, and gbak on
// an open database.
#include "db/DatabaseHost.h"
#include "db/DbErrorText.h"
#include "db/InterfaceDB.h"
#include "support/FirebirdFixtures.h"
#include "ui/Dialogs.h"

#include <QDir>
#include <QFileInfo>
#include <QString>
#include <algorithm>

namespace {

const char* const Tables[] = {"CONTACTGROUPS", "CONTACTPRIV",   "CTIUSERS",      "MSG",        "SMS",
                              "SMSROUTING",    "TALKSINCOMING", "TALKSOUTGOING", "USERGROUPS", "USERPHONES"};
const char* const Views[] = {"HISTORYIN", "HISTORYOUT", "USERANDGROUP", "USERPHONESANDNAME", "VIEW_MSG"};

std::vector<std::string> names(const testfb::Connection& c, const std::string& query) {
    SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
    TStringList result;
    session.SetResultStrings(&result);
    EXPECT_EQ(session.ExecuteSQL(query), 0) << query;
    std::sort(result.begin(), result.end());
    return result;
}

std::vector<std::string> expected(const char* const* first, std::size_t count, const char* prefix) {
    std::vector<std::string> list;
    for (std::size_t i = 0; i < count; ++i)
        list.push_back(std::string(prefix) + first[i]);
    std::sort(list.begin(), list.end());
    return list;
}

class Schema : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        testfb::UseEmbeddedEngine();
        if (GetParam()) {
            HALVEX_REQUIRE_FB_SERVER();
            c.host = "127.0.0.1";
            c.password = testfb::ServerPassword();
        } else {
            c.password = "masterkey";
        }
        c.path = folder.file("RovaZAD.fdb");
        testfb::DetachMain();
        ui::setDialogs(dialogs);
    }
    void TearDown() override { testfb::DetachMain(); }
    std::unique_ptr<InterfaceDB> front() {
        auto f = std::make_unique<InterfaceDB>();
        f->SetConnection(c.host, c.path, c.user, c.password);
        return f;
    }

    testfb::DatabaseFolder folder;
    testfb::Connection c;
    std::shared_ptr<ui::ScriptedDialogs> dialogs = std::make_shared<ui::ScriptedDialogs>();
};

} // namespace

TEST_P(Schema, NewDatabaseGetsExactlyTheSchemaAndGbakReadsItWhileOpen) {
    auto fp = front();
    InterfaceDB& f = *fp;
    ASSERT_EQ(f.OpenDatabase(false), 0);
    ASSERT_EQ(dialogs->Calls().size(), 2u); // the offer to create, then "created"
    EXPECT_EQ(dialogs->Calls()[0].text, db::Text("IDS_DB_FILE_MISSING"));
    EXPECT_EQ(dialogs->Calls()[1].text, db::Text("IDS_DB_CREATED"));
    int error = 0;
    EXPECT_EQ(f.CheckAndCreateTables(&error), 1);
    EXPECT_EQ(error, 0);

    // The commits' keys have a table of their own, with no generator nor trigger.
    std::vector<std::string> tables = expected(Tables, std::size(Tables), "");
    tables.push_back("ROWCOMMITS");
    std::sort(tables.begin(), tables.end());
    EXPECT_EQ(names(c, "select rdb$relation_name from rdb$relations where rdb$system_flag = 0 and "
                       "rdb$view_source is null"),
              tables);
    EXPECT_EQ(names(c, "select rdb$relation_name from rdb$relations where rdb$system_flag = 0 and "
                       "rdb$view_source is not null"),
              expected(Views, std::size(Views), ""));
    EXPECT_EQ(names(c, "select rdb$generator_name from rdb$generators where rdb$system_flag = 0"),
              expected(Tables, std::size(Tables), "ID_"));
    EXPECT_EQ(names(c, "select rdb$trigger_name from rdb$triggers where rdb$system_flag = 0 and "
                       "rdb$trigger_type = 1 and rdb$trigger_inactive = 0"),
              expected(Tables, std::size(Tables), "TRIGGER_"));
    EXPECT_EQ(names(c, "select rdb$field_name from rdb$relation_fields where rdb$relation_name = 'MSG' and "
                       "rdb$field_name = 'GLOBAL'"),
              std::vector<std::string>{"GLOBAL"});

    // The call history's rows are marked, the marks indexed.
    EXPECT_EQ(names(c, "select rdb$index_name from rdb$indices where trim(rdb$index_name) like '%ROWMARK'"),
              (std::vector<std::string>{"IDX_TALKSINCOMING_ROWMARK", "IDX_TALKSOUTGOING_ROWMARK"}));

    // A complete database: nothing to create, the column check's code.
    error = -5;
    EXPECT_EQ(f.CheckAndCreateTables(&error), 0);
    EXPECT_EQ(error, 0);

    const std::string backup = folder.file("backup.fbk");
    std::string output;
    EXPECT_EQ(testfb::GbakBackup(c, backup, &output), 0) << output;
    EXPECT_TRUE(QFile::exists(QString::fromStdString(backup)));
    EXPECT_TRUE(MainDbHandleExists());
}

TEST_P(Schema, OlderContactTableIsUpgradedOnceAndKeepsItsRows) {
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    bool ok = false;
    testfb::Isql(
        c,
        "CREATE TABLE contactpriv (idContactPriv INTEGER not null PRIMARY KEY, name VARCHAR(45) NOT NULL, "
        "CTIusers_nuserid INTEGER not null);\nINSERT INTO contactpriv VALUES (7, 'Kowalski', 0);\n"
        "COMMIT;\n",
        &ok);
    ASSERT_TRUE(ok);
    auto fp = front();
    InterfaceDB& f = *fp;
    ASSERT_EQ(f.OpenDatabase(false), 0);
    int error = 0;
    EXPECT_EQ(f.CheckAndCreateTables(&error), 1);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(names(c,
                    "select rdb$field_name from rdb$relation_fields where rdb$relation_name = 'CONTACTPRIV' "
                    "and rdb$field_name in ('NGROUPID', 'JOBPOSITION')"),
              (std::vector<std::string>{"JOBPOSITION", "NGROUPID"}));
    EXPECT_EQ(names(c, "select name from contactpriv where idContactPriv = 7"),
              std::vector<std::string>{"Kowalski"});
    // Once: a second run finds both columns.
    EXPECT_EQ(f.CheckAndCreateTables(&error), 0);
    EXPECT_EQ(error, 0);
}

// Call-history tables of the time before their rows were marked get the
// mark column and its index, once; their columns and rows stay.
TEST_P(Schema, OlderCallHistoryTablesGetTheRowMarkAndItsIndexOnceAndKeepTheirRows) {
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    bool ok = false;
    testfb::Isql(
        c,
        "CREATE TABLE TalksIncoming (nID INTEGER not null PRIMARY KEY, sUserPhone Char(32) not null, "
        "sDate DATE, sTime TIME, sNumber Char(32), sLinia Char(32), nLength INTEGER);\n"
        "CREATE TABLE TalksOutgoing (nID INTEGER not null PRIMARY KEY, sUserPhone Char(32) not null, "
        "sDate DATE, sTime TIME, sNumber Char(32), sLinia Char(32), nLength INTEGER, nTaryfa "
        "INTEGER, nImpuls INTEGER, nNetto FLOAT, nVat FLOAT);\n"
        "INSERT INTO TalksIncoming VALUES (7, '201', '2026-12-07', '10:00:00', '600100200', '1', 5);\n"
        "COMMIT;\n",
        &ok);
    ASSERT_TRUE(ok);
    auto fp = front();
    ASSERT_EQ(fp->OpenDatabase(false), 0);
    int error = 0;
    EXPECT_EQ(fp->CheckAndCreateTables(&error), 1);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(names(c, "select trim(rdb$relation_name) || '.' || rdb$field_name from rdb$relation_fields "
                       "where rdb$field_name = 'SROWMARK'"),
              (std::vector<std::string>{"TALKSINCOMING.SROWMARK", "TALKSOUTGOING.SROWMARK"}));
    EXPECT_EQ(names(c, "select rdb$index_name from rdb$indices where trim(rdb$index_name) like '%ROWMARK'"),
              (std::vector<std::string>{"IDX_TALKSINCOMING_ROWMARK", "IDX_TALKSOUTGOING_ROWMARK"}));
    EXPECT_EQ(names(c, "select nId || ' ' || trim(sNumber) || ' ' || nLength from TalksIncoming"),
              std::vector<std::string>{"7 600100200 5"});
    EXPECT_EQ(names(c, "select count(*) from rdb$relation_fields where rdb$relation_name = 'TALKSOUTGOING'"),
              std::vector<std::string>{"12"});
    // Once: a second run finds the column and the index.
    EXPECT_EQ(fp->CheckAndCreateTables(&error), 0);
    EXPECT_EQ(error, 0);
}

// A column check that cannot read the table does not know which columns are
// there: both are tried, and the one that is missing is added. Here the
// program's user may alter the table but not read it.
TEST_P(Schema, ContactColumnCheckThatFailsStillTriesBothColumns) {
    if (GetParam())
        GTEST_SKIP() << "skips the Server variant: the user CLERK is not in the server's security "
                        "database, and only the embedded engine takes any user name";
    {
        auto owner = front();
        ASSERT_EQ(owner->OpenDatabase(false), 0);
        int error = 0;
        ASSERT_EQ(owner->CheckAndCreateTables(&error), 1);
        ASSERT_EQ(error, 0);
    }
    testfb::DetachMain();
    bool ok = false;
    testfb::Isql(c, "ALTER TABLE contactpriv DROP nGroupId;\nGRANT ALTER ANY TABLE TO CLERK;\nCOMMIT;\n",
                 &ok);
    ASSERT_TRUE(ok);
    testfb::Connection clerk = c;
    clerk.user = "CLERK";
    auto fp = std::make_unique<InterfaceDB>();
    fp->SetConnection(clerk.host, clerk.path, clerk.user, clerk.password);
    ASSERT_EQ(fp->OpenDatabase(false), 0);
    int error = 0;
    EXPECT_EQ(fp->CheckAndCreateTables(&error), 1);
    EXPECT_NE(error, 0) << "the check's failure is what the caller learns";
    std::vector<std::string> warnings;
    for (const auto& call : dialogs->Calls())
        warnings.push_back(call.text.substr(0, call.text.find('\n')));
    EXPECT_EQ(
        std::count(warnings.begin(), warnings.end(), "Błąd przy pobieraniu listy pól tabeli kontaktów."), 1);
    // The job column is there already: adding it fails with its own message.
    EXPECT_EQ(
        std::count(warnings.begin(), warnings.end(), "Błąd przy aktualizacji struktury tabeli kontaktów."),
        1);
    testfb::DetachMain();
    EXPECT_EQ(names(c,
                    "select rdb$field_name from rdb$relation_fields where rdb$relation_name = 'CONTACTPRIV' "
                    "and rdb$field_name in ('NGROUPID', 'JOBPOSITION')"),
              (std::vector<std::string>{"JOBPOSITION", "NGROUPID"}));
}

TEST_P(Schema, PathWithLettersOutsideAsciiIsCreatedAndAttachedAsOneFile) {
    // Letters of both code pages: whichever the wire uses, the name is one.
    const QString name = QStringLiteral("Baza łódź Привет.fdb");
    c.path = folder.file(name.toStdString());
    auto fp = front();
    ASSERT_EQ(fp->OpenDatabase(false), 0);
    int error = 0;
    EXPECT_EQ(fp->CheckAndCreateTables(&error), 1);
    EXPECT_EQ(error, 0);
    const QDir dir = QFileInfo(QString::fromStdString(c.path)).dir();
    EXPECT_EQ(dir.entryList(QDir::Files), QStringList{name});
    EXPECT_EQ(names(c, "select mon$sql_dialect from mon$database"), std::vector<std::string>{"3"});

    // A later attach finds the very file that was created.
    testfb::DetachMain();
    EXPECT_EQ(names(c, "select rdb$relation_name from rdb$relations where rdb$relation_name = 'SMS'"),
              std::vector<std::string>{"SMS"});
    EXPECT_EQ(front()->OpenDatabase(false), 0);
    EXPECT_EQ(dialogs->Calls().size(), 2u); // the offer and "created" of the first open only
    EXPECT_EQ(dir.entryList(QDir::Files), QStringList{name});
}

TEST_P(Schema, StructureCheckKeepsTheFirstFailedStepsCode) {
    // A view where the table Sms belongs: CREATE TABLE fails, while the
    // trigger can still be made on the view's NID column.
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    bool ok = false;
    testfb::Isql(c, "CREATE VIEW Sms (nId) AS SELECT 1 FROM RDB$DATABASE;\nCOMMIT;\n", &ok);
    ASSERT_TRUE(ok);
    auto fp = front();
    ASSERT_EQ(fp->OpenDatabase(false), 0);
    int error = 0;
    EXPECT_EQ(fp->CheckAndCreateTables(&error), 1);
    EXPECT_NE(error, 0); // the later steps succeeded, yet the run failed
    const auto calls = dialogs->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].text, "Błąd przy tworzeniu tabeli wiadomości SMS.\n" + GetDbErrorText(error));
    // Every step after the failed one ran.
    EXPECT_EQ(names(c,
                    "select rdb$relation_name from rdb$relations where rdb$relation_name in ('SMSROUTING', "
                    "'HISTORYOUT')"),
              (std::vector<std::string>{"HISTORYOUT", "SMSROUTING"}));
}

INSTANTIATE_TEST_SUITE_P(EmbeddedAndServer, Schema, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Server" : "Embedded"; });
