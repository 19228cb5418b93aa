#include "platform/RegistryStore.h"
#include "shell/PasswordCodec.h"
#include "support/MainFormFixture.h"

using platform::RegistryBranch;
using platform::RegistryKey;
using testing_support::MainFormFixture;

namespace {

const char* const MainKey = "\\software\\Vorlin\\Halvex";

RegistryKey openMachineKey(const std::string& path) {
    RegistryKey key(RegistryBranch::Machine);
    EXPECT_TRUE(key.OpenKey(path, true));
    return key;
}

} // namespace

class SettingsStore : public MainFormFixture {};

TEST_F(SettingsStore, AFirstStartCreatesEveryValueWithItsDefaultAndTheSecondNothing) {
    createForm("DEBUG");
    EXPECT_TRUE(SettingsDefaulted);
    const std::string log = mainLogText();
    form.reset();

    RegistryKey main = openMachineKey(MainKey);
    const std::pair<const char*, int> integers[] = {{"Centrala", 2},
                                                    {"Port", 1},
                                                    {"PortTCP", 1000},
                                                    {"PortTCPCalBrowse", 1005},
                                                    {"PortTCPCalSend", 1006},
                                                    {"PortTCP_CRM", 1010},
                                                    {"MaxPolaczenCRM", 2},
                                                    {"PortUDP", 1000},
                                                    {"PortTCPCent", 5001},
                                                    {"AutoBackupPeriod", 7},
                                                    {"CalendarServiceEnabled", 1},
                                                    {"pytanieOwych", 1},
                                                    {"AutomPrzyw", 1},
                                                    {"InsertIncomingFroRingGroup", 0},
                                                    {"PowiadORozlacz", 1},
                                                    {"CRMsocketActive", 0},
                                                    {"StartMinimized", 0},
                                                    {"AutoBackup", 1},
                                                    {"CleanBeforeBackup", 0},
                                                    {"UseVoiceMailPcti", 0},
                                                    {"UsePctiClip", 0},
                                                    {"UseRCP", 0}};
    for (const auto& [name, value] : integers)
        EXPECT_EQ(main.ReadInteger(name), value) << name;
    EXPECT_NO_THROW(main.ReadInteger("language"));
    const std::pair<const char*, const char*> texts[] = {{"Miedzy", "0"},
                                                         {"PrefiksMiedzynarodowy", "000"},
                                                         {"TCPCentr", "192.168.1.250"},
                                                         {"UserFB", "SYSDBA"},
                                                         {"timeBackupHour", "03:00"},
                                                         {"RCP_User", "SYSDBA"},
                                                         {"GbakPath", "/usr/bin/gbak"},
                                                         {"testHKLM", "testHKLM"}};
    for (const auto& [name, value] : texts)
        EXPECT_EQ(main.ReadString(name), value) << name;
    for (const char* name :
         {"BackupPath", "NameFB", "IPFBase", "Broadcast", "timeBackup", "RCP_IPFB", "RCP_NameFB"})
        EXPECT_FALSE(main.ReadString(name).empty()) << name;

    const std::string cipher = main.ReadString("PasswordFB");
    ASSERT_EQ(cipher.size(), 64u);
    EXPECT_EQ(cipher.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(AesDecryptFromHexWire(cipher, FixedKeyText), "plintaved");

    RegistryKey sms = openMachineKey(std::string(MainKey) + "\\SMS");
    EXPECT_EQ(sms.ReadInteger("OutTrialsLimit"), 0);
    EXPECT_EQ(sms.ReadInteger("OutTrials"), 5);
    EXPECT_EQ(sms.ReadString("CountryCode"), "48");
    RegistryKey macros = openMachineKey(std::string(MainKey) + "\\PABX_MACROS\\2");
    EXPECT_EQ(macros.ReadString("Redial"), "*90");
    EXPECT_EQ(macros.ReadString("Hold"), " ");
    RegistryKey routing = openMachineKey(std::string(MainKey) + "\\SMS\\DynamicRouting");
    EXPECT_EQ(routing.ReadInteger("ValidityPeriod"), 86400);
    EXPECT_NE(log.find("Odczyt wartości OutTrials z rejestru, przyjęta domyślna = 5"), std::string::npos);
    EXPECT_EQ(log.find("plintaved"), std::string::npos) << "the password never reaches the log";

    const std::string before = testing_support::readFile(sandbox.machineRegistryFile());
    resetLog();
    logSoFar.clear();
    createForm("DEBUG");
    EXPECT_FALSE(SettingsDefaulted);
    EXPECT_EQ(mainLogText().find("przyjęta domyślna"), std::string::npos);
    EXPECT_EQ(testing_support::readFile(sandbox.machineRegistryFile()), before);
}

TEST_F(SettingsStore, StoredValuesAreValidatedWithoutRewritingThem) {
    {
        RegistryKey main = openMachineKey(MainKey);
        main.WriteInteger("Centrala", 7);
        main.WriteString("Miedzy", "");
        main.WriteString("TCPCentr", "");
        main.WriteString("timeBackupHour", "25:99");
        main.WriteString("PrefiksMiedzynarodowy", "0123456789ABC");
        main.WriteString("IPFBase", "10.1.2.3");
    }
    TForm1& f = createForm("DEBUG");
    EXPECT_EQ(f.PbxType, 2);
    EXPECT_EQ(f.Miedzy, "");
    EXPECT_EQ(f.TCPCentr, "192.168.1.250");
    EXPECT_EQ(f.BackupTimeOfDay, QTime(3, 0));
    EXPECT_EQ(f.PrefiksMiedzynarodowy, "012345678");
    EXPECT_EQ(f.BroadcastAddress, "10.1.2.255");
    EXPECT_NE(mainLogText().find("obcięta"), std::string::npos);
    form.reset();

    RegistryKey main = openMachineKey(MainKey);
    EXPECT_EQ(main.ReadInteger("Centrala"), 7);
    EXPECT_EQ(main.ReadString("Miedzy"), "");
    EXPECT_EQ(main.ReadString("TCPCentr"), "192.168.1.250");
    EXPECT_EQ(main.ReadString("timeBackupHour"), "25:99");
    EXPECT_EQ(main.ReadString("Broadcast"), "10.1.2.255");
}

TEST_F(SettingsStore, PbxType5ReadsItsOwnMacros) {
    openMachineKey(MainKey).WriteInteger("Centrala", 5);
    createForm();
    EXPECT_EQ(form->PbxType, 5);
    EXPECT_EQ(PabxMacros.Redial, "*880");
    EXPECT_EQ(PabxMacros.Hold, "*6");
    EXPECT_FALSE(form->TabSms->TabVisible());
}

TEST_F(SettingsStore, AWrongTypeSkipsTheRestOfItsSectionOnly) {
    {
        RegistryKey main = openMachineKey(MainKey);
        main.WriteInteger("TCPCentr", 1);
        main.WriteInteger("PortTCPCent", 6000);
    }
    createForm("DEBUG");
    EXPECT_EQ(form->PortTCPCent, 5001) << "values after the error keep their initial values";
    const auto calls = dialogs->Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_NE(calls.front().text.find("TCPCentr"), std::string::npos);
    EXPECT_NE(mainLogText().find("Błąd tworzenia klucza \\software\\Vorlin\\Halvex"), std::string::npos);
    RegistryKey sms = openMachineKey(std::string(MainKey) + "\\SMS");
    EXPECT_EQ(sms.ReadInteger("OutTrials"), 5) << "later sections are still read";
}

TEST_F(SettingsStore, AGarbledPasswordIsRefusedAndKept) {
    openMachineKey(MainKey).WriteString("PasswordFB", "not a cipher text");
    createForm("DEBUG");
    EXPECT_EQ(form->PasswordFB, "plintaved");
    form.reset();
    EXPECT_EQ(openMachineKey(MainKey).ReadString("PasswordFB"), "not a cipher text");
}

TEST_F(SettingsStore, ChangedPasswordsAreWrittenEnciphered) {
    createForm();
    form->PasswordFB = "Zażółć-1";
    form->UstawPasswordFB(true);
    form->UstawPasswordFB(false);
    EXPECT_EQ(form->PasswordFB, "Zażółć-1");
}
