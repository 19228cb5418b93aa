#include "support/FirebirdFixtures.h"

#include "base/PasswordCodec.h"
#include "db/InterfaceDB.h"
#include "db/MainDatabase.h"
#include "db/MessageTables.h"
#include "platform/RegistryStore.h"

#include "db/FirebirdEnvironment.h"
#include "platform/WireCodePage.h"
#include "shell/SettingsTable.h"
#include "ui/Dialogs.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpSocket>
#include <QThread>
#include <clocale>
#include <cstdlib>
#include <ibase.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testfb {

bool PrepareEmbeddedEngine() {
    static const bool prepared = [] {
        static QTemporaryDir root(QDir::tempPath() + QStringLiteral("/halvex-fbroot-XXXXXX"));
        const std::string folder = root.path().toStdString();
        if (!db::PrepareFirebirdRoot(folder))
            return false;
        ::setenv("FIREBIRD", folder.c_str(), 1);
        ::setenv("FIREBIRD_LOCK", (folder + "/lock").c_str(), 1);
        return true;
    }();
    return prepared;
}

void UseEmbeddedEngine() {
    ASSERT_TRUE(PrepareEmbeddedEngine()) << "cannot prepare a Firebird root";
}

namespace {

bool ServerAccepts(const std::string& password) {
    std::string spb = {char(isc_spb_version), char(isc_spb_current_version)};
    for (const auto& [tag, value] : {std::pair<char, std::string>{isc_spb_user_name, "SYSDBA"},
                                     std::pair<char, std::string>{isc_spb_password, password}}) {
        spb += tag;
        spb += char(value.size());
        spb += value;
    }
    ISC_STATUS_ARRAY status = {};
    isc_svc_handle service = 0;
    char name[] = "127.0.0.1:service_mgr";
    if (isc_service_attach(status, 0, name, &service, static_cast<unsigned short>(spb.size()), spb.data()))
        return false;
    isc_service_detach(status, &service);
    return true;
}

} // namespace

std::string DebianSysdbaPassword(const std::string& file) {
    QFile in(QString::fromStdString(file));
    if (!in.open(QIODevice::ReadOnly))
        return {};
    while (!in.atEnd()) {
        QByteArray line = in.readLine().trimmed();
        if (!line.startsWith("ISC_PASSWORD="))
            continue;
        line = line.mid(int(sizeof "ISC_PASSWORD=") - 1);
        if (line.size() >= 2 && (line.front() == '"' || line.front() == '\'') && line.back() == line.front())
            line = line.mid(1, line.size() - 2);
        return line.toStdString();
    }
    return {};
}

std::string ServerPassword() {
    const QByteArray password = qgetenv("HALVEX_FB_PASSWORD");
    if (!password.isEmpty())
        return password.toStdString();
    // A server that the scripts did not install keeps its own password; as
    // root the tests read it where Debian keeps it.
    static const std::string chosen = [] {
        const std::string settingsDefault = shell::DefaultDbPassword;
        if (::geteuid() != 0 || ServerAccepts(settingsDefault))
            return settingsDefault;
        const std::string debian = DebianSysdbaPassword("/etc/firebird/3.0/SYSDBA.password");
        return debian.empty() ? settingsDefault : debian;
    }();
    return chosen;
}

bool ServerReachable() {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), 3050);
    return socket.waitForConnected(5000);
}

DatabaseFolder::DatabaseFolder() : dir_(QDir::tempPath() + QStringLiteral("/halvex-db-XXXXXX")) {
    // The server runs as user firebird and must create files here too.
    ::chmod(dir_.path().toLocal8Bit().constData(), 0777);
}

std::string DatabaseFolder::file(const std::string& name) const {
    return dir_.path().toStdString() + "/" + name;
}

bool AwaitRowRoad() {
    auto* database = db::MainDatabase::Current();
    // Only the event loop's thread runs the followers: another one (a
    // bench's counter) reads the table as it is.
    if (!database || !QCoreApplication::instance() ||
        QThread::currentThread() != QCoreApplication::instance()->thread())
        return true;
    QDeadlineTimer deadline(60000);
    const auto done = [&] { return database->Road().Idle() || !database->Road().WritingNow(); };
    do {
        while (!done() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        // The followers posted by the last rows, which may hand on rows of
        // their own.
        QCoreApplication::processEvents();
    } while (!done() && !deadline.hasExpired());
    return done();
}

int MainSql(const Connection& connection, const std::string& statement) {
    SessionDB session(connection.host, connection.path, connection.user, connection.password, &MainDbHandle,
                      false);
    return session.ExecuteSQL(statement);
}

std::string MainQuery(const Connection& connection, const std::string& select) {
    AwaitRowRoad();
    SessionDB session(connection.host, connection.path, connection.user, connection.password, &MainDbHandle,
                      false);
    TStringList rows;
    session.SetResultStrings(&rows);
    session.ExecuteSQL(select);
    std::string text;
    for (const auto& row : rows)
        text += row + "\n";
    return text;
}

void DetachMain() {
    SessionDB::DetachDatabase(&MainDbHandle);
    MainDbHandle = 0;
}

namespace {

QStringList credentials(const Connection& connection) {
    return {QStringLiteral("-user"), QString::fromStdString(connection.user), QStringLiteral("-password"),
            QString::fromStdString(connection.password)};
}

std::string run(const QString& program, const QStringList& arguments, const std::string& input,
                int* exitCode) {
    QProcess process;
    // isql reads a script through its character type and drops what that
    // cannot hold: the tools get this process's own (UTF-8, chosen at start),
    // also when the environment names no locale.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LC_ALL"));
    environment.insert(QStringLiteral("LC_CTYPE"), QString::fromLatin1(std::setlocale(LC_CTYPE, nullptr)));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForStarted(30000);
    process.write(input.data(), qint64(input.size()));
    process.closeWriteChannel();
    process.waitForFinished(120000);
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return process.readAll().toStdString();
}

} // namespace

bool CreateEmptyDatabase(const Connection& connection) {
    int code = 0;
    const std::string script = "SET SQL DIALECT 3;\nCREATE DATABASE '" + connection.name() + "' USER '" +
                               connection.user + "' PASSWORD '" + connection.password + "';\n";
    run(QStringLiteral("isql-fb"), {QStringLiteral("-q")}, script, &code);
    return code == 0;
}

std::string Isql(const Connection& connection, const std::string& script, bool* ok) {
    AwaitRowRoad();
    int code = 0;
    QStringList arguments = {QStringLiteral("-q")};
    arguments << credentials(connection) << QString::fromStdString(connection.name());
    const std::string output = run(QStringLiteral("isql-fb"), arguments, script, &code);
    if (ok)
        *ok = code == 0;
    return output;
}

namespace {

int gbak(const QStringList& arguments, std::string* output) {
    int code = 0;
    const std::string text = run(QStringLiteral("gbak"), arguments, {}, &code);
    if (output)
        *output = text;
    return code;
}

} // namespace

int GbakBackup(const Connection& connection, const std::string& backupFile, std::string* output) {
    return gbak(QStringList{QStringLiteral("-b")} << credentials(connection)
                                                  << QString::fromStdString(connection.name())
                                                  << QString::fromStdString(backupFile),
                output);
}

int GbakRestore(const Connection& connection, const std::string& backupFile, std::string* output) {
    return gbak(QStringList{QStringLiteral("-c")} << credentials(connection)
                                                  << QString::fromStdString(backupFile)
                                                  << QString::fromStdString(connection.name()),
                output);
}

int GbakReplace(const Connection& connection, const std::string& backupFile, std::string* output) {
    return gbak(QStringList{QStringLiteral("-rep")} << credentials(connection)
                                                    << QString::fromStdString(backupFile)
                                                    << QString::fromStdString(connection.name()),
                output);
}

void EmbeddedInSettings(Connection& connection, const std::string& path) {
    UseEmbeddedEngine();
    platform::setWireCodePage(platform::WireCodePage::Cp1250);
    DetachMain();
    connection.path = path;
    connection.password = "masterkey";
    ConnectionInSettings(connection);
}

void ConnectionInSettings(const Connection& connection) {
    platform::RegistryKey key(platform::RegistryBranch::Machine);
    ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
    key.WriteString("IPFBase", connection.host);
    key.WriteString("NameFB", connection.path);
    key.WriteString("PasswordFB", AesEncryptToHexWire(connection.password, FixedKeyText));
}

void AttachAndCreateSchema(const Connection& connection) {
    InterfaceDB front;
    front.SetConnection(connection.host, connection.path, connection.user, connection.password);
    ASSERT_EQ(front.OpenDatabase(false), 0);
    int error = 0;
    front.CheckAndCreateTables(&error);
    ASSERT_EQ(error, 0);
}

void CreateEmbeddedSchema(Connection& connection, const std::string& path) {
    UseEmbeddedEngine();
    platform::setWireCodePage(platform::WireCodePage::Cp1250);
    DetachMain();
    connection.path = path;
    connection.password = "masterkey";
    ASSERT_NO_FATAL_FAILURE(AttachAndCreateSchema(connection));
}

void EmbeddedSchemaTest::SetUp() {
    ui::setDialogs(std::make_shared<ui::ScriptedDialogs>());
    ASSERT_NO_FATAL_FAILURE(CreateEmbeddedSchema(c, folder.file("schema.fdb")));
}

void EmbeddedSchemaTest::TearDown() {
    DetachMain();
}

void HandDeskSms(const std::string& body, const std::string& number, std::string& token,
                 std::shared_ptr<std::string> key) {
    auto sms = db::MainTable<ServiceSmsDB>();
    sms.nDir = "1";
    sms.sDate = "2026-12-07";
    sms.sTime = "10:00:00";
    sms.sNumber = number;
    sms.sLine = "1";
    sms.sBody = body;
    sms.nState = "0";
    sms.nUserId = "1";
    sms.RowToken = token = db::NewRowToken();
    sms.InsertDataWithId([key](int, const std::string& drawn) {
        if (key)
            *key = drawn;
    });
}

void HandSmsState(const std::string& key, const std::string& number, const std::string& state) {
    db::WriteMainRowsThen(
        ServiceSmsDB::RowChanges(
            SmsRowId{key}, {ServiceSmsDB::StatusUpdate(SmsState{state}, SmsRowId{key}, SmsIdentity{number})}),
        [] {});
}

} // namespace testfb
