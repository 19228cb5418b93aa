#include "platform/RegistryStore.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using platform::RegistryBranch;
using platform::RegistryKey;
using testing_support::Sandbox;

TEST(RegistryStore, ValuesRoundTripThroughTheExportFormat) {
    Sandbox sandbox;
    {
        RegistryKey key(RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex\\SMS", true));
        key.WriteInteger("PortTCP", 1000);
        key.WriteString("Path", "C:\\dir \"quoted\"\nsecond line");
        key.WriteString("Polish", "Zażółć");
    }
    const std::string text = testing_support::readFile(sandbox.machineRegistryFile());
    EXPECT_NE(text.find("[software\\Vorlin\\Halvex\\SMS]"), std::string::npos);
    EXPECT_NE(text.find("\"PortTCP\"=dword:000003e8"), std::string::npos);

    RegistryKey again(RegistryBranch::Machine);
    ASSERT_TRUE(again.OpenKey("\\SOFTWARE\\vorlin\\halvex\\sms", false));
    EXPECT_EQ(again.ReadInteger("porttcp"), 1000);
    EXPECT_EQ(again.ReadString("PATH"), "C:\\dir \"quoted\"\nsecond line");
    EXPECT_EQ(again.ReadString("Polish"), "Zażółć");
}

TEST(RegistryStore, WrongTypesAndMissingValuesRaiseErrors) {
    Sandbox sandbox;
    RegistryKey key(RegistryBranch::User);
    ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
    key.WriteInteger("TCPCentr", 5);
    key.WriteString("Name", "x");
    EXPECT_THROW(key.ReadString("TCPCentr"), platform::RegistryError);
    EXPECT_THROW(key.ReadInteger("Name"), platform::RegistryError);
    EXPECT_THROW(key.ReadInteger("Missing"), platform::RegistryError);
    EXPECT_EQ(key.ReadString("Missing"), "");
    EXPECT_FALSE(key.ValueExists("Missing"));
}

TEST(RegistryStore, TwoKeyObjectsNeverOverwriteEachOther) {
    Sandbox sandbox;
    RegistryKey first(RegistryBranch::Machine), second(RegistryBranch::Machine);
    ASSERT_TRUE(first.OpenKey("\\software\\Vorlin\\Halvex", true));
    ASSERT_TRUE(second.OpenKey("\\software\\Vorlin\\Halvex\\SMS", true));
    first.WriteInteger("A", 1);
    second.WriteInteger("B", 2);
    first.WriteInteger("C", 3);
    RegistryKey check(RegistryBranch::Machine);
    ASSERT_TRUE(check.OpenKey("\\software\\Vorlin\\Halvex\\SMS", false));
    EXPECT_EQ(check.ReadInteger("B"), 2);
    ASSERT_TRUE(check.OpenKey("\\software\\Vorlin\\Halvex", false));
    EXPECT_EQ(check.ReadInteger("A"), 1);
    EXPECT_EQ(check.ReadInteger("C"), 3);
}

TEST(RegistryStore, AnUnwritableBranchRefusesKeysAndWrites) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes anywhere";
    Sandbox sandbox;
    ::chmod(sandbox.registryDir().c_str(), 0500);
    RegistryKey key(RegistryBranch::Machine);
    EXPECT_FALSE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
    ::chmod(sandbox.registryDir().c_str(), 0700);
}

TEST(RegistryStore, MalformedLinesAreSkipped) {
    auto keys = platform::RegistryFile::parse("junk\n[a\\b]\n\"ok\"=dword:0000000a\n\"bad\"=dword:zz\n"
                                              "\"open=\"x\n\"s\"=\"v\"\n");
    ASSERT_EQ(keys.size(), 1u);
    const auto& values = keys.begin()->second.values;
    EXPECT_EQ(values.at("ok").dword, 10u);
    EXPECT_EQ(values.at("s").text, "v");
    EXPECT_EQ(values.count("bad"), 0u);
}

TEST(RegistryStore, AFileThatCannotBeReadIsNeverOverwritten) {
    Sandbox sandbox;
    RegistryKey key(RegistryBranch::Machine);
    ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
    key.WriteInteger("PortTCP", 1000);
    const std::string kept = sandbox.file("kept.reg");
    ASSERT_EQ(::rename(sandbox.machineRegistryFile().c_str(), kept.c_str()), 0);
    ASSERT_EQ(::mkdir(sandbox.machineRegistryFile().c_str(), 0700), 0); // unreadable as a file
    try {
        key.ReadInteger("PortTCP");
        ADD_FAILURE() << "a store that cannot be read must not read as empty";
    } catch (const platform::RegistryError& error) {
        EXPECT_NE(std::string(error.what()).find("Failed to read"), std::string::npos) << error.what();
    }
    EXPECT_THROW(key.WriteInteger("Other", 1), platform::RegistryError);
    ::rmdir(sandbox.machineRegistryFile().c_str());
    ASSERT_EQ(::rename(kept.c_str(), sandbox.machineRegistryFile().c_str()), 0);
    EXPECT_EQ(key.ReadInteger("PortTCP"), 1000);
    EXPECT_FALSE(key.ValueExists("Other"));
}
