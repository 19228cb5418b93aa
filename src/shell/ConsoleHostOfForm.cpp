#include "shell/ConsoleHostOfForm.h"

#include "admin/Console.h"
#include "db/InterfaceDB.h"
#include "pbx/CrmConsole.h"
#include "pbx/PbxLink.h"
#include "platform/RegistryStore.h"
#include "platform/WireCodePage.h"
#include "shell/MainForm.h"
#include "shell/SettingsTable.h"
#include "sms/SmsGateway.h"

namespace shell {

admin::ConsoleLists ConsoleHostOfForm::Lists() {
    return {form_.UserLV, form_.PhoneLV, form_.HistLV, form_.lvAllUserPhones, form_.lvKontakty};
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
        form_.WriteLog(1, "Nie zapisano ustawienia %s: %s", name.c_str(), error.what());
        return false;
    }
}

int ConsoleHostOfForm::StoredLanguage() {
    if (!form_.SettingsRegistry)
        return form_.language;
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
    // ConnectPbx stops the running thread and joins it before the new one.
    form_.Pbx().ConnectPbx();
}

void ConsoleHostOfForm::ApplySmsSettings() {
    form_.Sms().ApplySmsSettings();
}

void ConsoleHostOfForm::ClearSmsQueues() {
    form_.Sms().SmsEngine.ClearQueues();
}

void ConsoleHostOfForm::WyslijListeGSMWszystkim() {
    form_.Clients().WyslijListeGSMKlientom(form_.Sms().GsmLines.lines);
}

bool ConsoleHostOfForm::CrmSocketActive() {
    return form_.Pbx().Crm().Active();
}

void ConsoleHostOfForm::SetCrmSocketActive(bool on) {
    form_.Pbx().CrmSocketSetActive(on);
}

void ConsoleHostOfForm::RetargetUdpSender() {
    if (TNMUDP* sender = form_.Clients().UdpSocket) {
        sender->SetRemotePort(form_.PortUDP);
        sender->SetRemoteHost(form_.BroadcastAddress);
    }
}

void ConsoleHostOfForm::ApplyCalendarSettings(bool enabled, int sendPort) {
    const clients::CalendarSettings before{form_.CalendarServiceEnabled, form_.PortTCPCalBrowse,
                                           form_.PortTCPCalSend};
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

int ConsoleHostOfForm::OpenMainDatabase() {
    db::MainDatabase& database = form_.Database();
    const int result = database.AttachMainDatabase(true);
    database.MainDbState = result == 0 ? 0 : -1;
    return result;
}

void ConsoleHostOfForm::UstawKomunikatLP() {
    form_.Clients().UstawKomunikatLP();
}

void ConsoleHostOfForm::ReloadFromDatabase() {
    form_.Clients().ContactsLoaded = false;
    form_.Sms().SmsRoutingLoaded = false;
    form_.lvAllUserPhones->SetTag(0);
    form_.Admin().LoadUsers();
    form_.Admin().LoadContacts();
    form_.Sms().LoadSmsRouting();
    form_.ZakladkiChange();
}

void ConsoleHostOfForm::ShowSmsPage(bool on) {
    form_.TabSms->SetTabVisible(on);
}

void ConsoleHostOfForm::SetAdvancedDiagnostics(bool on) {
    form_.TabDebug->SetTabVisible(on);
    form_.LogInfo->setChecked(on);
    base::Switches().LogInfo = on;
}

} // namespace shell
