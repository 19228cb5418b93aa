// The offer to create a missing database file comes only when the server
// says the file is not there: for the embedded engine, for the server on
// this computer and for one reached as another host alike. A directory in
// its place or a file the server may not open never leads to it.
#include "db/DatabaseHost.h"
#include "db/InterfaceDB.h"
#include "support/FirebirdFixtures.h"
#include "support/PrivateFirebirdServer.h"
#include "ui/Dialogs.h"

#include <QDir>
#include <sys/stat.h>

namespace {

// Opens `path`, answering Cancel to an offer; true when one was made.
bool offeredFor(const testfb::Connection& c, const std::string& path, ui::ScriptedDialogs& dialogs) {
    dialogs.QueueAnswer(ui::IDCANCEL);
    InterfaceDB front;
    front.SetConnection(c.host, path, c.user, c.password);
    EXPECT_NE(front.OpenDatabase(false), 0) << path;
    for (const auto& call : dialogs.Calls())
        if (call.text == db::Text("IDS_DB_FILE_MISSING"))
            return true;
    return false;
}

enum class Where { Embedded, SystemServer, OwnServer };

class CreateOffer : public ::testing::TestWithParam<Where> {
  protected:
    void SetUp() override {
        testfb::UseEmbeddedEngine();
        testfb::DetachMain();
        ui::setDialogs(dialogs);
        switch (GetParam()) {
        case Where::Embedded:
            c = {"", "", "SYSDBA", "masterkey"};
            break;
        case Where::SystemServer:
            HALVEX_REQUIRE_FB_SERVER();
            c = {"127.0.0.1", "", "SYSDBA", testfb::ServerPassword()};
            break;
        case Where::OwnServer:
            server = std::make_unique<testfb::PrivateServer>();
            ASSERT_TRUE(server->prepared()) << server->error();
            ASSERT_TRUE(server->start()) << server->error();
            // "127.0.0.1/<port>" names no address of this computer.
            c = {server->host(), "", "SYSDBA", testfb::ServerPassword()};
            break;
        }
    }
    void TearDown() override { testfb::DetachMain(); }

    bool offered(const std::string& path) { return offeredFor(c, path, *dialogs); }

    testfb::DatabaseFolder folder;
    std::unique_ptr<testfb::PrivateServer> server;
    testfb::Connection c;
    std::shared_ptr<ui::ScriptedDialogs> dialogs = std::make_shared<ui::ScriptedDialogs>();
};

} // namespace

TEST_P(CreateOffer, OnlyAMissingFileIsOfferedForCreation) {
    EXPECT_TRUE(offered(folder.file("missing.fdb")));
}

TEST_P(CreateOffer, ADirectoryInPlaceOfTheFileIsNoMissingFile) {
    const std::string directory = folder.file("RovaZAD.fdb");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(directory)));
    EXPECT_FALSE(offered(directory));
}

INSTANTIATE_TEST_SUITE_P(Hosts, CreateOffer,
                         ::testing::Values(Where::Embedded, Where::SystemServer, Where::OwnServer),
                         [](const auto& info) {
                             switch (info.param) {
                             case Where::Embedded:
                                 return "Embedded";
                             case Where::SystemServer:
                                 return "SystemServer";
                             case Where::OwnServer:
                                 return "OwnServer";
                             }
                             return "";
                         });

// The system's server runs as a user of its own, which may not enter a
// folder that only this user can.
TEST(CreateOfferOnTheSystemServer, AFolderTheServerMayNotEnterIsNoMissingFile) {
    HALVEX_REQUIRE_FB_SERVER();
    testfb::UseEmbeddedEngine();
    testfb::DetachMain();
    auto dialogs = std::make_shared<ui::ScriptedDialogs>();
    ui::setDialogs(dialogs);
    testfb::DatabaseFolder folder;
    const std::string closed = folder.file("closed");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(closed)));
    ASSERT_EQ(::chmod(closed.c_str(), 0700), 0);
    const testfb::Connection c{"127.0.0.1", "", "SYSDBA", testfb::ServerPassword()};
    EXPECT_FALSE(offeredFor(c, closed + "/RovaZAD.fdb", *dialogs));
    EXPECT_FALSE(MainDbHandleExists());
}
