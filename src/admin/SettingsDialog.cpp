// The settings dialog's own handlers: each show loads the controls from the
// settings in force, OK checks the input, applies it to the running services
// and stores it. A few things take effect at once, before OK and whatever
// Cancel does: a show switches the calendar service off outside the Polish
// edition and sets the SMS switch of the exchange types that decide it; a
// type change sets the Ethernet port of the TCP-only types and puts the
// type's default function codes in force.
#include "admin/SettingsDialog.h"
#include "admin/Console.h"

#include "db/DrawnKeys.h"
#include "db/InterfaceDB.h"
#include "db/SessionDB.h"
#include "i18n/LangComponent.h"
#include "ui/Dialogs.h"

#include <QFormLayout>
#include <QPointer>
#include <QRegularExpressionValidator>
#include <QShowEvent>

#include <algorithm>
#include <array>

namespace {

using base::SettingsSection;

constexpr int PbxTypeCount = 6;
constexpr int EthernetPort = 5;
constexpr const char* DefaultDbPassword = "plintaved";
constexpr std::array<int, 10> ValidityPeriods = {900,   1800,  3600,  7200,   14400,
                                                 21600, 43200, 86400, 172800, 604800};

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

std::string str(const QString& text) {
    return text.toStdString();
}

// A whole number typed in a field, -1 when it is none.
int fieldNumber(const QLineEdit* edit) {
    bool ok = false;
    const int value = edit->text().trimmed().toInt(&ok);
    return ok ? value : -1;
}

// The number in a field that only takes digits, capped so that a long run
// of digits stays comparable; empty counts as 0.
long long digitsValue(const QString& text) {
    if (text.size() > 12)
        return 999999999999LL;
    return text.toLongLong();
}

void allowOnly(QLineEdit* edit, const char* pattern) {
    edit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QString::fromLatin1(pattern)), edit));
}

} // namespace

int TKonfiguracja::ValidityIndex(int seconds) {
    for (std::size_t i = 0; i < ValidityPeriods.size(); ++i)
        if (ValidityPeriods[i] >= seconds)
            return int(i);
    return int(ValidityPeriods.size()) - 1;
}

int TKonfiguracja::ValiditySeconds(int index) {
    return ValidityPeriods[std::size_t(std::clamp(index, 0, int(ValidityPeriods.size()) - 1))];
}

admin::ConsoleHost& TKonfiguracja::host() {
    return console->Host();
}

std::string TKonfiguracja::text(const char* key) const {
    return lgLangLinked1->GetTextOrDefault(key);
}

bool TKonfiguracja::flag(const char* name, base::SettingsSection section) {
    return std::get<bool>(host().Setting(section, name));
}

int TKonfiguracja::number(const char* name, base::SettingsSection section) {
    return std::get<int>(host().Setting(section, name));
}

QString TKonfiguracja::setting(const char* name, base::SettingsSection section) {
    return q(std::get<std::string>(host().Setting(section, name)));
}

// A key that could not be written once is not tried again in the same OK:
// its values go in force only (the failure is in the log once).
void TKonfiguracja::store(const char* name, const base::SettingValue& value, base::SettingsSection section) {
    if (unwritableKeys_.contains(section))
        host().PutSettingInForce(section, name, value);
    else if (!host().StoreSetting(section, name, value))
        unwritableKeys_.insert(section);
}

void TKonfiguracja::installInputRules() {
    allowOnly(edCRMport, "[0-9]*");
    allowOnly(edMaxCRMconnections, "[0-9]*");
    for (QLineEdit* edit : {PrefixMiedzy, edPrefixMiedzynarodowy})
        allowOnly(edit, "[0-9*#,p]*");
    for (QLineEdit* edit : {edSmsCountryCode, edMinSmsNumberLength, edMaxSmsNumberLength})
        allowOnly(edit, "[0-9]*");
    // The codes are kept in ten bytes with their terminator.
    edCodeRedial->setMaxLength(base::ShortTextLimit);
    edCodeHold->setMaxLength(base::ShortTextLimit);
    connect(edCRMport, &QLineEdit::textChanged, this, [this] { edCRMportChange(); });
    connect(edMaxCRMconnections, &QLineEdit::textChanged, this, [this] { edMaxCRMconnectionsChange(); });
    connect(UpDownSmsTrials, &QSpinBox::valueChanged, this,
            [this](int position) { EditSmsTrials->setText(QString::number(position)); });
    connect(UpDownUzNum, &QSpinBox::valueChanged, this,
            [this](int position) { EditUzNum->setText(QString::number(position)); });
}

void TKonfiguracja::showEvent(QShowEvent* event) {
    ui::TForm::showEvent(event);
    // A window restored by the window system keeps what was typed in it.
    if (!event->spontaneous())
        FormShow();
}

void TKonfiguracja::FormShow() {
    if (!console)
        return;
    console->SettingsNotWritten = [dialog = QPointer<TKonfiguracja>(this)](const std::string& file,
                                                                           const std::string& reason,
                                                                           const std::string& values) {
        if (dialog)
            dialog->settingsNotWritten(file, reason, values);
    };
    const int languageInForce = number("language");
    jezykPrzyOtwarciu = host().StoredLanguage();
    jezykWybrany = jezykPrzyOtwarciu;
    pcKonfiguracja->SetActivePage(tabCentrala);

    PotwWych->setChecked(flag("pytanieOwych"));
    AutomPrzyw->setChecked(flag("AutomPrzyw"));
    chbInsertIncomingForRingGroup->setChecked(flag("InsertIncomingFroRingGroup"));
    CheckBox1->setChecked(flag("PowiadORozlacz"));
    chbStartMinimized->setChecked(flag("StartMinimized"));
    chbSocketCRM->setChecked(flag("CRMsocketActive"));
    AdrBroad->setText(setting("Broadcast"));
    AdresTCPEdit->setText(setting("TCPCentr"));
    PortTCPEdit->setText(QString::number(number("PortTCPCent")));
    PrefixMiedzy->setText(setting("Miedzy"));
    edPrefixMiedzynarodowy->setText(setting("PrefiksMiedzynarodowy"));
    const int type = number("Centrala");
    TypCentrali->setCurrentIndex(type >= 0 && type < PbxTypeCount ? type : 2);
    PortTCP->setText(QString::number(number("PortTCP")));
    PortTCPCalBrowse->setText(QString::number(number("PortTCPCalBrowse")));
    PortTCPCalSend->setText(QString::number(number("PortTCPCalSend")));

    // The calendar service comes with the Polish edition only: elsewhere the
    // page is hidden and the service is off from now on (OK stops it).
    TabSheetCalendars->SetTabVisible(languageInForce == 0);
    if (languageInForce != 0)
        host().PutSettingInForce(SettingsSection::Main, "CalendarServiceEnabled", false);
    CheckBoxCalEnabled->setChecked(flag("CalendarServiceEnabled"));

    edCRMport->setText(QString::number(number("PortTCP_CRM")));
    edMaxCRMconnections->setText(QString::number(number("MaxPolaczenCRM")));
    PortUDP->setText(QString::number(number("PortUDP")));
    DIPBEdit->setText(setting("IPFBase"));
    UserEdit->setText(setting("UserFB"));
    PassEdit->setText(setting("PasswordFB"));
    NameEdit->setText(setting("NameFB"));
    ComboBoxLang->setCurrentIndex(std::clamp(languageInForce, 0, 2));

    pbxPortAtShow_ = number("Port");
    fillPortList(TypCentrali->currentIndex(), pbxPortAtShow_);
    edCodeRedial->setText(setting("Redial", SettingsSection::PabxMacros));
    edCodeHold->setText(setting("Hold", SettingsSection::PabxMacros));
    edGbakPath->setText(setting("GbakPath"));
    edBackupPath->setText(setting("BackupPath"));
    cbBackupPeriod->setCurrentIndex(std::clamp(number("AutoBackupPeriod"), 1, 14) - 1);
    chbAutoBackup->setChecked(flag("AutoBackup"));
    chbAutoBackupClick();
    chbCleanBeforeBackup->setChecked(flag("CleanBeforeBackup"));
    chbUseVoiceMailPcti->setChecked(flag("UseVoiceMailPcti"));
    chbUsePctiClip->setChecked(flag("UsePctiClip"));
    BackupDateTime->setTime(base::TimeOfDayFromText(str(setting("timeBackupHour"))));

    // Type 0 always sends SMS through the exchange, type 5 never does.
    showTypeFeatures(TypCentrali->currentIndex());
    if (TypCentrali->currentIndex() == 0)
        host().PutSettingInForce(SettingsSection::Sms, "UseSms", true);
    else if (TypCentrali->currentIndex() == 5)
        host().PutSettingInForce(SettingsSection::Sms, "UseSms", false);

    chbEnableRCP->setChecked(flag("UseRCP"));
    edRCP_IP->setText(setting("RCP_IPFB"));
    edRCPpath->setText(setting("RCP_NameFB"));
    edRCPuser->setText(setting("RCP_User"));
    edRCPpassword->setText(setting("RCP_PasswordFB"));

    chbUseSms->setChecked(flag("UseSms", SettingsSection::Sms));
    chbSmsNumberProcessingRemoveCountryCode->setChecked(flag("RemoveCountryCode", SettingsSection::Sms));
    chbForceSmsSynchronize->setChecked(flag("ForceSynchronization", SettingsSection::Sms));
    if (auto* layout = qobject_cast<QFormLayout*>(tabCentralaSms->layout()))
        if (auto* label = qobject_cast<QLabel*>(layout->labelForField(EditSmsTrials->parentWidget())))
            label->setText(q(text("IDS_197")));
    CheckBoxSmsTrials->setText(q(text("IDS_198")));
    ButtonKasujKolejki->setText(q(text("IDS_199")));
    UpDownSmsTrials->setValue(number("OutTrials", SettingsSection::Sms));
    UpDownUzNum->setValue(number("CountryNumberLength", SettingsSection::Sms));
    EditSmsTrials->setText(QString::number(UpDownSmsTrials->value()));
    EditUzNum->setText(QString::number(UpDownUzNum->value()));
    CheckBoxSmsTrials->setChecked(flag("OutTrialsLimit", SettingsSection::Sms));
    CheckBoxSmsTrialsClick();
    edSmsCountryCode->setText(setting("CountryCode", SettingsSection::Sms));
    edMinSmsNumberLength->setText(QString::number(number("MinCountryNumberLength", SettingsSection::Sms)));
    edMaxSmsNumberLength->setText(QString::number(number("MaxCountryNumberLength", SettingsSection::Sms)));
    chbDynamicRouting->setChecked(flag("Enabled", SettingsSection::DynamicRouting));
    cbRouteValidity->setCurrentIndex(
        ValidityIndex(number("ValidityPeriod", SettingsSection::DynamicRouting)));
}

// The port list of a type; `pbxPort` (1..5) is selected where the type has it.
void TKonfiguracja::fillPortList(int type, int pbxPort) {
    NumPort->clear();
    if (type < 2) {
        NumPort->addItem(q(text("IDS_9")));
        NumPort->setCurrentIndex(0);
    } else {
        NumPort->addItems({QStringLiteral("COM 1"), QStringLiteral("COM 2"), QStringLiteral("COM 3"),
                           QStringLiteral("COM 4"), q(text("IDS_9"))});
        NumPort->setCurrentIndex(std::clamp(pbxPort, 1, EthernetPort) - 1);
    }
    NumPortChange();
}

void TKonfiguracja::showTypeFeatures(int type) {
    const bool morva = type == 5;
    edCodeHold->setVisible(morva);
    Label21->setVisible(morva);
    chbUseVoiceMailPcti->setVisible(!morva);
    tabCentralaSms->SetTabVisible(!morva);
    chbUseVoiceMailPcti->setText(q(text(type == 0 ? "IDS_17" : "IDS_15")));
    chbUsePctiClip->setText(q(text(type == 0 || morva ? "IDS_18" : "IDS_16")));
    if (console)
        host().ShowSmsPage(!morva);
}

void TKonfiguracja::TypCentraliChange() {
    const int type = TypCentrali->currentIndex();
    // The TCP-only types are on Ethernet from now on.
    if (type < 2 && console)
        host().PutSettingInForce(SettingsSection::Main, "Port", EthernetPort);
    fillPortList(type, type < 2 ? EthernetPort : (console ? number("Port") : 1));
    showTypeFeatures(type);
    btnCodeDefaultClick();
}

void TKonfiguracja::NumPortChange() {
    const bool tcp = TypCentrali->currentIndex() < 2 || NumPort->currentIndex() == EthernetPort - 1;
    for (QWidget* widget : {static_cast<QWidget*>(AdresTCPEdit), static_cast<QWidget*>(PortTCPEdit),
                            static_cast<QWidget*>(Label5), static_cast<QWidget*>(Label6)})
        widget->setVisible(tcp);
}

// The codes go in force at once, not only into the fields.
void TKonfiguracja::btnCodeDefaultClick() {
    const bool morva = TypCentrali->currentIndex() == 5;
    const std::string redial = morva ? "*880" : "*90";
    const std::string hold = morva ? "*6" : "";
    if (console) {
        host().PutSettingInForce(SettingsSection::PabxMacros, "Redial", redial);
        host().PutSettingInForce(SettingsSection::PabxMacros, "Hold", hold);
    }
    edCodeRedial->setText(q(redial));
    edCodeHold->setText(q(hold));
}

void TKonfiguracja::CheckBoxSmsTrialsClick() {
    const bool untilSuccess = CheckBoxSmsTrials->isChecked();
    UpDownSmsTrials->setEnabled(!untilSuccess);
    EditSmsTrials->setEnabled(!untilSuccess);
}

void TKonfiguracja::chbAutoBackupClick() {
    cbBackupPeriod->setEnabled(chbAutoBackup->isChecked());
    BackupDateTime->setEnabled(chbAutoBackup->isChecked());
}

void TKonfiguracja::edCRMportChange() {
    const long long port = digitsValue(edCRMport->text());
    if (port < 1)
        edCRMport->setText(QStringLiteral("1"));
    else if (port > 65535)
        edCRMport->setText(QStringLiteral("65535"));
}

void TKonfiguracja::edMaxCRMconnectionsChange() {
    const long long count = digitsValue(edMaxCRMconnections->text());
    if (count < 1)
        edMaxCRMconnections->setText(QStringLiteral("1"));
    else if (count > 16)
        edMaxCRMconnections->setText(QStringLiteral("16"));
}

void TKonfiguracja::ZaawansowaneClick() {
    if (console)
        host().SetAdvancedDiagnostics(Zaawansowane->isChecked());
}

void TKonfiguracja::ComboBoxLangCloseUp() {
    jezykWybrany = ComboBoxLang->currentIndex();
    if (jezykWybrany != jezykPrzyOtwarciu && console)
        ui::dialogs().MessageBox(host().Text("IDS_LANG_RESTART"), host().Text("IDS_LANG_CLOSE"), ui::MB_OK,
                                 ui::IDOK, this);
}

void TKonfiguracja::ButtonKasujKolejkiClick() {
    if (!console)
        return;
    if (ui::dialogs().MessageBox(text("IDS_196"), str(ButtonKasujKolejki->text()),
                                 ui::MB_YESNO | ui::MB_ICONQUESTION, ui::IDNO, this) == ui::IDYES)
        host().ClearSmsQueues();
}

std::string TKonfiguracja::folderOf(const std::string& file) {
    const auto slash = file.find_last_of('/');
    return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

// The database file: the dialog starts in the folder of the file named now.
void TKonfiguracja::btnSetDatabasePathClick() {
    ui::FileRequest request;
    request.fileName = str(NameEdit->text());
    request.filter = text("IDS_191");
    request.defaultExt = "fdb";
    request.initialDir = folderOf(request.fileName);
    const std::string chosen = ui::dialogs().OpenFile(request, this);
    if (!chosen.empty())
        NameEdit->setText(q(chosen));
}

void TKonfiguracja::ZapiszKonfiguracjeKalendarza(const std::string& sendPort) {
    if (console)
        host().ZapiszKonfiguracjeKalendarza(sendPort);
}

// What the administrator stored and the settings file refused: in force
// until the program stops, gone at its next start.
void TKonfiguracja::settingsNotWritten(const std::string& file, const std::string& reason,
                                       const std::string& values) {
    warn(text("IDS_906") + "\n\n" + file + ": " + reason + "\n\n" + values, str(windowTitle()),
         ui::MB_ICONWARNING);
}

void TKonfiguracja::warn(const std::string& message, const std::string& caption, unsigned icon) {
    ui::dialogs().MessageBox(message, caption, ui::MB_OK | icon, ui::IDOK, this);
}

// The checks of OK, before anything is applied.
bool TKonfiguracja::inputAccepted() {
    if (NameEdit->text().trimmed().isEmpty()) {
        warn(text("IDS_20"), text("IDS_21"), ui::MB_ICONWARNING);
        return false;
    }
    for (const QLineEdit* edit : {edSmsCountryCode, edMinSmsNumberLength, edMaxSmsNumberLength})
        if (edit->text().trimmed().isEmpty()) {
            warn(text("IDS_22"), text("IDS_21"), ui::MB_ICONWARNING);
            return false;
        }
    const int minimum = fieldNumber(edMinSmsNumberLength);
    const int maximum = fieldNumber(edMaxSmsNumberLength);
    if (minimum < 7 || maximum < 7 || minimum > maximum) {
        warn(text("IDS_24"), text("IDS_21"), ui::MB_ICONWARNING);
        return false;
    }
    // Every port is checked before any of them is used: a port the program
    // cannot open would only show up as a silent failure later.
    const std::pair<const QLineEdit*, const char*> ports[] = {{PortTCPEdit, "IDS_900"},
                                                              {PortTCP, "IDS_901"},
                                                              {PortUDP, "IDS_902"},
                                                              {PortTCPCalBrowse, "IDS_903"},
                                                              {PortTCPCalSend, "IDS_904"}};
    for (const auto& [edit, name] : ports) {
        const int port = fieldNumber(edit);
        if (port < 1 || port > 65535) {
            warn(text("IDS_905") + " " + text(name), text("IDS_21"), ui::MB_ICONWARNING);
            return false;
        }
    }
    return true;
}

void TKonfiguracja::btnAcceptClick() {
    if (!console) {
        hide();
        return;
    }
    if (!inputAccepted())
        return;
    unwritableKeys_.clear();
    const int sendPort = fieldNumber(PortTCPCalSend);
    const int browsePort = fieldNumber(PortTCPCalBrowse);
    const int clientPort = fieldNumber(PortTCP);
    const int udpPort = fieldNumber(PortUDP);
    const int exchangePort = fieldNumber(PortTCPEdit);

    // The calendar socket takes its port before the switch may open it; then
    // a new service port stops the service, its settings file is rewritten,
    // and socket and service follow the switch.
    host().SetCalendarBrowsePort(browsePort);
    host().ApplyCalendarSettings(CheckBoxCalEnabled->isChecked(), sendPort);

    bool linkChanged =
        str(AdresTCPEdit->text()) != str(setting("TCPCentr")) || exchangePort != number("PortTCPCent");
    const bool portsChanged = udpPort != number("PortUDP") || clientPort != number("PortTCP");
    if (portsChanged)
        warn(text("IDS_26"), str(windowTitle()), ui::MB_ICONINFORMATION);

    const int type = TypCentrali->currentIndex();
    const int pbxPort = type < 2 ? EthernetPort : NumPort->currentIndex() + 1;
    // Against the port the link was started with: a type change has put
    // Ethernet in force already, and the link must still move to it.
    if (pbxPort != pbxPortAtShow_)
        linkChanged = true;

    store("PowiadORozlacz", CheckBox1->isChecked());
    store("Port", pbxPort);
    store("PortTCP", clientPort);
    store("PortTCPCalBrowse", browsePort);
    store("PortTCPCalSend", sendPort);
    store("CalendarServiceEnabled", CheckBoxCalEnabled->isChecked());
    store("pytanieOwych", PotwWych->isChecked());
    store("InsertIncomingFroRingGroup", chbInsertIncomingForRingGroup->isChecked());
    store("PortUDP", udpPort);
    store("Centrala", type);
    store("Broadcast", str(AdrBroad->text()));
    store("Miedzy", str(PrefixMiedzy->text()));
    store("PrefiksMiedzynarodowy", str(edPrefixMiedzynarodowy->text()));
    store("TCPCentr", str(AdresTCPEdit->text()));
    store("PortTCPCent", exchangePort);
    if (jezykWybrany != jezykPrzyOtwarciu)
        host().StoreLanguage(jezykWybrany);
    store("StartMinimized", chbStartMinimized->isChecked());
    // The link reads its address, port and type when it connects; whether it
    // reconnects by itself is the setting it ran with until now.
    if (linkChanged)
        host().RestartPbxLink();
    store("AutomPrzyw", AutomPrzyw->isChecked());

    const int crmPort = int(digitsValue(edCRMport->text()));
    if (crmPort != number("PortTCP_CRM")) {
        if (host().CrmSocketActive())
            host().SetCrmSocketActive(false);
        store("PortTCP_CRM", crmPort);
    }
    host().SetCrmSocketActive(chbSocketCRM->isChecked());
    store("CRMsocketActive", chbSocketCRM->isChecked());
    const int crmConnections = int(digitsValue(edMaxCRMconnections->text()));
    if (crmConnections != number("MaxPolaczenCRM"))
        store("MaxPolaczenCRM", crmConnections);

    store("GbakPath", str(edGbakPath->text()));
    store("BackupPath", str(edBackupPath->text()));
    // A period outside the list keeps the nearest one: a backup is due at
    // most every fortnight and at least a day apart.
    store("AutoBackupPeriod", std::clamp(cbBackupPeriod->currentIndex() + 1, 1, 14));
    store("AutoBackup", chbAutoBackup->isChecked());
    store("CleanBeforeBackup", chbCleanBeforeBackup->isChecked());
    store("UseVoiceMailPcti", chbUseVoiceMailPcti->isChecked());
    store("UsePctiClip", chbUsePctiClip->isChecked());
    store("timeBackupHour",
          str(BackupDateTime->time().toString(QString::fromLatin1(base::StoredTimeOfDayFormat))));

    store("UseRCP", chbEnableRCP->isChecked());
    store("RCP_User", str(edRCPuser->text()));
    store("RCP_PasswordFB", str(edRCPpassword->text()));
    store("RCP_IPFB", str(edRCP_IP->text()));
    store("RCP_NameFB", str(edRCPpath->text()));

    storeFunctionCodes();

    applySmsPage(type);

    host().RetargetUdpSender();

    // The fields are the database in force while a restore holds its
    // connection: the restore's end attaches it again.
    const bool databaseChanged = str(DIPBEdit->text()) != str(setting("IPFBase")) ||
                                 str(UserEdit->text()) != str(setting("UserFB")) ||
                                 str(PassEdit->text()) != str(setting("PasswordFB")) ||
                                 str(NameEdit->text()) != str(setting("NameFB")) ||
                                 (!host().MainDatabaseAttached() && !MainAttachHeld());
    if (databaseChanged) {
        host().DetachMainDatabase();
        store("IPFBase", str(DIPBEdit->text()));
        store("NameFB", str(NameEdit->text()));
        store("PasswordFB", str(PassEdit->text()));
        store("UserFB", str(UserEdit->text()));
        host().UstawKomunikatLP();
        if (console)
            console->Maintenance().DatabaseSettingsChanged();
        auto structure = admin::ConsoleHost::StructureCheck::NothingCreated;
        if (host().OpenMainDatabase(structure) == 0) {
            if (structure == admin::ConsoleHost::StructureCheck::Created)
                warn(text("IDS_75"), str(windowTitle()), ui::MB_ICONINFORMATION);
            else if (structure == admin::ConsoleHost::StructureCheck::CreateFailed)
                warn(text("IDS_76"), str(windowTitle()), ui::MB_ICONERROR);
        }
    }
    // Whatever the outcome: a database that did not open has its lists read
    // once the reconnect attaches it, never the old database's kept.
    if (databaseChanged || bazaOdtworzona == 1)
        host().ReloadFromDatabase();
    hide();
}

// The codes change only with their key: one that cannot be written keeps
// the codes in use.
void TKonfiguracja::storeFunctionCodes() {
    const SettingsSection codes = SettingsSection::PabxMacros;
    const base::SettingValue redial = host().Setting(codes, "Redial");
    const base::SettingValue hold = host().Setting(codes, "Hold");
    store("Redial", str(edCodeRedial->text()), codes);
    store("Hold", str(edCodeHold->text()), codes);
    if (unwritableKeys_.contains(codes)) {
        host().PutSettingInForce(codes, "Redial", redial);
        host().PutSettingInForce(codes, "Hold", hold);
    }
}

void TKonfiguracja::applySmsPage(int type) {
    const SettingsSection sms = SettingsSection::Sms;
    // Type 5 has no GSM lines of its own.
    const bool useSms = type != 5 && chbUseSms->isChecked();
    if (!flag("UseSms", sms) && useSms)
        host().WyslijListeGSMWszystkim();
    auto lengthOr9 = [](const QLineEdit* edit) {
        const int value = fieldNumber(edit);
        return value < 0 ? 9 : value;
    };
    store("UseSms", useSms, sms);
    store("CountryCode", str(edSmsCountryCode->text().trimmed()), sms);
    store("MinCountryNumberLength", lengthOr9(edMinSmsNumberLength), sms);
    store("MaxCountryNumberLength", lengthOr9(edMaxSmsNumberLength), sms);
    store("RemoveCountryCode", chbSmsNumberProcessingRemoveCountryCode->isChecked(), sms);
    store("ForceSynchronization", chbForceSmsSynchronize->isChecked(), sms);
    store("OutTrialsLimit", CheckBoxSmsTrials->isChecked(), sms);
    store("OutTrials", UpDownSmsTrials->value(), sms);
    store("CountryNumberLength", UpDownUzNum->value(), sms);
    store("Enabled", chbDynamicRouting->isChecked(), SettingsSection::DynamicRouting);
    store("ValidityPeriod", ValiditySeconds(cbRouteValidity->currentIndex()),
          SettingsSection::DynamicRouting);
    host().ApplySmsSettings();
}

// OK would store database fields that the restore's end does not attach,
// and both read the lists from a database that is away.
void TKonfiguracja::holdDatabaseControls(bool held) {
    for (QWidget* control :
         {static_cast<QWidget*>(btnAccept), static_cast<QWidget*>(btnCancel), static_cast<QWidget*>(tabBaza)})
        control->setEnabled(!held);
}

void TKonfiguracja::btnCancelClick() {
    if (bazaOdtworzona == 1 && console)
        host().ReloadFromDatabase();
    hide();
}

void TKonfiguracja::CheckConnectClick() {
    // The typed values are tried on a connection of the test's own: the
    // main connection goes on serving the clients until OK. The front says
    // why a database does not open, or offers to create a missing file; the
    // database that answers gets what it lacks of the structure. A database
    // a cut restore may have left incomplete is not opened: the structure
    // check would build into it.
    const db::ConnectionSettings typed{str(DIPBEdit->text().trimmed()), str(NameEdit->text().trimmed()),
                                       str(UserEdit->text()), str(PassEdit->text())};
    const std::string cutShort = console ? console->Maintenance().RestoreCutShort(typed) : std::string();
    const std::string cutShortSaid = "\n\n" + text("IDS_970");
    testConnection(
        [this, typed, cutShortSaid](admin::ConsoleHost::StructureCheck& structure, std::string& keptAway) {
            DbHandle own = 0;
            bool opened = false;
            {
                InterfaceDB front;
                front.SetConnection(typed.host, typed.path, typed.user, typed.password);
                front.UseConnection(&own);
                opened = front.OpenDatabase(true) == 0;
                // The same file under another spelling than the mark's.
                if (opened && console) {
                    SessionDB session(typed.host, typed.path, typed.user, typed.password, &own, false);
                    keptAway = console->Maintenance().RestoreCutShortOfFile(db::ServerFileOf(session));
                }
                int error = 0;
                if (opened && keptAway.empty() && front.CheckAndCreateTables(&error) != 0)
                    structure = admin::ConsoleHost::StructureCheckOf(error);
            }
            SessionDB::DetachDatabase(&own);
            if (!keptAway.empty())
                keptAway += cutShortSaid;
            return opened;
        },
        cutShort.empty() ? cutShort : cutShort + cutShortSaid);
}

// The connection test as the button and a restore's end run it: the
// warnings on the fields around the attempt and its verdict.
void TKonfiguracja::testConnection(const ConnectionAttempt& attempt, const std::string& keptAway) {
    if (DIPBEdit->text() == QLatin1String("127.0.0.1"))
        warn("Adres IP serwera bazy musi być adresem pod którym jest ona dostępna w całej sieci "
             "lokalnej.\nNie należy wpisywać adresu loopback poza przypadkiem gdy jedyny klient "
             "zainstalowany jest na tym samym komputerze co serwer.\nWpisanie nieprawidłowego adresu "
             "uniemożliwi poprawną pracę aplikacji Trennik.",
             "Halvex", ui::MB_ICONWARNING);
    if (NameEdit->text().trimmed().isEmpty()) {
        warn(text("IDS_20"), text("IDS_21"), ui::MB_ICONWARNING);
        return;
    }
    auto structure = admin::ConsoleHost::StructureCheck::NothingCreated;
    std::string away = keptAway;
    const bool opened = away.empty() && attempt(structure, away);
    if (!away.empty())
        warn(away, text("IDS_21"), ui::MB_ICONWARNING);
    else
        showConnectionVerdict(opened, structure);
    if (PassEdit->text() == QLatin1String(DefaultDbPassword))
        warn(text("IDS_106"), text("IDS_78"), ui::MB_ICONWARNING);
}

// What the connection test found.
void TKonfiguracja::showConnectionVerdict(bool opened, admin::ConsoleHost::StructureCheck structure) {
    using Check = admin::ConsoleHost::StructureCheck;
    if (!opened)
        warn(text("IDS_103"), text("IDS_104"), ui::MB_ICONERROR);
    else if (structure == Check::NothingCreated)
        warn(text("IDS_99"), text("IDS_21"), ui::MB_ICONINFORMATION);
    else if (structure == Check::Created)
        warn(text("IDS_75"), str(windowTitle()), ui::MB_ICONINFORMATION);
    else
        warn(text("IDS_102"), str(windowTitle()), ui::MB_ICONERROR);
}
