#include "base/PasswordCodec.h"
#include "platform/RegistryStore.h"
#include "shell/FileLocations.h"
#include "shell/SettingsTable.h"
#include "sms/SmsGateway.h"
#include "support/FileModesBind.h"
#include "support/MainFormFixture.h"

#include <QDate>
#include <QFileInfo>
#include <chrono>
#include <sys/stat.h>
#include <unistd.h>

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

class SettingsStore : public MainFormFixture {
  protected:
    SettingsStore() { keepDefaultDatabase = true; }
};

TEST_F(SettingsStore, AFirstStartCreatesEveryValueWithItsDefaultAndTheSecondNothing) {
    createForm("DEBUG");
    EXPECT_TRUE(SettingsDefaulted);
    const std::string log = mainLogText();

    // Every value of the table exists with its default, and its creation was logged.
    for (const shell::Setting& setting : shell::SettingsTable()) {
        SCOPED_TRACE(setting.name);
        RegistryKey key = openMachineKey(shell::SettingsKeyPath(setting.section, form->Settings.PbxType));
        const shell::SettingValue expected = setting.defaultFor(form->Settings);
        switch (setting.type) {
        case shell::SettingType::Bool:
            EXPECT_EQ(key.ReadInteger(setting.name), std::get<bool>(expected) ? 1 : 0);
            break;
        case shell::SettingType::Integer:
            EXPECT_EQ(key.ReadInteger(setting.name), std::get<int>(expected));
            break;
        case shell::SettingType::Text:
            if (std::string(setting.name) != "timeBackup") { // the time of the first start
                EXPECT_EQ(key.ReadString(setting.name), std::get<std::string>(expected));
            }
            EXPECT_FALSE(key.ReadString(setting.name).empty() && setting.reader != shell::SettingReader::S);
            break;
        case shell::SettingType::EncipheredText:
            EXPECT_EQ(AesDecryptFromHexWire(key.ReadString(setting.name), FixedKeyText),
                      std::get<std::string>(expected));
            break;
        }
        if (setting.reader != shell::SettingReader::A) {
            EXPECT_NE(log.find(std::string("Odczyt wartości ") + setting.name + " z rejestru, "),
                      std::string::npos);
        }
    }
    form.reset();

    RegistryKey main = openMachineKey(MainKey);
    EXPECT_EQ(main.ReadString("testHKLM"), "testHKLM");
    const std::string cipher = main.ReadString("PasswordFB");
    ASSERT_EQ(cipher.size(), 64u);
    EXPECT_EQ(cipher.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(AesDecryptFromHexWire(cipher, FixedKeyText), shell::DefaultDbPassword);

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
    EXPECT_EQ(log.find(shell::DefaultDbPassword), std::string::npos) << "the password never reaches the log";

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
    EXPECT_EQ(f.Settings.PbxType, 2);
    EXPECT_EQ(f.Settings.Miedzy, "");
    EXPECT_EQ(f.Settings.TCPCentr, "192.168.1.250");
    EXPECT_EQ(f.Settings.BackupTimeOfDay, QTime(3, 0));
    EXPECT_EQ(f.Settings.PrefiksMiedzynarodowy, "012345678");
    EXPECT_EQ(f.Settings.BroadcastAddress, "10.1.2.255");
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
    EXPECT_EQ(form->Settings.PbxType, 5);
    EXPECT_EQ(form->Settings.PabxMacros.Redial, "*880");
    EXPECT_EQ(form->Settings.PabxMacros.Hold, "*6");
    EXPECT_FALSE(form->TabSms->TabVisible());
}

TEST_F(SettingsStore, AWrongTypeSkipsTheRestOfItsSectionOnly) {
    {
        RegistryKey main = openMachineKey(MainKey);
        main.WriteInteger("TCPCentr", 1);
        main.WriteInteger("PortTCPCent", 6000);
    }
    createForm("DEBUG");
    EXPECT_EQ(form->Settings.PortTCPCent, shell::DefaultExchangePort)
        << "values after the error keep their initial values";
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
    EXPECT_EQ(form->Settings.PasswordFB, shell::DefaultDbPassword);
    form.reset();
    EXPECT_EQ(openMachineKey(MainKey).ReadString("PasswordFB"), "not a cipher text");
}

TEST_F(SettingsStore, ChangedPasswordsAreWrittenEnciphered) {
    createForm();
    form->Settings.PasswordFB = "Zażółć-1";
    form->UstawPasswordFB(true);
    form->UstawPasswordFB(false);
    EXPECT_EQ(form->Settings.PasswordFB, "Zażółć-1");
}

namespace {

const char* const ExportHeader = "Windows Registry Editor Version 5.00\r\n\r\n";

} // namespace

TEST_F(SettingsStore, AnUnreadableFileKeepsItsValuesAndIsCopiedAsideOnce) {
    const std::string original = std::string(ExportHeader) + "[software\\Vorlin\\Halvex]\r\n"
                                                             "\"PortTCP\"=dword:000004d2\r\n"
                                                             "\"PortTCPCent\"=dword:1ffffffff\r\n"
                                                             "\x01\x02garbage\xff\r\n"
                                                             "\"TCPCentr\"=\"10.0.0.7\"\r\n"
                                                             "[software\\Vorlin\\Halvex\\SMS\r\n"
                                                             "\"OutTrials\"=dword:00000009\r\n"
                                                             "[software\\Vorlin\\Halvex\\SMS]\r\n"
                                                             "\"CountryCode\"=\"420\"\r\n";
    testing_support::writeFile(sandbox.machineRegistryFile(), original);
    createForm("DEBUG");
    EXPECT_EQ(form->Settings.PortTCP, 1234);
    EXPECT_EQ(form->Settings.TCPCentr, "10.0.0.7");
    EXPECT_EQ(form->Settings.PortTCPCent, shell::DefaultExchangePort)
        << "an out-of-range number takes its default";
    EXPECT_EQ(form->Sms().SmsSettings.CountryCode, "420");
    EXPECT_EQ(form->Sms().SmsSettings.OutTrials, 5) << "a value under a broken header belongs to no section";

    const std::string copy =
        sandbox.machineRegistryFile() + ".bad-" + QDate::currentDate().toString(Qt::ISODate).toStdString();
    EXPECT_EQ(testing_support::readFile(copy), original);
    int shown = 0;
    for (const auto& call : dialogs->Calls())
        shown += call.text.find(copy) != std::string::npos;
    EXPECT_EQ(shown, 1);
    const std::string log = mainLogText();
    EXPECT_NE(log.find("skopiowano go w całości do " + copy), std::string::npos) << log;
    form.reset();

    // The rewritten file is clean: the next start copies and shows nothing.
    dialogs = std::make_shared<ui::ScriptedDialogs>();
    createForm("DEBUG");
    EXPECT_EQ(form->Settings.PortTCP, 1234);
    EXPECT_TRUE(dialogs->Calls().empty());
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(copy + "-2")));
}

TEST_F(SettingsStore, AWindowsUtf16ExportIsReadAsSuch) {
    const QString text = QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n"
                                        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlin\\Halvex]\r\n"
                                        "\"PortTCP\"=dword:000004d2\r\n"
                                        "\"NameFB\"=\"/srv/bazy/Żółw.fdb\"\r\n");
    QByteArray bytes("\xFF\xFE", 2);
    bytes.append(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    testing_support::writeFile(sandbox.machineRegistryFile(), bytes.toStdString());
    createForm("DEBUG");
    EXPECT_EQ(form->Settings.PortTCP, 1234);
    EXPECT_EQ(form->Settings.NameFBText, "/srv/bazy/Żółw.fdb");
}

TEST_F(SettingsStore, ASkippedSectionLeavesEverySettingWithItsDefault) {
    {
        RegistryKey main = openMachineKey(MainKey);
        main.WriteInteger("Miedzy", 1); // a text stored as a number ends the section there
        openMachineKey(std::string(MainKey) + "\\PABX_MACROS\\2").WriteInteger("Redial", 1);
    }
    createForm("DEBUG");
    ASSERT_GE(dialogs->Calls().size(), 2u);
    EXPECT_EQ(form->Settings.NameFBText, shell::DefaultDatabasePath());
    EXPECT_EQ(form->Settings.GbakPathText,
              std::get<std::string>(shell::FindSetting("GbakPath").fixedDefault));
    EXPECT_EQ(form->Settings.BackupPathText, shell::ProgramDirectory());
    EXPECT_FALSE(form->Settings.IPFBaseText.empty());
    EXPECT_FALSE(form->Settings.RcpDb.IPFB.empty());
    EXPECT_EQ(form->Settings.RcpDb.PasswordFB, shell::DefaultDbPassword);
    EXPECT_EQ(form->Settings.PabxMacros.Redial, "*90");
    EXPECT_EQ(form->Settings.PabxMacros.Hold, " ");
}

TEST_F(SettingsStore, WhenNoBranchCanBeWrittenTheReadableOneIsStillRead) {
    {
        RegistryKey main = openMachineKey(MainKey);
        main.WriteInteger("PortTCP", 1234);
        main.WriteString("TCPCentr", "10.0.0.7");
        openMachineKey(std::string(MainKey) + "\\SMS").WriteString("CountryCode", "420");
    }
    const std::string before = testing_support::readFile(sandbox.machineRegistryFile());
    ASSERT_EQ(::chmod(sandbox.registryDir().c_str(), 0500), 0);
    {
        testing_support::FileModesBind modes;
        ASSERT_TRUE(modes.bound());
        createForm("DEBUG");
    }
    ::chmod(sandbox.registryDir().c_str(), 0700);
    EXPECT_EQ(form->Settings.PortTCP, 1234);
    EXPECT_EQ(form->Settings.TCPCentr, "10.0.0.7");
    EXPECT_EQ(form->Sms().SmsSettings.CountryCode, "420");
    EXPECT_EQ(form->Settings.PortTCPCent, shell::DefaultExchangePort);
    EXPECT_EQ(form->Settings.NameFBText, shell::DefaultDatabasePath());
    EXPECT_TRUE(dialogs->Calls().empty()) << "missing values take their defaults without an error";
    EXPECT_NE(mainLogText().find("Nie można zapisać ustawień"), std::string::npos);
    EXPECT_EQ(testing_support::readFile(sandbox.machineRegistryFile()), before);
}

// The user's file holds the settings (the machine's takes none: a FIFO is in
// its place), and another writer keeps its lock for the whole start. A held
// lock is no missing right: every value stored in that file is read, the
// defaults of the missing ones stay in memory, and the operator is told
// once, with no error box and no section cut short.
TEST_F(SettingsStore, ALockKeptByAnotherWriterLeavesTheStoredValuesReadAndTheDefaultsInMemory) {
    const std::string user = platform::registryFilePath(RegistryBranch::User);
    {
        RegistryKey main(RegistryBranch::User);
        ASSERT_TRUE(main.OpenKey(MainKey, true));
        main.WriteInteger("PortTCP", 1234);
        main.WriteString("TCPCentr", "10.0.0.7");
        RegistryKey sms(RegistryBranch::User);
        ASSERT_TRUE(sms.OpenKey(std::string(MainKey) + "\\SMS", true));
        sms.WriteString("CountryCode", "420");
    }
    ASSERT_EQ(::mkfifo(sandbox.machineRegistryFile().c_str(), 0600), 0);
    const std::string before = testing_support::readFile(user);
    {
        const testing_support::HeldSettingsLock held(user);
        ASSERT_TRUE(held.held());
        createForm("DEBUG");
        // The start's writes wait for the lock off the window, and give up.
        ASSERT_TRUE(platform::FinishBackgroundRegistryWrites(std::chrono::steady_clock::now() +
                                                             2 * platform::RegistryLockWait));
    }
    EXPECT_FALSE(form->RegistryInHklm);
    EXPECT_EQ(form->Settings.PortTCP, 1234);
    EXPECT_EQ(form->Settings.TCPCentr, "10.0.0.7");
    EXPECT_EQ(form->Sms().SmsSettings.CountryCode, "420");
    EXPECT_EQ(form->Settings.PortTCPCent, shell::DefaultExchangePort);
    EXPECT_TRUE(dialogs->Calls().empty());
    const std::string log = mainLogText();
    const std::string said =
        "Nie można zapisać pliku ustawień " + user + ": the lock " + user + ".lock is held by another writer";
    const auto first = log.find(said);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(said, first + 1), std::string::npos) << "said once";
    EXPECT_EQ(testing_support::readFile(user), before);
}

// Another writer holds the settings file's lock while the window starts,
// and lets it go once the window is up. The start did not wait for it:
// what it writes (the defaults of missing values, the probe of the machine's
// branch) is stored after the release, in the file it read.
TEST_F(SettingsStore, AStartDoesNotWaitForAHeldLockAndItsWritesFollowTheRelease) {
    const std::string machine = sandbox.machineRegistryFile();
    openMachineKey(MainKey).WriteInteger("PortTCP", 1234);
    const std::string before = testing_support::readFile(machine);
    {
        const testing_support::HeldSettingsLock held(machine);
        ASSERT_TRUE(held.held());
        createForm("DEBUG");
        EXPECT_EQ(testing_support::readFile(machine), before) << "written without the lock";
    }
    ASSERT_TRUE(platform::FinishBackgroundRegistryWrites(std::chrono::steady_clock::now() +
                                                         2 * platform::RegistryLockWait));
    EXPECT_TRUE(form->RegistryInHklm);
    EXPECT_FALSE(form->SettingsReadOnly);
    EXPECT_EQ(form->Settings.PortTCP, 1234);
    RegistryKey main = openMachineKey(MainKey);
    EXPECT_EQ(main.ReadInteger("PortTCP"), 1234);
    EXPECT_EQ(main.ReadString("testHKLM"), "testHKLM");
    EXPECT_EQ(main.ReadInteger("PortTCPCent"), shell::DefaultExchangePort);
    EXPECT_EQ(openMachineKey(std::string(MainKey) + "\\SMS").ReadString("CountryCode"), "48");
    EXPECT_EQ(mainLogText().find("Nie można zapisać pliku ustawień"), std::string::npos) << mainLogText();
}

TEST_F(SettingsStore, ASettingIsWrittenToTheKeyOfItsSection) {
    createForm();
    form->Sms().SmsSettings.OutTrials = 11;
    shell::WriteSetting(*form, shell::FindSetting("OutTrials", shell::SettingsSection::Sms));
    form->Settings.PabxMacros.Hold = "*77";
    shell::WriteSetting(*form, shell::FindSetting("Hold", shell::SettingsSection::PabxMacros));
    form.reset();
    EXPECT_EQ(openMachineKey(std::string(MainKey) + "\\SMS").ReadInteger("OutTrials"), 11);
    EXPECT_FALSE(openMachineKey(MainKey).ValueExists("OutTrials"));
    createForm();
    EXPECT_EQ(form->Sms().SmsSettings.OutTrials, 11);
    EXPECT_EQ(form->Settings.PabxMacros.Hold, "*77");
}
