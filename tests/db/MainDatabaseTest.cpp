// The main database with a host of its own and no window: what the sessions,
// the database front and the structure check need of the program reaches that
// host, and only while the main database exists.
#include "db/MainDatabase.h"
#include "base/DiagnosticLog.h"
#include "support/FirebirdFixtures.h"

#include <QDir>
#include <cerrno>
#include <cstring>

namespace {

class RecordingHost : public db::PlainDatabaseHost {
  public:
    struct Message {
        std::string text;
        std::string caption;
        MessageKind kind;
    };
    std::string Text(const char* key) override { return std::string("text of ") + key; }
    db::ConnectionSettings MainConnectionSettings() override { return settings; }
    std::string MainCaption() override { return "Main caption"; }
    void RestartReconnectTimer() override { ++timerRestarts; }
    bool HasDisplay() override { return true; }
    void ShowMessage(const std::string& text, const std::string& caption, MessageKind kind) override {
        messages.push_back({text, caption, kind});
    }
    bool AskOkCancel(const std::string& text, const std::string&) override {
        questions.push_back(text);
        return answerOk;
    }

    db::ConnectionSettings settings;
    int timerRestarts = 0;
    bool answerOk = true;
    std::vector<Message> messages;
    std::vector<std::string> questions;
};

class MainDatabaseHost : public ::testing::Test {
  protected:
    void SetUp() override {
        testfb::UseEmbeddedEngine();
        testfb::DetachMain();
        host.settings = {"", folder.file("main.fdb"), "SYSDBA", "masterkey"};
    }
    void TearDown() override { testfb::DetachMain(); }

    testfb::DatabaseFolder folder;
    RecordingHost host;
};

} // namespace

// A missing file is offered for creation through the host; the new database
// then gets its structure, announced in the host's text and caption.
TEST_F(MainDatabaseHost, ANewDatabaseIsCreatedAndGetsItsStructureThroughTheHost) {
    db::MainDatabase database(host);
    database.AttachAtStartup();
    EXPECT_EQ(database.MainDbState, 0);
    EXPECT_TRUE(database.MainDbReady);
    ASSERT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(host.questions[0], "text of IDS_DB_FILE_MISSING");
    ASSERT_EQ(host.messages.size(), 2u);
    EXPECT_EQ(host.messages[0].text, "text of IDS_DB_CREATED");
    EXPECT_EQ(host.messages[1].text, "text of IDS_819");
    EXPECT_EQ(host.messages[1].caption, "Main caption");
    EXPECT_EQ(host.messages[1].kind, db::DatabaseHost::MessageKind::Information);
    EXPECT_TRUE(database.SmsLeftInProgressFailed);

    // Attached and checked already: the reconnect tick changes nothing.
    database.Reconnect();
    EXPECT_EQ(database.MainDbState, 0);
    EXPECT_EQ(database.StructureChecksRun, 1);
    EXPECT_EQ(host.messages.size(), 2u);
}

// A refused offer and a failed attach leave the state at -1 and re-arm the
// host's reconnect timer; the error text comes from the host's texts.
TEST_F(MainDatabaseHost, AFailedAttachReArmsTheHostsReconnectTimer) {
    db::MainDatabase database(host);
    host.answerOk = false;
    database.AttachAtStartup();
    EXPECT_EQ(database.MainDbState, -1);
    EXPECT_FALSE(database.MainDbReady);
    EXPECT_EQ(host.questions.size(), 1u);

    // A directory in place of the file is no missing file: a plain failure.
    host.settings.path = folder.file("folder.fdb");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(host.settings.path)));
    const int restartsBefore = host.timerRestarts;
    // The log has the failure's own words, the cause beneath the first
    // message too, also with the database log switch off.
    base::Switches().LogInfo = true;
    base::DiagnosticLog::instance().LogQueueMain.TakeAll();
    database.Reconnect();
    base::Switches().LogInfo = false;
    EXPECT_EQ(database.MainDbState, -1);
    EXPECT_EQ(host.timerRestarts, restartsBefore + 1);
    EXPECT_FALSE(MainDbHandleExists());
    for (const auto& message : host.messages)
        EXPECT_EQ(message.text.rfind("text of IDS_", 0), 0u) << message.text;
    std::string log;
    for (const std::string& line : base::DiagnosticLog::instance().LogQueueMain.TakeAll())
        log += line + "\n";
    EXPECT_NE(log.find(std::strerror(EISDIR)), std::string::npos) << log;
}

// The sessions reach the host only while its main database exists: a
// destroyed one leaves no dangling host behind.
TEST_F(MainDatabaseHost, TheHostServesOnlyWhileItsMainDatabaseExists) {
    {
        db::MainDatabase database(host);
        EXPECT_EQ(db::MainDatabase::Current(), &database);
        EXPECT_EQ(&db::host(), &host);
        EXPECT_EQ(db::Text("IDS_739"), "text of IDS_739");
    }
    EXPECT_EQ(db::MainDatabase::Current(), nullptr);
    EXPECT_NE(&db::host(), &host);
    EXPECT_EQ(db::Text("IDS_739"), "IDS_739");
}
