#include "shell/FileLocations.h"

#include "shell/ExeVersion.h"

#include <QDir>
#include <QFileInfo>
#include <unistd.h>

namespace shell {
namespace {

constexpr std::size_t PathLimit = 511;

bool writableFolder(const std::string& folder) {
    return ::access(folder.c_str(), W_OK) == 0;
}

std::string fallbackFolder(const char* xdgVariable, const char* homeDefault, const char* rootFolder) {
    if (::geteuid() == 0)
        return rootFolder;
    const QByteArray xdg = qgetenv(xdgVariable);
    const std::string base = xdg.isEmpty() ? QDir::homePath().toStdString() + homeDefault : xdg.toStdString();
    return base + "/halvex";
}

std::string fileIn(const std::string& preferred, const std::string& fallback, const std::string& name) {
    std::string folder = preferred;
    if (!writableFolder(folder)) {
        folder = fallback;
        QDir().mkpath(QString::fromStdString(folder));
    }
    return folder + "/" + name;
}

} // namespace

std::string ProgramDirectory() {
    return QFileInfo(QString::fromStdString(TExeVersion::ProgramPath())).absolutePath().toStdString();
}

std::string LogFilePathFor(const std::string& programPath) {
    if (programPath.size() >= PathLimit)
        return "halvex.log";
    const std::string folder = QFileInfo(QString::fromStdString(programPath)).absolutePath().toStdString();
    const std::string path =
        fileIn(folder, fallbackFolder("XDG_STATE_HOME", "/.local/state", "/var/log/halvex"), "halvex.log");
    return path.size() >= PathLimit ? std::string("halvex.log") : path;
}

std::string DefaultDatabasePath() {
    return "/var/lib/halvex/RovaZAD.fdb";
}

std::string RowJournalPathFor(const std::string& logFilePath) {
    return SiblingOfLogFile(logFilePath, "halvex-rows.sqlite");
}

std::string ExpectedReportsPathFor(const std::string& logFilePath) {
    return SiblingOfLogFile(logFilePath, "halvex-reports.sqlite");
}

std::string RestoreMarkPathFor(const std::string& logFilePath) {
    return SiblingOfLogFile(logFilePath, "halvex-restore.mark");
}

std::string SiblingOfLogFile(const std::string& logFilePath, const std::string& name) {
    const auto slash = logFilePath.rfind('/');
    return slash == std::string::npos ? name : logFilePath.substr(0, slash + 1) + name;
}

} // namespace shell
