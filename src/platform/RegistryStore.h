// The settings store in place of the registry: keys and typed values (string,
// dword) kept in one file per branch, in the text format of a registry export.
// Key paths and value names match without regard to case; every write is saved
// at once, atomically, with the file loaded and saved under a lock beside it
// ("<file>.lock"), so that writers never write over each other.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

class QString;

namespace platform {

enum class RegistryBranch { Machine, User };

class RegistryError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A write refused because the file's lock ("<file>.lock") could not be
// had: another writer kept it past the wait, or it cannot be taken at all
// (a link, a directory, no permission). Not a missing right to write the
// file: that is a plain RegistryError. The text names the lock and why.
class RegistryLockError : public RegistryError {
  public:
    using RegistryError::RegistryError;
};

// A write the disk refused (full, an I/O error): the file is left whole as
// it was and still holds the settings; a later write may go through. The
// text names the file and why.
class RegistryDiskError : public RegistryError {
  public:
    using RegistryError::RegistryError;
};

struct RegistryValue {
    enum class Type { String, Dword };
    std::string name; // as written
    Type type = Type::String;
    std::string text;
    std::uint32_t dword = 0;
};

// The contents of one branch file.
class RegistryFile {
  public:
    // A settings file is a few kilobytes: one far larger is damaged (or not
    // a settings file at all). It is not read; its keys count as missing and
    // it is copied aside before it is first rewritten.
    static constexpr std::int64_t SizeLimit = 4 * 1024 * 1024;
    // Only a regular file is read: a FIFO in its place would hold the start
    // for ever, and a device (or a link to one) may never end. Such a file
    // is refused: its keys count as missing, and it is neither copied nor
    // replaced.

    struct Key {
        std::string path;                            // as written
        std::map<std::string, RegistryValue> values; // by lower-cased name
    };

    explicit RegistryFile(std::string filePath) : filePath_(std::move(filePath)) {}
    const std::string& filePath() const { return filePath_; }
    // Reads the file (UTF-8, or UTF-16 with a byte-order mark as a Windows
    // export writes it); a missing file is an empty branch. False when
    // unreadable. A file unchanged since this object last read or wrote it
    // is not read again.
    bool load();
    // Writes the file atomically, owner-only, synced; false when it cannot
    // be written (the old file stays whole). A file whose last load met anything it could not read is
    // first copied aside whole, so that nothing of it is lost by the rewrite.
    bool save();
    // Whether save() could replace the file (tried, not guessed from modes).
    bool canWrite() const;
    // The last save failed because the disk refused it (full, an I/O
    // error), and why; not because the file may not be written here.
    bool diskRefused() const { return diskRefused_; }
    const std::string& lastRefusal() const { return lastRefusal_; }
    Key* findKey(const std::string& path);
    Key& addKey(const std::string& path);
    void removeKey(const std::string& path);
    // What the last load could not read; empty for a clean file.
    const std::vector<std::string>& problems() const { return problems_; }

    static std::string serialise(const std::map<std::string, Key>& keys);
    // Lines that cannot be read are skipped and described in `problems`.
    static std::map<std::string, Key> parse(const std::string& text,
                                            std::vector<std::string>* problems = nullptr);

  private:
    // What tells one state of the file from another without reading it.
    struct Stamp {
        bool exists = false;
        bool regular = false, directory = false;
        std::uint64_t device = 0, inode = 0;
        std::int64_t size = 0, modified = 0, changed = 0; // nanoseconds
        bool operator==(const Stamp&) const = default;
        static Stamp of(const std::string& path);
    };

    bool setAside();
    bool read(std::string& bytes);
    void refuse(const Stamp& stamp, std::string reason);
    void tell(const Stamp& stamp, const std::string& reason, int error);

    std::string filePath_;
    std::map<std::string, Key> keys_; // by lower-cased path
    std::vector<std::string> problems_;
    bool current_ = false; // keys_ hold the file as `stamp_` found it
    Stamp stamp_;
    bool diskRefused_ = false;
    std::string lastRefusal_;
};

// A branch file copied aside before it was rewritten.
struct RegistrySetAside {
    std::string file;   // the branch file
    std::string copy;   // where its whole former content now is
    std::string reason; // what could not be read
};
using RegistrySetAsideHandler = std::function<void(const RegistrySetAside&)>;
// Told of every copy made; with none set, stderr is.
void SetRegistrySetAsideHandler(RegistrySetAsideHandler handler);

// A branch file that was not read: not a regular file, too large, or one
// that cannot be opened (its user may not read it).
struct RegistryRefused {
    std::string file;
    std::string reason;
    int error = 0; // the open's errno when it could not be opened, else 0
};
using RegistryRefusedHandler = std::function<void(const RegistryRefused&)>;
// Told once of each refused file (again only when it changes); with none
// set, stderr is.
void SetRegistryRefusedHandler(RegistryRefusedHandler handler);

// The file of a branch: $HALVEX_REGISTRY_DIR/machine.reg or user.reg when set,
// else /etc/vorlin/halvex.reg and $XDG_CONFIG_HOME/vorlin/halvex.reg.
std::string registryFilePath(RegistryBranch branch);

// How long a writer waits for the lock of a file that another writer holds.
inline constexpr std::chrono::milliseconds RegistryLockWait{5000};

// While on, writes that find their file's lock held by another writer wait
// for it on a writer thread of their own instead of where they were asked
// (a program whose event loop must not wait; the password tool waits where
// it is). Such a write, and every later one of the same file while any
// waits there, returns at once; they are made in the order asked, each
// waiting for the lock up to the usual wait from the moment it was asked.
// A value read back meanwhile is the one last asked, waiting writes
// included.
void WriteLockedRegistryInBackground(bool on);

// One write refused on that thread.
struct RegistryRefusedWrite {
    std::string keyPath;                // as normalised ("software\\Vorlin\\Halvex")
    std::optional<RegistryValue> value; // none: the key was to be created
    std::chrono::steady_clock::time_point asked;
    // "key\\value", or the key alone.
    std::string named() const;
};

// Writes refused on that thread: the one whose wait ran out, or that failed
// otherwise, and those of the same file asked while it waited, which share
// its verdict (as a burst of writes met by a held lock gives up together).
struct RegistryLateFailure {
    std::string file;
    std::string reason; // the lock and why, or the write's own error
    std::vector<RegistryRefusedWrite> writes;
};
using RegistryLateFailureHandler = std::function<void(const RegistryLateFailure&)>;
// Told on the writer thread; with none set, stderr is.
void SetRegistryLateFailureHandler(RegistryLateFailureHandler handler);
// Waits until the writes handed to that thread are made or refused. Those
// still waiting for a lock at `deadline` give up then and are refused (a
// stop must not outlast its bound); false when some are neither made nor
// refused shortly after it.
bool FinishBackgroundRegistryWrites(std::chrono::steady_clock::time_point deadline);

// One open key, in the manner of the original registry object.
class RegistryKey {
  public:
    explicit RegistryKey(RegistryBranch branch);
    // A key of the branch's file as named at the time (a write waiting on
    // the writer thread goes to the file it was asked for).
    RegistryKey(RegistryBranch branch, std::string file);
    RegistryBranch branch() const { return branch_; }

    // Opens a key ("\software\Vorlin\Halvex"); with `canCreate` a missing key
    // is created, which fails when the branch cannot be written, and raises
    // RegistryLockError when its lock cannot be had, RegistryDiskError when
    // the disk refuses the write.
    bool OpenKey(const std::string& path, bool canCreate);
    void CloseKey();
    bool HasOpenKey() const { return open_; }
    bool CanWrite() const { return file_.canWrite(); }
    // Whether the branch's file can be read (a missing one reads as empty).
    bool CanRead() { return file_.load(); }
    const std::string& CurrentPath() const { return path_; }

    bool ValueExists(const std::string& name);
    // A missing value reads as "", a value of another type raises RegistryError.
    std::string ReadString(const std::string& name);
    // A missing value or one of another type raises RegistryError.
    int ReadInteger(const std::string& name);
    bool ReadBool(const std::string& name) { return ReadInteger(name) != 0; }

    // Raise RegistryError when the branch cannot be written, RegistryLockError
    // when its lock cannot be had, RegistryDiskError when the disk refuses
    // the write (the file stays as it was).
    void WriteString(const std::string& name, const std::string& value);
    void WriteInteger(const std::string& name, int value);
    void WriteBool(const std::string& name, bool value) { WriteInteger(name, value ? 1 : 0); }
    // False when nothing was deleted; RegistryLockError as the writes.
    bool DeleteValue(const std::string& name);
    // The defaults a start writes for values it found missing or empty:
    // written unless another writer stored the value since (a number, or a
    // text that is not empty), so that a default never replaces what the
    // password tool, say, has just stored. True when written; raise
    // RegistryError as the writes above.
    bool WriteDefaultString(const std::string& name, const std::string& value);
    bool WriteDefaultInteger(const std::string& name, int value);

  private:
    RegistryFile::Key& openKey();
    std::optional<RegistryValue> current(const std::string& name);
    bool write(RegistryValue value, bool onlyAsDefault = false);
    // A save the disk refused raises RegistryDiskError.
    void throwIfDiskRefused() const;
    // Hands a write (none: the key's creation) to the writer thread when
    // its file's writes wait there, or when `lockBusy`; true when handed.
    bool handedOn(const std::string& path, const RegistryValue* value, bool onlyAsDefault, bool lockBusy);

    RegistryBranch branch_;
    RegistryFile file_;
    bool open_ = false;
    std::string path_;
};

} // namespace platform
