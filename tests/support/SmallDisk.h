// A small filesystem of the test's own (a tmpfs: mounting needs root), which
// a filler file makes full and leaves again.
#pragma once

#include <QTemporaryDir>
#include <string>

namespace testing_support {

class SmallDisk {
  public:
    explicit SmallDisk(const std::string& size = "32m");
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }
    std::string path() const { return folder_.path().toStdString(); }
    std::string file(const std::string& name) const;

    // Appends to the filler until the disk takes no more.
    void fill();
    void free();

  private:
    QTemporaryDir folder_;
    bool mounted_ = false;
    std::string error_;
};

} // namespace testing_support
