#include "shell/ConsoleHostOfForm.h"

#include "db/MainDatabase.h"
#include "pbx/PbxLink.h"
#include "platform/RegistryStore.h"
#include "platform/WireCodePage.h"
#include "shell/MainForm.h"
#include "shell/ProgressWindow.h"
#include "shell/SettingsTable.h"

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

void ConsoleHostOfForm::ShowProgress(const std::string& text) {
    if (!OknoInfo)
        return;
    OknoInfo->Label1->setText(QString::fromStdString(text));
    if (OknoInfo->isVisible())
        return;
    OknoInfo->progress->setRange(0, 0);
    OknoInfo->setAttribute(Qt::WA_ShowWithoutActivating);
    OknoInfo->show();
}

void ConsoleHostOfForm::HideProgress() {
    if (!OknoInfo)
        return;
    OknoInfo->hide();
    OknoInfo->Stop();
}

int ConsoleHostOfForm::ReattachMainDatabase(const db::ConnectionSettings& connection) {
    db::MainDatabase& database = form_.Database();
    database.StructureCheckedDatabase.clear();
    const int result = database.AttachMainDatabase(connection);
    database.MainDbState = result == 0 ? 0 : -1;
    return result;
}

void ConsoleHostOfForm::SaveIncomingCall(const std::string& caller, const std::string& extension,
                                         std::uint32_t length, const QDateTime& start) {
    form_.Pbx().SaveIncomingCall(caller, extension, length, start);
}

} // namespace shell
