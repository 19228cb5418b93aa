// The settings dialog's fields: a key that cannot be written, the texts in
// every language, the calendar's port, and every field back into the file
// as it came.
#include "SettingsDialogFixture.h"

namespace {

using namespace settingsdialogtest;

// What OK cannot store stays in force, but for the function codes: those keep
// the values in use.
TEST_F(SettingsDialogTest, AKeyThatCannotBeWrittenIsLoggedAndOnlyTheFunctionCodesKeepTheirValues) {
    writeMain("Centrala", 5); // Morva: both codes are shown
    open();
    const shell::PabxMacrosSettings before = form->Settings.PabxMacros;
    type("edSmsCountryCode", "420");
    type("edCodeRedial", "*77");
    type("edCodeHold", "*78");
    {
        testing_support::FileModesBind bind;
        ASSERT_TRUE(bind.bound());
        const std::string folder = sandbox.registryDir();
        ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
        press("btnAccept");
        chmod(folder.c_str(), 0755);
    }
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(form->Sms().SmsSettings.CountryCode, "420");
    EXPECT_EQ(form->Settings.PabxMacros.Redial, before.Redial);
    EXPECT_EQ(form->Settings.PabxMacros.Hold, before.Hold);
    const std::string log = mainLogText();
    for (const std::string key :
         {"\\software\\Vorlin\\Halvex\\SMS\n", "\\software\\Vorlin\\Halvex\\SMS\\DynamicRouting\n"}) {
        const auto at = log.find("Błąd tworzenia klucza " + key);
        ASSERT_NE(at, std::string::npos) << key;
        const auto next = log.find('\n', at) + 1;
        const std::string reason = log.substr(next, log.find('\n', next) - next);
        EXPECT_NE(reason.find(": Failed to set data for '"), std::string::npos) << reason;
    }
}

TEST_F(SettingsDialogTest, DynamicRoutingAndDatabaseButtonTextsInEveryLanguage) {
    const struct {
        int language;
        const char* box;
        const char* hint;
        const char* label;
        const char* backup;
        const char* cleaning;
    } cases[] = {
        {0, "Włącz dynamiczny routing dla przychodzących wiadomości",
         "Włączenie dynamicznego routingu powoduje, że serwer zapamiętuje czasowo informacje o wychodzących "
         "wiadomościach. Jeżeli na numer GSM przyjdzie wiadomość z numeru na który została uprzednio wysłana "
         "wiadomość, odpowiedź ta zostanie skierowana bezpośrednio.",
         "Czas oczekiwania na odpowiedź (ważności trasy zwrotnej)", "Wykonaj backup teraz", "Czyszczenie"},
        {1, "Enable dynamic routing for incoming messages",
         "Enabling dynamic routing makes the server remember the outgoing messages for a while. When a "
         "message "
         "comes to a GSM number from a number that a message was sent to before, this reply is directed "
         "straight back.",
         "Time to wait for a reply (validity of the return route)", "Back up now", "Cleaning"},
        {2, "Включить динамическую маршрутизацию для входящих сообщений",
         "Включение динамической маршрутизации заставляет сервер временно запоминать сведения об исходящих "
         "сообщениях. Если на номер GSM придёт сообщение с номера, на который ранее было отправлено "
         "сообщение, этот ответ будет направлен напрямую.",
         "Время ожидания ответа (срок действия обратного маршрута)", "Создать резервную копию сейчас",
         "Очистка"},
    };
    for (const auto& expected : cases) {
        writeMain("language", expected.language);
        dialog.reset();
        form.reset();
        createForm("DEBUG");
        open();
        auto* box = control<QCheckBox>("chbDynamicRouting");
        EXPECT_EQ(box->text().toStdString(), expected.box);
        EXPECT_EQ(box->property("Hint").toString().toStdString(), expected.hint);
        EXPECT_EQ(control<QLabel>("lblSms4")->text().toStdString(), expected.label);
        EXPECT_EQ(control<QPushButton>("btnBackup")->text().toStdString(), expected.backup);
        EXPECT_EQ(control<QPushButton>("btnCleanDatabase")->text().toStdString(), expected.cleaning);
    }
}

TEST_F(SettingsDialogTest, NewCalendarPortAnswersWithoutTheRestartNotice) {
    writeMain("language", 0);
    open();
    ASSERT_TRUE(control<QTabWidget>("pcKonfiguracja")->isTabVisible(5));
    // A port free a moment ago may be taken before the dialog opens it: then another.
    const int port = testing_support::OpenOnFreePort([this](int free) {
        open();
        control<QCheckBox>("CheckBoxCalEnabled")->setChecked(true);
        type("PortTCPCalBrowse", std::to_string(free));
        click("btnAccept");
        return form->CalSocket->isListening() && form->CalSocket->serverPort() == free;
    });
    ASSERT_NE(port, 0);
    EXPECT_FALSE(shown("IDS_26"));
    EXPECT_EQ(form->Settings.PortTCPCalBrowse, port);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(port));
    EXPECT_TRUE(linktest::WaitFor([&] { return client.state() == QAbstractSocket::ConnectedState; }));
}

// Every field of every page, shown from the settings file and confirmed with
// OK, goes back into the file as it was and shows the same again. Only the
// SMS switch follows the exchange type: always on for type 0, never for 5.
class SettingsDialogRoundTrip : public SettingsDialogTest, public testing::WithParamInterface<int> {
  protected:
    using Values = std::map<std::string, std::string>; // "key\name" -> value as stored

    static int freePort() {
        QTcpServer probe;
        EXPECT_TRUE(probe.listen(QHostAddress::AnyIPv4));
        return probe.serverPort();
    }
    Values stored() {
        Values values;
        for (const auto& [path, key] : platform::RegistryFile::parse(registry()))
            for (const auto& [name, value] : key.values)
                values[path + "\\" + name] = value.type == platform::RegistryValue::Type::Dword
                                                 ? std::to_string(value.dword)
                                                 : value.text;
        return values;
    }
    // What every named control shows.
    std::map<std::string, std::string> fields() {
        std::map<std::string, std::string> shown;
        for (QWidget* widget : dialog->findChildren<QWidget*>()) {
            const std::string name = widget->objectName().toStdString();
            QString value;
            if (auto* edit = qobject_cast<QLineEdit*>(widget))
                value = edit->text();
            else if (auto* box = qobject_cast<QCheckBox*>(widget))
                value = box->isChecked() ? "ticked" : "clear";
            else if (auto* combo = qobject_cast<QComboBox*>(widget))
                value = combo->currentText();
            else if (auto* spin = qobject_cast<QSpinBox*>(widget))
                value = QString::number(spin->value());
            else if (auto* time = qobject_cast<QTimeEdit*>(widget))
                value = time->time().toString(QStringLiteral("HH:mm:ss.zzz"));
            else
                continue;
            if (!name.empty() && name.rfind("qt_", 0) != 0)
                shown[name] = value.toStdString();
        }
        return shown;
    }
};

TEST_P(SettingsDialogRoundTrip, EveryFieldGoesBackIntoTheFileAsItCame) {
    const int type = GetParam();
    const std::string main = "\\software\\Vorlin\\Halvex";
    const std::string sms = main + "\\SMS";
    const bool smsForced = type == 0 || type == 5;
    const bool useSms = type == 5; // the opposite of what the type forces
    const struct {
        std::string path, name;
        base::SettingValue value;
    } settings[] = {
        {main, "Centrala", type},
        {main, "Port", type == 0 ? 5 : type - 1}, // Ethernet, COM 1, COM 4
        {main, "PortTCP", 4321},
        {main, "PortUDP", 4322},
        {main, "PortTCPCalBrowse", freePort()},
        {main, "PortTCPCalSend", 4323},
        {main, "CalendarServiceEnabled", true},
        {main, "PortTCP_CRM", freePort()},
        {main, "MaxPolaczenCRM", 5},
        {main, "CRMsocketActive", true},
        {main, "language", 0},
        {main, "pytanieOwych", false},
        {main, "AutomPrzyw", true},
        {main, "InsertIncomingFroRingGroup", true},
        {main, "PowiadORozlacz", false},
        {main, "StartMinimized", true},
        {main, "Miedzy", std::string("9")},
        {main, "PrefiksMiedzynarodowy", std::string("00")},
        {main, "TCPCentr", std::string("10.1.2.3")},
        {main, "PortTCPCent", 5099},
        {main, "Broadcast", std::string("10.1.2.255")},
        {main, "GbakPath", std::string("/opt/firebird/bin/gbak")},
        {main, "BackupPath", std::string("/srv/kopie")},
        {main, "AutoBackupPeriod", 3},
        {main, "AutoBackup", true},
        {main, "CleanBeforeBackup", true},
        {main, "UseVoiceMailPcti", true},
        {main, "UsePctiClip", true},
        {main, "timeBackupHour", std::string("17:08:13")},
        {main, "UseRCP", true},
        {main, "RCP_User", std::string("rcp")},
        {main, "RCP_PasswordFB", AesEncryptToHexWire("tajne", FixedKeyText)},
        {main, "RCP_IPFB", std::string("10.1.2.4")},
        {main, "RCP_NameFB", std::string("/srv/rcp.fdb")},
        {main + "\\PABX_MACROS\\" + std::to_string(type), "Redial", std::string("*91")},
        {main + "\\PABX_MACROS\\" + std::to_string(type), "Hold", std::string("*7")},
        {sms, "UseSms", useSms},
        {sms, "CountryCode", std::string("420")},
        {sms, "MinCountryNumberLength", 8},
        {sms, "MaxCountryNumberLength", 10},
        {sms, "RemoveCountryCode", false},
        {sms, "ForceSynchronization", false},
        {sms, "OutTrialsLimit", true},
        {sms, "OutTrials", 7},
        {sms, "CountryNumberLength", 8},
        {sms + "\\DynamicRouting", "Enabled", true},
        {sms + "\\DynamicRouting", "ValidityPeriod", 7200},
    };
    for (const auto& setting : settings)
        ASSERT_NO_FATAL_FAILURE(writeKey(setting.path, setting.name, setting.value));
    ASSERT_NO_FATAL_FAILURE(createAttachedForm());
    // What the fixture keeps off in memory is on in the file.
    form->Settings.AutomPrzyw = true;
    form->Settings.CalendarServiceEnabled = true;
    Values expected = stored();
    if (smsForced)
        expected["software\\vorlin\\halvex\\sms\\usesms"] = std::to_string(int(!useSms));

    open();
    const auto first = fields();
    EXPECT_EQ(first.at("BackupDateTime"), "17:08:13.000");
    click("btnAccept");
    ASSERT_FALSE(dialog->isVisible());
    const Values after = stored();
    for (const auto& [name, value] : expected) {
        const auto found = after.find(name);
        EXPECT_EQ(found == after.end() ? "(none)" : found->second, value) << name;
    }
    EXPECT_EQ(after.size(), expected.size());

    open();
    EXPECT_EQ(fields(), first);
}

INSTANTIATE_TEST_SUITE_P(ExchangeTypes, SettingsDialogRoundTrip, testing::Values(0, 2, 5));

} // namespace
