#include "platform/RegistryStore.h"

#include "platform/Clock.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTemporaryFile>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace platform {
namespace {

// The file holds passwords enciphered with a key every copy of the program
// has: it and its set-aside copies are its owner's only.
constexpr QFileDevice::Permissions OwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return c < 0x80 ? char(std::tolower(c)) : char(c); });
    return text;
}

std::string normalisedPath(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    while (!path.empty() && path.front() == '\\')
        path.erase(path.begin());
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    return path;
}

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// Reads a quoted text starting at `pos` (at the opening quote); moves `pos`
// past the closing quote. False when the quote is not closed.
bool readQuoted(const std::string& line, std::size_t& pos, std::string& out) {
    if (pos >= line.size() || line[pos] != '"')
        return false;
    for (++pos; pos < line.size(); ++pos) {
        const char c = line[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\' && pos + 1 < line.size()) {
            const char n = line[++pos];
            out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
        } else {
            out += c;
        }
    }
    return false;
}

// A value another writer stored, which a default must not replace.
bool isStored(const RegistryValue& value, RegistryValue::Type type) {
    return value.type == type && (type == RegistryValue::Type::Dword || !value.text.empty());
}

bool onlyBlanksFrom(const std::string& line, std::size_t pos) {
    return line.find_first_not_of(" \t", pos) == std::string::npos;
}

// A dword holds 1 to 8 hexadecimal digits: anything longer would not fit
// and is refused rather than cut to another number.
bool parseDword(const std::string& digits, std::uint32_t& out) {
    std::size_t end = digits.find_first_not_of("0123456789abcdefABCDEF");
    if (end == std::string::npos)
        end = digits.size();
    if (end == 0 || end > 8 || !onlyBlanksFrom(digits, end))
        return false;
    out = std::uint32_t(std::stoul(digits.substr(0, end), nullptr, 16));
    return true;
}

// Parses one value line; on failure `why` says what is wrong with it.
bool parseValueLine(const std::string& line, RegistryValue& value, const char*& why) {
    why = "nieczytelny wiersz";
    std::size_t pos = 0;
    if (!readQuoted(line, pos, value.name) || pos >= line.size() || line[pos] != '=')
        return false;
    ++pos;
    if (line.compare(pos, 6, "dword:") == 0) {
        value.type = RegistryValue::Type::Dword;
        if (parseDword(line.substr(pos + 6), value.dword))
            return true;
        why = "liczba poza zakresem lub nieczytelna";
        return false;
    }
    if (pos < line.size() && line[pos] != '"') {
        why = "nieobsługiwany typ wartości";
        return false;
    }
    value.type = RegistryValue::Type::String;
    return readQuoted(line, pos, value.text) && onlyBlanksFrom(line, pos);
}

bool isUtf8(const std::string& text) {
    QStringDecoder decoder(QStringDecoder::Utf8);
    // The decoding runs when its result is taken.
    const QString decoded = decoder(QByteArrayView(text.data(), qsizetype(text.size())));
    return !decoder.hasError();
}

// Lines a Windows export may hold that carry nothing to read.
bool isIgnorable(const std::string& line) {
    return onlyBlanksFrom(line, 0) || line.front() == ';' ||
           line.rfind("Windows Registry Editor Version", 0) == 0 || line == "REGEDIT4";
}

// A Windows export names the root in each key; the branch file is the root.
std::string withoutRoot(const std::string& path) {
    for (const char* root : {"HKEY_LOCAL_MACHINE\\", "HKEY_CURRENT_USER\\", "HKLM\\", "HKCU\\"}) {
        const std::size_t size = std::strlen(root);
        if (path.size() >= size && lowered(path.substr(0, size)) == lowered(root))
            return path.substr(size);
    }
    return path;
}

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

std::string RegistryFile::serialise(const std::map<std::string, Key>& keys) {
    std::ostringstream out;
    out << "Windows Registry Editor Version 5.00\r\n";
    for (const auto& [id, key] : keys) {
        out << "\r\n[" << key.path << "]\r\n";
        for (const auto& [name, value] : key.values) {
            out << '"' << escaped(value.name) << "\"=";
            if (value.type == RegistryValue::Type::Dword) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "dword:%08x", value.dword);
                out << hex;
            } else {
                out << '"' << escaped(value.text) << '"';
            }
            out << "\r\n";
        }
    }
    return out.str();
}

std::map<std::string, RegistryFile::Key> RegistryFile::parse(const std::string& text,
                                                             std::vector<std::string>* problems) {
    std::map<std::string, Key> keys;
    Key* current = nullptr;
    bool inBrokenKey = false;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    // A garbled file can have a problem on every line; the first few tell
    // the operator enough.
    constexpr std::size_t ProblemsShown = 5;
    std::size_t more = 0;
    const auto problem = [&](const char* why) {
        if (!problems)
            return;
        if (problems->size() < ProblemsShown)
            problems->push_back("wiersz " + std::to_string(number) + ": " + why);
        else
            ++more;
    };
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!isUtf8(line)) {
            problem("znaki spoza UTF-8");
            continue;
        }
        if (isIgnorable(line))
            continue;
        if (line.front() == '[') {
            // The values under a broken header belong to no key we know:
            // they must not slip into the key above it.
            current = nullptr;
            inBrokenKey = true;
            const std::size_t close = line.rfind(']');
            if (close == std::string::npos || !onlyBlanksFrom(line, close + 1) || line.size() < 3 ||
                line[1] == '-') {
                problem("nieprawidłowy nagłówek klucza");
                continue;
            }
            const std::string path = normalisedPath(withoutRoot(line.substr(1, close - 1)));
            Key& key = keys[lowered(path)];
            key.path = path;
            current = &key;
            inBrokenKey = false;
            continue;
        }
        RegistryValue value;
        const char* why = nullptr;
        if (!parseValueLine(line, value, why)) {
            problem(why);
            continue;
        }
        if (!current) {
            problem(inBrokenKey ? "wartość pod nieprawidłowym nagłówkiem" : "wartość poza kluczem");
            continue;
        }
        current->values[lowered(value.name)] = value;
    }
    if (more)
        problems->push_back("i " + std::to_string(more) + " innych");
    return keys;
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

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& part : parts)
        out += (out.empty() ? "" : "; ") + part;
    return out;
}

std::string namesOf(const std::vector<RegistryRefusedWrite>& writes) {
    std::vector<std::string> names;
    for (const RegistryRefusedWrite& write : writes)
        names.push_back(write.named());
    return joined(names);
}

} // namespace

void SetRegistrySetAsideHandler(RegistrySetAsideHandler handler) {
    setAsideHandler() = std::move(handler);
}

namespace {

bool passingError(int error) {
    return error == ENOSPC || error == EDQUOT || error == EIO;
}

// After the rename: the folder's entry is on the disk too.
bool syncFolder(const QString& folder) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

} // namespace

// A new file beside `path`, owner-only, every write checked and the file
// synced before it takes the old one's place: the old file stays whole
// unless the new one is whole on the disk. A buffered write would fail only
// inside the commit, which does not say so: the writes are unbuffered.
// False when not replaced; `refused` says why when the disk refused it (full,
// an I/O error), which may pass, and stays empty when the file cannot be
// written here at all.
bool RegistryFile::replaceWhole(const QString& path, const std::string& text, std::string& refused) {
    QSaveFile file(path);
    // The new file takes the mode of the one it replaces, or the umask's:
    // either may let others read the enciphered passwords.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        if (passingError(errno))
            refused = file.errorString().toStdString();
        return false;
    }
    if (!file.setPermissions(OwnerOnly))
        return false;
    const bool written = file.write(text.data(), qint64(text.size())) == qint64(text.size());
    if (!written || ::fsync(file.handle()) != 0) {
        refused = written ? std::strerror(errno) : file.errorString().toStdString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        refused = file.errorString().toStdString();
        return false;
    }
    if (!syncFolder(QFileInfo(path).absolutePath())) {
        refused = std::string("the folder could not be synced: ") + std::strerror(errno);
        return false;
    }
    return true;
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
    if (original.error() != QFileDevice::NoError || !replaceWhole(copy, bytes.toStdString(), refused)) {
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
    std::string refused;
    current_ = replaceWhole(path, serialise(keys_), refused);
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

namespace {

// Set on the writer thread while it makes one write: its locks wait until
// the write's own deadline, and nothing there is handed on again.
thread_local const std::chrono::steady_clock::time_point* laterWriteDeadline = nullptr;
// The deadline of a wait for the writes to end (a stop's), after which the
// writer thread waits for no lock: nanoseconds of the steady clock, the
// largest while nobody waits.
std::atomic<std::chrono::steady_clock::rep> writerCutoff{
    std::chrono::steady_clock::time_point::max().time_since_epoch().count()};

bool writerCutOff(std::chrono::steady_clock::time_point now) {
    return laterWriteDeadline && now.time_since_epoch().count() >= writerCutoff.load();
}

// Every writer of a settings file (the program's key objects, another copy
// of it, the password tool) holds this lock, a file beside it, from the load
// to the save: none puts back what another has just replaced. No writer goes
// on without it.
class WriteLock {
  public:
    // A writer holds the lock for one save: a holder that keeps it longer
    // has stopped, and the write is refused rather than made without it.
    static constexpr std::chrono::milliseconds Wait = RegistryLockWait;
    static constexpr int PauseMs = 2;
    using Clock = std::chrono::steady_clock;

    // Waits for a lock another writer holds until `until`.
    WriteLock(const std::string& file, Clock::time_point until) : path_(file + ".lock") {
        fd_ = open();
        if (fd_ < 0 && errno == ENOENT &&
            QDir().mkpath(QFileInfo(QString::fromStdString(file)).absolutePath()))
            fd_ = open();
        if (fd_ < 0) {
            failure_ = whyNotOpened(errno);
            return;
        }
        struct stat info {};
        if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
            failure_ = "is not a regular file";
            return;
        }
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                failure_ = std::string("cannot be taken: ") + std::strerror(errno);
                return;
            }
            const auto now = Clock::now();
            if (now >= until || writerCutOff(now)) {
                busy_ = true;
                failure_ = now >= until
                               ? "is held by another writer for more than " +
                                     std::to_string(Wait.count() / 1000) + " s"
                               : "is held by another writer, and the program stopped before it was let go";
                return;
            }
            ::usleep(PauseMs * 1000);
        }
    }
    ~WriteLock() {
        if (fd_ >= 0)
            ::close(fd_); // and the lock with it
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;
    bool held() const { return failure_.empty(); }
    // Another writer held it until the wait ran out.
    bool busy() const { return busy_; }
    // The lock and why it could not be had.
    std::string said() const { return "the lock " + path_ + " " + failure_; }

  private:
    // Never through a link: what it points at is not ours to create or lock.
    int open() const {
        return ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    }
    std::string whyNotOpened(int error) const {
        struct stat info {};
        if (::lstat(path_.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
            return "is a symbolic link, which is not followed";
        if (error == EISDIR)
            return "is a directory";
        return std::string("cannot be opened: ") + std::strerror(error);
    }

    std::string path_;
    int fd_ = -1;
    std::string failure_;
    bool busy_ = false;
};

// Whether a writer may go on. A lock that cannot be had raises
// RegistryLockError; but where the file could not be written anyway (a
// folder this user may not write takes no lock either), that is the plain
// failure of a write: false.
bool mayWrite(const WriteLock& lock, const RegistryFile& file) {
    if (lock.held())
        return true;
    if (!file.canWrite())
        return false;
    throw RegistryLockError(lock.said());
}

using LockClock = WriteLock::Clock;

// A write asked of the writer thread.
struct LaterWrite {
    RegistryBranch branch;
    std::string file;
    std::string keyPath;
    std::optional<RegistryValue> value; // none: the key is created
    bool onlyAsDefault = false;
    LockClock::time_point deadline;
    RegistryRefusedWrite refused() const { return {keyPath, value, deadline - RegistryLockWait}; }
};

class BackgroundWriter {
  public:
    static BackgroundWriter& instance() {
        static BackgroundWriter writer;
        return writer;
    }
    ~BackgroundWriter() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

    std::atomic<bool> on{false};

    // Writes of `file` wait here (queued, or being made).
    bool waiting(const std::string& file) {
        std::lock_guard lock(mutex_);
        return (running_ && running_->file == file) ||
               std::any_of(queue_.begin(), queue_.end(), [&](const LaterWrite& w) { return w.file == file; });
    }
    // The value `name` of that key will have once the writes waiting here
    // are made, from what the file holds now (`value`).
    void applyWaiting(const std::string& file, const std::string& keyPath, const std::string& name,
                      std::optional<RegistryValue>& value);
    void add(LaterWrite write) {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
        queue_.push_back(std::move(write));
        changed_.notify_all();
    }
    bool finish(LockClock::time_point deadline);
    void setHandler(RegistryLateFailureHandler handler) {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }

  private:
    void run();
    // The write's error, or nothing when it was made; `lockRefused` when its
    // lock could not be had.
    static std::optional<std::string> make(const LaterWrite& write, bool& lockRefused);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<LaterWrite> queue_;
    // Being made, until its verdict is said.
    std::optional<LaterWrite> running_;
    bool stop_ = false;
    RegistryLateFailureHandler handler_;
    std::thread thread_;
};

// Writes are made in the order asked; at the end every one left is made or
// refused before the thread ends.
void BackgroundWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        running_ = std::move(queue_.front());
        queue_.pop_front();
        const LaterWrite& next = *running_;
        lock.unlock();
        bool lockRefused = false;
        const std::optional<std::string> error = make(next, lockRefused);
        lock.lock();
        RegistryLateFailure failure{next.file, error.value_or(""), {next.refused()}};
        // Those asked while it waited share its verdict.
        for (auto it = queue_.begin(); error && lockRefused && it != queue_.end();) {
            if (it->file != next.file) {
                ++it;
                continue;
            }
            failure.writes.push_back(it->refused());
            it = queue_.erase(it);
        }
        const RegistryLateFailureHandler handler = handler_;
        lock.unlock();
        // Said before the write counts as done: whoever waits for the
        // writes to end finds their refusals said.
        if (error && handler)
            handler(failure);
        else if (error)
            std::fprintf(stderr, "%s: %s; not written: %s\n", failure.file.c_str(), failure.reason.c_str(),
                         namesOf(failure.writes).c_str());
        lock.lock();
        running_.reset();
        changed_.notify_all();
    }
}

std::optional<std::string> BackgroundWriter::make(const LaterWrite& write, bool& lockRefused) {
    laterWriteDeadline = &write.deadline;
    std::optional<std::string> error;
    try {
        RegistryKey key(write.branch, write.file);
        if (!key.OpenKey(write.keyPath, true))
            error = "the key " + write.keyPath + " cannot be opened or created";
        else if (write.value && write.value->type == RegistryValue::Type::Dword)
            write.onlyAsDefault ? (void)key.WriteDefaultInteger(write.value->name, int(write.value->dword))
                                : key.WriteInteger(write.value->name, int(write.value->dword));
        else if (write.value)
            write.onlyAsDefault ? (void)key.WriteDefaultString(write.value->name, write.value->text)
                                : key.WriteString(write.value->name, write.value->text);
    } catch (const RegistryLockError& e) {
        lockRefused = true;
        error = e.what();
    } catch (const RegistryError& e) {
        error = e.what();
    }
    laterWriteDeadline = nullptr;
    return error;
}

void BackgroundWriter::applyWaiting(const std::string& file, const std::string& keyPath,
                                    const std::string& name, std::optional<RegistryValue>& value) {
    const std::string key = lowered(normalisedPath(keyPath));
    const std::string id = lowered(name);
    const auto apply = [&](const LaterWrite& write) {
        if (write.file != file || !write.value || lowered(write.keyPath) != key ||
            lowered(write.value->name) != id)
            return;
        if (!write.onlyAsDefault || !value || !isStored(*value, write.value->type))
            value = write.value;
    };
    std::lock_guard lock(mutex_);
    if (running_)
        apply(*running_);
    for (const LaterWrite& write : queue_)
        apply(write);
}

bool BackgroundWriter::finish(LockClock::time_point deadline) {
    // Long enough for the writes still waiting at the deadline to try their
    // lock once more and be said.
    constexpr std::chrono::milliseconds VerdictTime{200};
    const auto idle = [&] { return queue_.empty() && !running_; };
    std::unique_lock lock(mutex_);
    const auto cutoff = deadline.time_since_epoch().count();
    if (cutoff < writerCutoff.load())
        writerCutoff = cutoff;
    const bool ended =
        changed_.wait_until(lock, deadline, idle) || changed_.wait_for(lock, VerdictTime, idle);
    // A later wait (the next window of a test) has no cutoff of its own.
    if (writerCutoff.load() == cutoff)
        writerCutoff = LockClock::time_point::max().time_since_epoch().count();
    return ended;
}

// How long a writer here waits for a lock another holds: on the writer
// thread until the write's deadline; where writes are handed on, not at all
// (a busy lock hands the write on); else the usual wait.
LockClock::time_point lockDeadline() {
    if (laterWriteDeadline)
        return *laterWriteDeadline;
    if (BackgroundWriter::instance().on)
        return LockClock::now();
    return LockClock::now() + WriteLock::Wait;
}

} // namespace

void WriteLockedRegistryInBackground(bool on) {
    BackgroundWriter::instance().on = on;
}

void SetRegistryLateFailureHandler(RegistryLateFailureHandler handler) {
    BackgroundWriter::instance().setHandler(std::move(handler));
}

bool FinishBackgroundRegistryWrites(std::chrono::steady_clock::time_point deadline) {
    return BackgroundWriter::instance().finish(deadline);
}

std::string RegistryRefusedWrite::named() const {
    return value ? keyPath + "\\" + value->name : keyPath;
}

bool RegistryKey::handedOn(const std::string& path, const RegistryValue* value, bool onlyAsDefault,
                           bool lockBusy) {
    BackgroundWriter& writer = BackgroundWriter::instance();
    if (!writer.on || laterWriteDeadline)
        return false;
    // A lock that is only busy hands the write on; one this user could not
    // write anyway fails here as before.
    if (lockBusy ? !file_.canWrite() : !writer.waiting(file_.filePath()))
        return false;
    writer.add({branch_, file_.filePath(), normalisedPath(path),
                value ? std::optional<RegistryValue>(*value) : std::nullopt, onlyAsDefault,
                LockClock::now() + WriteLock::Wait});
    return true;
}

RegistryKey::RegistryKey(RegistryBranch branch) : RegistryKey(branch, registryFilePath(branch)) {}

RegistryKey::RegistryKey(RegistryBranch branch, std::string file) : branch_(branch), file_(std::move(file)) {}

bool RegistryKey::OpenKey(const std::string& path, bool canCreate) {
    CloseKey();
    if (!file_.load())
        return false;
    if (!file_.findKey(path)) {
        if (!canCreate)
            return false;
        // Held until the key is saved.
        std::optional<WriteLock> lock;
        bool handed = handedOn(path, nullptr, false, false);
        if (!handed) {
            lock.emplace(file_.filePath(), lockDeadline());
            handed = lock->busy() && handedOn(path, nullptr, false, true);
            if (!handed && (!mayWrite(*lock, file_) || !file_.load()))
                return false;
        }
        if (handed || file_.findKey(path)) {
            open_ = true;
            path_ = normalisedPath(path);
            return true;
        }
        file_.addKey(path);
        if (!file_.save()) {
            // Not written: not there either, or a later look finds it.
            file_.removeKey(path);
            throwIfDiskRefused();
            return false;
        }
    }
    open_ = true;
    path_ = normalisedPath(path);
    return true;
}

void RegistryKey::CloseKey() {
    open_ = false;
    path_.clear();
}

// Every operation loads the file again (RegistryFile::load), so that
// several key objects (and several sections of the settings) never
// overwrite each other's values.
RegistryFile::Key& RegistryKey::openKey() {
    if (!open_)
        throw RegistryError("No key is open");
    if (!file_.load())
        throw RegistryError("Failed to read " + file_.filePath());
    return file_.addKey(path_);
}

// What the file holds, with the writes still waiting for its lock made:
// a value just written reads back as written.
std::optional<RegistryValue> RegistryKey::current(const std::string& name) {
    const auto& values = openKey().values;
    const auto it = values.find(lowered(name));
    std::optional<RegistryValue> value;
    if (it != values.end())
        value = it->second;
    if (!laterWriteDeadline)
        BackgroundWriter::instance().applyWaiting(file_.filePath(), path_, name, value);
    return value;
}

bool RegistryKey::ValueExists(const std::string& name) {
    return open_ && current(name).has_value();
}

std::string RegistryKey::ReadString(const std::string& name) {
    const std::optional<RegistryValue> value = current(name);
    if (!value)
        return {};
    if (value->type != RegistryValue::Type::String)
        throw RegistryError("Invalid data type for '" + name + "'");
    return value->text;
}

int RegistryKey::ReadInteger(const std::string& name) {
    const std::optional<RegistryValue> value = current(name);
    if (!value)
        throw RegistryError("Failed to get data for '" + name + "'");
    if (value->type != RegistryValue::Type::Dword)
        throw RegistryError("Invalid data type for '" + name + "'");
    return int(value->dword);
}

bool RegistryKey::write(RegistryValue value, bool onlyAsDefault) {
    if (open_ && handedOn(path_, &value, onlyAsDefault, false))
        return true;
    const WriteLock lock(file_.filePath(), lockDeadline());
    if (open_ && lock.busy() && handedOn(path_, &value, onlyAsDefault, true))
        return true;
    if (!mayWrite(lock, file_))
        throw RegistryError("Failed to set data for '" + value.name + "'");
    auto& values = openKey().values;
    const std::string id = lowered(value.name);
    auto it = values.find(id);
    if (onlyAsDefault && it != values.end() && isStored(it->second, value.type))
        return false;
    if (it != values.end())
        value.name = it->second.name; // keep the name as first written
    const RegistryValue previous = it != values.end() ? it->second : RegistryValue();
    const bool existed = it != values.end();
    values[id] = value;
    if (!file_.save()) {
        if (existed)
            values[id] = previous;
        else
            values.erase(id);
        throwIfDiskRefused();
        throw RegistryError("Failed to set data for '" + value.name + "'");
    }
    return true;
}

void RegistryKey::WriteString(const std::string& name, const std::string& value) {
    write({name, RegistryValue::Type::String, value, 0});
}

void RegistryKey::WriteInteger(const std::string& name, int value) {
    write({name, RegistryValue::Type::Dword, {}, std::uint32_t(value)});
}

bool RegistryKey::WriteDefaultString(const std::string& name, const std::string& value) {
    return write({name, RegistryValue::Type::String, value, 0}, true);
}

bool RegistryKey::WriteDefaultInteger(const std::string& name, int value) {
    return write({name, RegistryValue::Type::Dword, {}, std::uint32_t(value)}, true);
}

bool RegistryKey::DeleteValue(const std::string& name) {
    const WriteLock lock(file_.filePath(), LockClock::now() + WriteLock::Wait);
    if (!mayWrite(lock, file_))
        return false;
    auto& values = openKey().values;
    if (values.erase(lowered(name)) == 0)
        return false;
    if (file_.save())
        return true;
    throwIfDiskRefused();
    return false;
}

void RegistryKey::throwIfDiskRefused() const {
    if (file_.diskRefused())
        throw RegistryDiskError("the disk refused the write of " + file_.filePath() + ": " +
                                file_.lastRefusal());
}

} // namespace platform
