#include "db/FirebirdEnvironment.h"

#include "platform/PrivateFolder.h"

#include "base/DiagnosticLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdlib>
#include <ibase.h>
#include <unistd.h>

namespace db {

std::string InstalledFirebirdDirectory() {
    QStringList candidates;
    for (const QString& arch : QDir(QStringLiteral("/usr/lib")).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        candidates << QStringLiteral("/usr/lib/%1/firebird/3.0").arg(arch);
    candidates << QStringLiteral("/usr/lib/firebird/3.0") << QStringLiteral("/opt/firebird");
    for (const QString& candidate : candidates)
        if (QFileInfo::exists(candidate + QStringLiteral("/plugins")))
            return candidate.toStdString();
    return {};
}

bool PrepareFirebirdRoot(const std::string& folder) {
    const std::string installed = InstalledFirebirdDirectory();
    const QString root = QString::fromStdString(folder);
    if (installed.empty() || !QDir().mkpath(root + QStringLiteral("/lock"))) {
        base::WriteLog(2, "Nie można przygotować katalogu Firebird %s", folder.c_str());
        return false;
    }
    const QString from = QString::fromStdString(installed);
    auto link = [&](const QString& target, const QString& name) {
        const QString path = root + QLatin1Char('/') + name;
        if (!QFileInfo(path).isSymLink())
            QFile::link(target, path);
    };
    for (const char* name : {"plugins", "lib", "firebird.msg", "plugins.conf"})
        link(from + QLatin1Char('/') + QLatin1String(name), QLatin1String(name));
    // The character sets module is found as <root>/intl/fbintl, and refused
    // when that is a link to a file elsewhere: it gets a copy.
    QDir().mkpath(root + QStringLiteral("/intl"));
    if (!QFileInfo::exists(root + QStringLiteral("/intl/fbintl")))
        QFile::copy(from + QStringLiteral("/intl/libfbintl.so"), root + QStringLiteral("/intl/fbintl"));
    QFile config(root + QStringLiteral("/firebird.conf"));
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        base::WriteLog(2, "Nie można zapisać %s/firebird.conf", folder.c_str());
        return false;
    }
    config.write("# The embedded engine of Halvex: several processes (the server and gbak)\n"
                 "# may open one database at a time.\n"
                 "ServerMode = SuperClassic\n");
    return true;
}

void UseOwnFirebirdRoot() {
    if (std::getenv("FIREBIRD"))
        return;
    std::string base;
    if (::geteuid() == 0)
        base = "/run/halvex";
    else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        base = std::string(runtime) + "/halvex";
    else
        base = "/tmp/halvex-" + std::to_string(::geteuid());
    // Another user must not be able to lay out the engine's plugins for us.
    if (!platform::EnsurePrivateFolder(base)) {
        base::WriteLog(2, "Katalog %s nie należy wyłącznie do tego użytkownika", base.c_str());
        return;
    }
    const std::string root = base + "/firebird";
    if (!PrepareFirebirdRoot(root))
        return;
    ::setenv("FIREBIRD", root.c_str(), 1);
    ::setenv("FIREBIRD_LOCK", (root + "/lock").c_str(), 1);
}

namespace {

// Asked by the client's signal thread before it shuts down; non-zero refuses.
// The program's own SIGTERM handling is chained behind the client's and runs
// as before.
int refuseSignalShutdown(const int reason, const int, void*) {
    return reason == fb_shutrsn_signal ? 1 : 0;
}

} // namespace

void RefuseClientShutdownOnSignals() {
    ISC_STATUS_ARRAY status{};
    if (fb_shutdown_callback(status, refuseSignalShutdown, fb_shut_confirmation, nullptr) != 0)
        base::WriteLog(2, "%s", "Nie można zarejestrować obsługi zamykania klienta Firebird");
}

void EndDatabaseClient(int boundMs) {
    static bool ended = false;
    if (ended)
        return;
    ended = true;
    if (fb_shutdown(unsigned(boundMs), fb_shutrsn_app_stopped) != 0)
        base::WriteLog(2, "%s", "Klient Firebird nie zamknął połączeń w wyznaczonym czasie");
}

} // namespace db
