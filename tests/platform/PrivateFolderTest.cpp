#include "platform/PrivateFolder.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

mode_t modeOf(const std::string& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mode & 0777;
}

} // namespace

TEST(PrivateFolder, IsCreatedClosedAndTightenedWhenOpen) {
    testing_support::Sandbox sandbox;
    const std::string fresh = sandbox.file("fresh");
    ASSERT_TRUE(platform::EnsurePrivateFolder(fresh));
    EXPECT_EQ(modeOf(fresh), 0700u);
    const std::string open = sandbox.file("open");
    ASSERT_EQ(::mkdir(open.c_str(), 0777), 0);
    ::chmod(open.c_str(), 0777);
    EXPECT_TRUE(platform::EnsurePrivateFolder(open));
    EXPECT_EQ(modeOf(open), 0700u);
}

TEST(PrivateFolder, ALinkOrAnotherUsersFolderIsRefused) {
    testing_support::Sandbox sandbox;
    const std::string target = sandbox.file("target");
    ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
    const std::string link = sandbox.file("link");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    EXPECT_FALSE(platform::EnsurePrivateFolder(link));
    if (::geteuid() == 0) {
        const std::string foreign = sandbox.file("foreign");
        ASSERT_EQ(::mkdir(foreign.c_str(), 0700), 0);
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(platform::EnsurePrivateFolder(foreign));
    }
}
