// Firebird for tests: the embedded engine on temporary files, run from a
// Firebird root of the test process's own, and the real server on 127.0.0.1.
#pragma once

#include "db/SessionDB.h"

#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace testfb {

// Points the process at a temporary Firebird root with a lock folder of its
// own (once, before any database call of the process: the client reads both
// at its first call); false when the root cannot be prepared.
bool PrepareEmbeddedEngine();
// The same as a test's assertion.
void UseEmbeddedEngine();

struct Connection {
    std::string host; // "" for the embedded engine
    std::string path;
    std::string user = "SYSDBA";
    std::string password;
    // host:path or the path alone
    std::string name() const { return host.empty() ? path : host + ":" + path; }
};

// The password of SYSDBA on the test server: $HALVEX_FB_PASSWORD, else the
// settings' default, else (as root, when the server refuses the default) the
// one in Debian's SYSDBA.password.
std::string ServerPassword();
// ISC_PASSWORD of a file in the form of Debian's SYSDBA.password; "" when
// there is none.
std::string DebianSysdbaPassword(const std::string& file);
// True when the server answers on 127.0.0.1:3050.
bool ServerReachable();
// Skips only when HALVEX_NO_FB_SERVER=1; otherwise a missing server fails.
#define HALVEX_REQUIRE_FB_SERVER()                                                                           \
    do {                                                                                                     \
        if (!testfb::ServerReachable()) {                                                                    \
            if (qEnvironmentVariable("HALVEX_NO_FB_SERVER") == QLatin1String("1"))                           \
                GTEST_SKIP() << "no Firebird server (HALVEX_NO_FB_SERVER=1)";                                \
            FAIL()                                                                                           \
                << "the Firebird server on 127.0.0.1:3050 is not running (start it with scripts/firebird)";  \
        }                                                                                                    \
    } while (0)

// A folder for database files that both this process and the server (user
// firebird) can write; removed at the end.
class DatabaseFolder {
  public:
    DatabaseFolder();
    std::string file(const std::string& name) const;

  private:
    QTemporaryDir dir_;
};

// Runs the event loop until the rows handed to the main database's road are
// written and their followers told, and so are the rows those followers
// hand on (rows that wait for another client's lock aside; at once when the
// road cannot write now: no database attached, paused, or away); false when
// they were not in time. Called from another thread than the event loop's,
// it returns at once.
bool AwaitRowRoad();

// A desk's message to `number` handed to the main database's road, keyed
// there as the gateway's are: `token` names its key for later rows, `key`
// (when given) takes the key once its row is written.
void HandDeskSms(const std::string& body, const std::string& number, std::string& token,
                 std::shared_ptr<std::string> key = {});
// The message's state as its delivery report writes it, its row named by
// its key or by KeyOfRow.
void HandSmsState(const std::string& key, const std::string& number, const std::string& state);

// Detaches the main handle so the next session attaches anew.
void DetachMain();

// One statement on the main handle: its status, 0 on success.
int MainSql(const Connection& connection, const std::string& statement);
// The rows a select gives on the main handle, each followed by "\n".
std::string MainQuery(const Connection& connection, const std::string& select);

// Attaches the main handle to the database and creates the whole schema.
void AttachAndCreateSchema(const Connection& connection);

// An embedded database at `path` (not created yet) in the Windows-1250 wire
// code page, written into the machine branch of the settings, where the main
// window reads it.
void EmbeddedInSettings(Connection& connection, const std::string& path);
// The connection's host, file and password in the machine branch of the
// settings.
void ConnectionInSettings(const Connection& connection);

// A new database of the whole schema at `path` in the embedded engine,
// attached as the main connection in the Windows-1250 wire code page.
void CreateEmbeddedSchema(Connection& connection, const std::string& path);

// A new database of the whole schema in the embedded engine, attached as the
// main connection in the Windows-1250 wire code page, with scripted dialogs;
// detached again at the end.
class EmbeddedSchemaTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    DatabaseFolder folder;
    Connection c;
};

// Creates an empty database (dialect 3) with isql; true on success.
bool CreateEmptyDatabase(const Connection& connection);
// Runs an isql script against the database; its output (stdout and stderr).
std::string Isql(const Connection& connection, const std::string& script, bool* ok = nullptr);
// gbak -b of the database into `backupFile`; exit code 0 means backed up.
int GbakBackup(const Connection& connection, const std::string& backupFile, std::string* output = nullptr);
// gbak -c of `backupFile` as a new database at the connection; 0: restored.
int GbakRestore(const Connection& connection, const std::string& backupFile, std::string* output = nullptr);
// gbak -rep of `backupFile` into the database at the connection (made, or
// replaced); 0: restored.
int GbakReplace(const Connection& connection, const std::string& backupFile, std::string* output = nullptr);

} // namespace testfb
