// The single-instance guard: a lock file named after the mutex, in the
// runtime directory, held for the life of the process.
#pragma once

#include <QLockFile>
#include <memory>
#include <string>

namespace platform {

class SingleInstance {
  public:
    // `name` is the mutex name ("VorlinHalvex").
    explicit SingleInstance(const std::string& name);
    // True when this process now holds the guard; false when another holds it.
    bool Acquire();
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::unique_ptr<QLockFile> lock_;
};

} // namespace platform
