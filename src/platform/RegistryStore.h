// The settings store in place of the registry: keys and typed values (string,
// dword) kept in one file per branch, in the text format of a registry export.
// Key paths and value names match without regard to case; every write is saved
// at once, atomically.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace platform {

enum class RegistryBranch { Machine, User };

class RegistryError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
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
    struct Key {
        std::string path;                            // as written
        std::map<std::string, RegistryValue> values; // by lower-cased name
    };

    explicit RegistryFile(std::string filePath) : filePath_(std::move(filePath)) {}
    const std::string& filePath() const { return filePath_; }
    // Reads the file; a missing file is an empty branch. False when unreadable.
    bool load();
    // Writes the file atomically; false when it cannot be written.
    bool save() const;
    Key* findKey(const std::string& path);
    Key& addKey(const std::string& path);

    static std::string serialise(const std::map<std::string, Key>& keys);
    static std::map<std::string, Key> parse(const std::string& text);

  private:
    std::string filePath_;
    std::map<std::string, Key> keys_; // by lower-cased path
};

// The file of a branch: $HALVEX_REGISTRY_DIR/machine.reg or user.reg when set,
// else /etc/vorlin/halvex.reg and $XDG_CONFIG_HOME/vorlin/halvex.reg.
std::string registryFilePath(RegistryBranch branch);

// One open key, in the manner of the original registry object.
class RegistryKey {
  public:
    explicit RegistryKey(RegistryBranch branch);
    RegistryBranch branch() const { return branch_; }

    // Opens a key ("\software\Vorlin\Halvex"); with `canCreate` a missing key
    // is created, which fails when the branch cannot be written.
    bool OpenKey(const std::string& path, bool canCreate);
    void CloseKey();
    bool HasOpenKey() const { return open_; }
    const std::string& CurrentPath() const { return path_; }

    bool ValueExists(const std::string& name);
    // A missing value reads as "", a value of another type raises RegistryError.
    std::string ReadString(const std::string& name);
    // A missing value or one of another type raises RegistryError.
    int ReadInteger(const std::string& name);
    bool ReadBool(const std::string& name) { return ReadInteger(name) != 0; }

    // Raise RegistryError when the branch cannot be written.
    void WriteString(const std::string& name, const std::string& value);
    void WriteInteger(const std::string& name, int value);
    void WriteBool(const std::string& name, bool value) { WriteInteger(name, value ? 1 : 0); }
    bool DeleteValue(const std::string& name);

  private:
    RegistryFile::Key& openKey();
    void write(RegistryValue value);

    RegistryBranch branch_;
    RegistryFile file_;
    bool open_ = false;
    std::string path_;
};

} // namespace platform
