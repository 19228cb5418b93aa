#include "shell/ConsoleHostOfForm.h"

#include "admin/Console.h"
#include "clients/ClientService.h"
#include "db/InterfaceDB.h"
#include "db/MainDatabase.h"
#include "pbx/CrmConsole.h"
#include "pbx/PbxLink.h"
#include "platform/RegistryStore.h"
#include "platform/WireCodePage.h"
#include "shell/DatabaseHostOfForm.h"
#include "shell/FileLocations.h"
#include "shell/MainForm.h"
#include "shell/ProgressWindow.h"
#include "shell/SettingsTable.h"
#include "sms/SmsGateway.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>
#include <cstdio>

namespace shell {

admin::ConsoleLists ConsoleHostOfForm::Lists() {
    return {form_.UserLV,          form_.PhoneLV,    form_.HistLV,
            form_.lvAllUserPhones, form_.lvKontakty, form_.ListView1};
}

std::string ConsoleHostOfForm::Text(const char* key) const {
    return form_.Text(key);
}

void ConsoleHostOfForm::StartReconnectTimer() {
    form_.trmReconnect->SetEnabled(true);
}

void ConsoleHostOfForm::UdpSend(const std::string& text) {
    form_.Clients().UdpSend(text);
}

// Notice mode 0 to the record logged in as the user; none when absent.
void ConsoleHostOfForm::NotifyUser(const std::string& userId, const std::string& text) {
    if (Klient* record = Klient::ZnajdzPoIDFB(userId))
        form_.Clients().Powiadom(0, platform::toWire(text), record->IDFB.c_str(), record->Gniazdo,
                                 record->IP);
}

void ConsoleHostOfForm::FillUserSlots(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::vector<clients::UserSlotUser> users;
    users.reserve(entries.size());
    for (const auto& [userId, cardKey] : entries)
        users.push_back({userId, cardKey});
    form_.Clients().FillUserSlots(users);
}

void ConsoleHostOfForm::LoadIncomingHistory(const std::string& column, const std::string& value) {
    form_.LoadIncomingHistory(column, value);
}

void ConsoleHostOfForm::UserPhonesReloaded(bool allBoxes) {
    if (allBoxes)
        form_.Pbx().WyslijSkrzynkiVMWszystkim();
    else
        form_.Pbx().RequeueVoiceMailBoxes();
}

void ConsoleHostOfForm::SetAttendanceTimer(bool on) {
    form_.tmrRCP->SetEnabled(on);
}

std::vector<admin::AttendanceSlot> ConsoleHostOfForm::AttendanceSlots() const {
    std::vector<admin::AttendanceSlot> entries;
    const clients::UserSlotTable& table = form_.Clients().UserSlots;
    for (std::size_t i = 0; i < table.size(); ++i)
        if (!table[i].UserId.empty())
            entries.push_back({int(i), table[i].UserId, table[i].CardKey, 0});
    return entries;
}

// A users reload during the poll may have moved users to other slots: a
// state lands only where its user and card still are.
void ConsoleHostOfForm::ApplyAttendance(const std::vector<admin::AttendanceSlot>& entries) {
    clients::UserSlotTable& table = form_.Clients().UserSlots;
    std::vector<std::uint32_t> states(table.size(), 0);
    for (const admin::AttendanceSlot& read : entries) {
        const std::size_t at = std::size_t(read.slot);
        if (at < table.size() && table[at].UserId == read.userId && table[at].CardKey == read.card)
            states[at] = read.state;
    }
    for (std::size_t i = 0; i < table.size(); ++i)
        table[i].AttendanceState = states[i];
}

base::SettingValue ConsoleHostOfForm::Setting(base::SettingsSection section, const std::string& name) const {
    return FindSetting(name, section).load(form_);
}

bool ConsoleHostOfForm::StoreSetting(base::SettingsSection section, const std::string& name,
                                     const base::SettingValue& value) {
    const shell::Setting& setting = FindSetting(name, section);
    setting.store(form_, value);
    try {
        WriteSetting(form_, setting);
        return true;
    } catch (const platform::RegistryError& error) {
        // The key first, then why: the reason may be long or several lines.
        form_.WriteLog(1, "Błąd tworzenia klucza %s", SettingsKeyPath(section, settings_.PbxType).c_str());
        form_.WriteLog(1, "%s", error.what());
        std::fprintf(stderr, "Halvex: the setting %s was not written: %s\n", name.c_str(), error.what());
        return false;
    }
}

void ConsoleHostOfForm::PutSettingInForce(base::SettingsSection section, const std::string& name,
                                          const base::SettingValue& value) {
    FindSetting(name, section).store(form_, value);
}

// Each step runs from the event loop of the modal progress window, so calls
// and clients are served between steps while the window keeps other input
// away. Closing the window does not stop the work: the rest runs on.
void ConsoleHostOfForm::RunUnderProgress(const std::string& caption, const std::string& text,
                                         const std::function<int()>& step) {
    bool done = false;
    const auto runStep = [&] {
        const int position = step();
        done = position < 0;
        if (OknoInfo && !done)
            OknoInfo->progress->SetPosition(position);
    };
    if (OknoInfo) {
        const QString usualCaption = OknoInfo->Caption();
        OknoInfo->Stop();
        OknoInfo->SetCaption(QString::fromStdString(caption));
        OknoInfo->Label1->setText(QString::fromStdString(text));
        QTimer driver;
        driver.setInterval(0);
        QObject::connect(&driver, &QTimer::timeout, OknoInfo, [&] {
            runStep();
            if (done) {
                driver.stop();
                OknoInfo->SetModalResult(ui::mrOk);
            }
        });
        driver.start();
        OknoInfo->ShowModal();
        OknoInfo->Stop();
        OknoInfo->SetCaption(usualCaption);
    }
    while (!done) {
        runStep();
        QCoreApplication::processEvents();
    }
}

void ConsoleHostOfForm::RepaintContacts() {
    form_.lvKontakty->Rows().SetItemCount(int(form_.Admin().ContactRows.size()));
}

void ConsoleHostOfForm::SortContacts() {
    form_.SortListView(*form_.lvKontakty);
}

std::vector<std::string> ConsoleHostOfForm::DataFolders() const {
    return {ProgramDirectory(),
            QFileInfo(QString::fromStdString(DefaultDatabasePath())).absolutePath().toStdString()};
}

int ConsoleHostOfForm::StoredLanguage() {
    if (!form_.SettingsRegistry)
        return settings_.language;
    return form_.RegReadInteger("language", TForm1::DefaultLanguageIndex());
}

void ConsoleHostOfForm::StoreLanguage(int index) {
    try {
        form_.RegWriteInteger("language", index);
    } catch (const platform::RegistryError& error) {
        form_.WriteLog(1, "Nie zapisano ustawienia %s: %s", "language", error.what());
    }
}

void ConsoleHostOfForm::RestartPbxLink() {
    form_.Pbx().RestartForNewSettings();
}

void ConsoleHostOfForm::ApplySmsSettings() {
    form_.Sms().ApplySmsSettings();
}

void ConsoleHostOfForm::ClearSmsQueues() {
    form_.Sms().SmsEngine.ClearQueues();
}

void ConsoleHostOfForm::WyslijListeGSMWszystkim() {
    form_.Clients().WyslijListeGSMWszystkim(form_.Sms().GsmLines);
}

bool ConsoleHostOfForm::CrmSocketActive() {
    return form_.Pbx().Crm().SwitchedOn();
}

void ConsoleHostOfForm::SetCrmSocketActive(bool on) {
    form_.Pbx().CrmSocketSetActive(on);
}

void ConsoleHostOfForm::RetargetUdpSender() {
    if (TNMUDP* sender = form_.Clients().UdpSocket) {
        sender->SetRemotePort(settings_.PortUDP);
        sender->SetRemoteHost(settings_.BroadcastAddress);
    }
}

void ConsoleHostOfForm::ApplyCalendarSettings(bool enabled, int sendPort) {
    const clients::CalendarSettings before{settings_.CalendarServiceEnabled, settings_.PortTCPCalBrowse,
                                           settings_.PortTCPCalSend};
    clients::CalendarSettings entered = before;
    entered.CalendarServiceEnabled = enabled;
    entered.PortTCPCalSend = sendPort;
    form_.Clients().Calendars.ApplyServiceSettings(before, entered);
}

void ConsoleHostOfForm::SetCalendarBrowsePort(int port) {
    form_.Clients().Calendars.SetBrowsePort(port);
}

void ConsoleHostOfForm::ZapiszKonfiguracjeKalendarza(const std::string& sendPort) {
    form_.Clients().Calendars.ZapiszKonfiguracjeKalendarza(sendPort);
}

bool ConsoleHostOfForm::MainDatabaseAttached() {
    return MainDbHandleExists();
}

void ConsoleHostOfForm::DetachMainDatabase() {
    SessionDB::DetachDatabase(&MainDbHandle);
    // Nothing may load from the old database's lists until the new one is checked.
    form_.Database().MainDbReady = false;
}

int ConsoleHostOfForm::attachReporting(StructureCheck& structure, const std::function<int()>& attach) {
    db::MainDatabase& database = form_.Database();
    structure = StructureCheck::NothingCreated;
    // The caller says what the check did, in its own words.
    database.StructureReport = [&structure](int error) { structure = StructureCheckOf(error); };
    const int result = attach();
    database.StructureReport = nullptr;
    database.MainDbState = result == 0 ? 0 : -1;
    return result;
}

int ConsoleHostOfForm::OpenMainDatabase(StructureCheck& structure) {
    return attachReporting(structure, [this] { return form_.Database().AttachMainDatabase(true); });
}

// Shown, not run: the event loop goes on serving the desks and the exchange.
// Its modality keeps the user's clicks away; the pages, which read the
// database when shown, are held as well.
void ConsoleHostOfForm::ShowProgress(const std::string& text) {
    form_.Zakladki->setEnabled(false);
    if (!OknoInfo)
        return;
    OknoInfo->Label1->setText(QString::fromStdString(text));
    OknoInfo->HeldOpen = true;
    if (OknoInfo->isVisible())
        return;
    OknoInfo->progress->setRange(0, 0);
    OknoInfo->setWindowModality(Qt::ApplicationModal);
    OknoInfo->setAttribute(Qt::WA_ShowWithoutActivating);
    OknoInfo->show();
}

void ConsoleHostOfForm::HideProgress() {
    form_.Zakladki->setEnabled(true);
    if (!OknoInfo)
        return;
    OknoInfo->HeldOpen = false;
    OknoInfo->hide();
    OknoInfo->Stop();
}

int ConsoleHostOfForm::ReattachMainDatabase(const db::ConnectionSettings& connection,
                                            StructureCheck& structure, QWidget* boxOwner) {
    db::MainDatabase& database = form_.Database();
    database.StructureCheckedDatabase.clear();
    QPointer<QWidget>& owner = form_.DatabaseHost().BoxOwner;
    owner = boxOwner;
    const int result =
        attachReporting(structure, [&] { return database.AttachMainDatabase(connection, true); });
    owner = nullptr;
    return result;
}

void ConsoleHostOfForm::RestoreOver() {
    form_.Clients().AnswerLoginsHeldForRestore();
}

void ConsoleHostOfForm::UstawKomunikatLP() {
    form_.Clients().UstawKomunikatLP();
}

// Read from a database that is away (a restore holds it, or it did not
// open), the lists would stay empty: the reading waits for its return, and
// until then the lists and the rules in force stay as they are, also when a
// page is shown meanwhile.
void ConsoleHostOfForm::ReloadFromDatabase() {
    if (!listsReadable()) {
        reloadPending_ = true;
        StartReconnectTimer();
        return;
    }
    reloadPending_ = false;
    form_.Admin().ContactsLoaded = false;
    form_.Sms().SmsRoutingLoaded = false;
    form_.lvAllUserPhones->SetTag(0);
    form_.Admin().LoadUsers();
    form_.Admin().LoadContacts();
    form_.Sms().LoadSmsRouting();
    form_.ZakladkiChange();
}

void ConsoleHostOfForm::ReloadIfPending() {
    if (reloadPending_ && listsReadable())
        ReloadFromDatabase();
}

bool ConsoleHostOfForm::listsReadable() const {
    return MainDbHandleExists() && !MainAttachHeld() && form_.Database().MainDbReady;
}

void ConsoleHostOfForm::ShowSmsPage(bool on) {
    form_.TabSms->SetTabVisible(on);
}

void ConsoleHostOfForm::SetAdvancedDiagnostics(bool on) {
    form_.TabDebug->SetTabVisible(on);
    form_.LogInfo->setChecked(on);
    base::Switches().LogInfo = on;
}

void ConsoleHostOfForm::SaveIncomingCall(const std::string& caller, const std::string& extension,
                                         std::uint32_t length, const QDateTime& start) {
    form_.Pbx().SaveIncomingCall(caller, extension, length, start);
}

} // namespace shell
