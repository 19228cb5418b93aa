// A private folder for one test: the settings store, the runtime folder of
// the single-instance guard and any files live there, and the environment
// points at it for the test's lifetime.
#pragma once

#include <QByteArray>
#include <QTemporaryDir>
#include <map>
#include <string>

namespace testing_support {

class Sandbox {
  public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    std::string path() const { return dir_.path().toStdString(); }
    std::string file(const std::string& name) const { return path() + "/" + name; }
    std::string registryDir() const { return file("registry"); }
    std::string machineRegistryFile() const { return registryDir() + "/machine.reg"; }
    std::string runtimeDir() const { return file("runtime"); }

    // Sets an environment variable for the sandbox's lifetime.
    void setEnv(const char* name, const std::string& value);

  private:
    QTemporaryDir dir_;
    std::map<std::string, std::pair<bool, QByteArray>> saved_;
};

// Holds the write lock of a settings file (`<file>.lock`) for its lifetime,
// as another writer that has stopped would: a real lock, which every other
// process meets.
class HeldSettingsLock {
  public:
    explicit HeldSettingsLock(const std::string& settingsFile);
    ~HeldSettingsLock();
    HeldSettingsLock(const HeldSettingsLock&) = delete;
    HeldSettingsLock& operator=(const HeldSettingsLock&) = delete;
    bool held() const { return held_; }

  private:
    int fd_ = -1;
    bool held_ = false;
};

// Reads a whole file; empty when it is missing.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);

} // namespace testing_support
