// The branch file on the disk: read only when it changed and only when it is
// a regular file of a sensible size, saved whole through a new file that
// takes its place, and copied aside before a rewrite when it held anything
// that could not be read.
#include "platform/RegistryInternal.h"

#include "platform/Clock.h"
#include "platform/WholeFile.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTemporaryFile>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
using namespace registry;
namespace {

// The text of a branch file: UTF-16 with a byte-order mark (as the Windows
// registry editor exports) is decoded, a UTF-8 mark dropped.
std::string decodedFileText(const QByteArray& bytes, std::vector<std::string>& problems) {
    const auto starts = [&](const char* mark, int size) { return bytes.startsWith(QByteArray(mark, size)); };
    if (starts("\xFF\xFE", 2) || starts("\xFE\xFF", 2)) {
        const bool little = starts("\xFF\xFE", 2);
        QStringDecoder decoder(little ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE);
        const QString text = decoder.decode(bytes.mid(2));
        problems.push_back(little ? "plik w kodowaniu UTF-16LE" : "plik w kodowaniu UTF-16BE");
        if (decoder.hasError())
            problems.push_back("nieprawidłowe znaki UTF-16");
        return text.toStdString();
    }
    if (starts("\xEF\xBB\xBF", 3))
        return bytes.mid(3).toStdString();
    return bytes.toStdString();
}

std::string homeConfigDir() {
    const QByteArray xdg = qgetenv("XDG_CONFIG_HOME");
    if (!xdg.isEmpty())
        return xdg.toStdString();
    return QDir::homePath().toStdString() + "/.config";
}

} // namespace

std::string registryFilePath(RegistryBranch branch) {
    const QByteArray dir = qgetenv("HALVEX_REGISTRY_DIR");
    if (!dir.isEmpty())
        return dir.toStdString() + (branch == RegistryBranch::Machine ? "/machine.reg" : "/user.reg");
    if (branch == RegistryBranch::Machine)
        return "/etc/vorlin/halvex.reg";
    return homeConfigDir() + "/vorlin/halvex.reg";
}

RegistryFile::Stamp RegistryFile::Stamp::of(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return {};
    const auto ns = [](const timespec& t) { return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; };
    return {true,
            S_ISREG(info.st_mode),
            S_ISDIR(info.st_mode),
            std::uint64_t(info.st_dev),
            std::uint64_t(info.st_ino),
            std::int64_t(info.st_size),
            ns(info.st_mtim),
            ns(info.st_ctim)};
}

// Reading the file only when it changed keeps a start-up, which loads it
// before every value, linear in the file's size.
bool RegistryFile::load() {
    const Stamp stamp = Stamp::of(filePath_);
    if (current_ && stamp == stamp_)
        return true;
    current_ = false;
    if (!stamp.exists) {
        keys_.clear();
        problems_.clear();
        current_ = true;
        stamp_ = stamp;
        return true;
    }
    // A folder in the file's place cannot be read (and never read as empty).
    if (stamp.directory)
        return false;
    if (!stamp.regular) {
        refuse(stamp, "nie jest zwykłym plikiem");
        return true;
    }
    if (stamp.size > SizeLimit) {
        refuse(stamp, "plik ma " + std::to_string(stamp.size) + " bajtów, więcej niż " +
                          std::to_string(SizeLimit / (1024 * 1024)) + " MB");
        return true;
    }
    std::string bytes;
    // A file that cannot be read keeps what was read before: writing back an
    // empty branch would lose every setting.
    if (!read(bytes))
        return current_;
    std::vector<std::string> problems;
    const std::string decoded = decodedFileText(QByteArray::fromStdString(bytes), problems);
    keys_ = parse(decoded, &problems);
    problems_ = std::move(problems);
    // Read after the stamp: a change meanwhile is found by the next load.
    current_ = true;
    stamp_ = stamp;
    return true;
}

// Opened without waiting and checked on the open file itself: what is read
// is what was checked, even when the name is replaced meanwhile.
bool RegistryFile::read(std::string& bytes) {
    const int fd = ::open(filePath_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        // Gone between the look and the open: the next load finds it missing.
        const int error = errno;
        if (error != ENOENT)
            tell(Stamp::of(filePath_), std::strerror(error), error);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        refuse(Stamp::of(filePath_), "nie jest zwykłym plikiem");
        return false;
    }
    char buffer[64 * 1024];
    bool ok = true;
    while (bytes.size() <= std::size_t(SizeLimit)) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        bytes.append(buffer, std::size_t(n));
    }
    ::close(fd);
    if (ok && bytes.size() > std::size_t(SizeLimit)) {
        refuse(Stamp::of(filePath_),
               "plik ma więcej niż " + std::to_string(SizeLimit / (1024 * 1024)) + " MB");
        return false;
    }
    return ok;
}

namespace {

std::mutex refusedMutex;

RegistryRefusedHandler& refusedHandler() {
    static RegistryRefusedHandler handler;
    return handler;
}

} // namespace

void SetRegistryRefusedHandler(RegistryRefusedHandler handler) {
    std::lock_guard lock(refusedMutex);
    refusedHandler() = std::move(handler);
}

// The file's keys count as missing.
void RegistryFile::refuse(const Stamp& stamp, std::string reason) {
    keys_.clear();
    problems_ = {reason};
    current_ = true;
    stamp_ = stamp;
    if (stamp.regular)
        return; // too large: said when it is copied aside
    tell(stamp, reason, 0);
}

// Every key object of the branch loads the file: a file that is refused or
// cannot be read is told of once per state.
void RegistryFile::tell(const Stamp& stamp, const std::string& reason, int error) {
    static std::map<std::string, Stamp> told;
    RegistryRefusedHandler handler;
    {
        std::lock_guard lock(refusedMutex);
        auto [it, added] = told.try_emplace(filePath_, stamp);
        if (!added && it->second == stamp)
            return;
        it->second = stamp;
        handler = refusedHandler();
    }
    const RegistryRefused notice{filePath_, reason, error};
    if (handler)
        handler(notice);
    else
        std::fprintf(stderr, "%s: %s; not read, defaults used\n", notice.file.c_str(), notice.reason.c_str());
}

namespace {

RegistrySetAsideHandler& setAsideHandler() {
    static RegistrySetAsideHandler handler;
    return handler;
}

} // namespace

void SetRegistrySetAsideHandler(RegistrySetAsideHandler handler) {
    setAsideHandler() = std::move(handler);
}

// Copies the file as it is on disk to "<file>.bad-<date>" (a number added
// when that name is taken) and tells the handler.
bool RegistryFile::setAside() {
    const QString path = QString::fromStdString(filePath_);
    const QString stem =
        path + QStringLiteral(".bad-") + processClock().dateTime().date().toString(Qt::ISODate);
    QString copy = stem;
    for (int n = 2; QFileInfo::exists(copy); ++n)
        copy = stem + QLatin1Char('-') + QString::number(n);
    // The copy holds the same secrets: its owner's only, like the file. It
    // is whole, or there is none.
    QFile original(path);
    if (!original.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = original.readAll();
    std::string refused;
    if (original.error() != QFileDevice::NoError || !ReplaceFileWhole(copy, bytes.toStdString(), refused)) {
        if (!refused.empty()) {
            diskRefused_ = true;
            lastRefusal_ = "the copy " + copy.toStdString() + " cannot be written: " + refused;
        }
        return false;
    }
    const RegistrySetAside notice{filePath_, copy.toStdString(), joined(problems_)};
    problems_.clear();
    if (setAsideHandler())
        setAsideHandler()(notice);
    else
        std::fprintf(stderr, "%s: %s; copied to %s\n", notice.file.c_str(), notice.reason.c_str(),
                     notice.copy.c_str());
    return true;
}

bool RegistryFile::canWrite() const {
    const QFileInfo info(QString::fromStdString(filePath_));
    if (info.exists()) {
        QFile file(info.filePath());
        if (!info.isFile() || !file.open(QIODevice::WriteOnly | QIODevice::Append))
            return false;
    }
    QString dir = info.absolutePath();
    while (!QFileInfo::exists(dir) && dir != QFileInfo(dir).absolutePath())
        dir = QFileInfo(dir).absolutePath();
    QTemporaryFile probe(dir + QStringLiteral("/.halvex-write-XXXXXX"));
    return probe.open();
}

bool RegistryFile::save() {
    diskRefused_ = false;
    const QString path = QString::fromStdString(filePath_);
    // What is not a regular file is not ours to copy or to replace.
    if (const Stamp now = Stamp::of(filePath_); now.exists && !now.regular)
        return false;
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    if (!problems_.empty() && QFileInfo::exists(path) && !setAside())
        return false;
    // It holds passwords enciphered with a key every copy of the program
    // has: ReplaceFileWhole keeps it, and its set-aside copies, the owner's.
    std::string refused;
    current_ = ReplaceFileWhole(path, serialise(keys_), refused);
    stamp_ = Stamp::of(filePath_);
    if (!current_ && !refused.empty()) {
        diskRefused_ = true;
        lastRefusal_ = std::move(refused);
    }
    return current_;
}

RegistryFile::Key* RegistryFile::findKey(const std::string& path) {
    auto it = keys_.find(lowered(normalisedPath(path)));
    return it == keys_.end() ? nullptr : &it->second;
}

void RegistryFile::removeKey(const std::string& path) {
    keys_.erase(lowered(normalisedPath(path)));
}

RegistryFile::Key& RegistryFile::addKey(const std::string& path) {
    const std::string normal = normalisedPath(path);
    Key& key = keys_[lowered(normal)];
    if (key.path.empty())
        key.path = normal;
    return key;
}

} // namespace platform
