#include "shell/ClientServiceHostOfForm.h"

#include "admin/Console.h"
#include "pbx/PbxLink.h"
#include "shell/FileLocations.h"
#include "shell/MainForm.h"
#include "sms/SmsGateway.h"

namespace shell {

std::string ClientServiceHostOfForm::Text(const char* key) const {
    return form_.Text(key);
}

ui::TListView& ClientServiceHostOfForm::ClientListView() {
    return *form_.lvKlienci;
}

void ClientServiceHostOfForm::ShowClientCount(int count) {
    form_.StatusBar->Panels()[4]->SetText(QString::number(count));
}

platform::Event* ClientServiceHostOfForm::ServiceLock() {
    return form_.event_obslugi.get();
}

ui::TListView& ClientServiceHostOfForm::UserList() {
    return *form_.UserLV;
}

void ClientServiceHostOfForm::LoadUsers() {
    form_.Admin().LoadUsers();
}

clients::ClientLoginSettings ClientServiceHostOfForm::LoginSettings() const {
    clients::ClientLoginSettings s;
    s.databaseHost = settings_.IPFBaseText;
    s.databaseFile = settings_.NameFBText;
    s.databaseUser = settings_.UserFB;
    s.databasePassword = settings_.PasswordFB;
    s.broadcast = settings_.BroadcastAddress;
    s.portUdp = settings_.PortUDP;
    s.useSms = form_.Sms().SmsSettings.UseSms;
    s.useVoiceMailPcti = settings_.UseVoiceMailPcti;
    s.pbxType = settings_.PbxType;
    return s;
}

platform::Event* ClientServiceHostOfForm::QueueLock() {
    return form_.event_kolejka.get();
}

void ClientServiceHostOfForm::ShowStatusPanel(int panel, const QString& text) {
    form_.StatusBar->Panels()[panel]->SetText(text);
}

void ClientServiceHostOfForm::ClearQueuePane() {
    form_.Kolejka->clear();
}

QTcpServer& ClientServiceHostOfForm::ClientServer() {
    return *form_.serwer;
}

int ClientServiceHostOfForm::PortTCP() const {
    return settings_.PortTCP;
}

int ClientServiceHostOfForm::PortUDP() const {
    return settings_.PortUDP;
}

std::string ClientServiceHostOfForm::ProgramVersion() const {
    return form_.ProgramVersion;
}

bool ClientServiceHostOfForm::ServiceMenuMarked() const {
    return form_.WlaczSerwer->isChecked();
}

void ClientServiceHostOfForm::SetServiceMenuMarked(bool marked) {
    form_.WlaczSerwer->setCheckable(true);
    form_.WlaczSerwer->setChecked(marked);
}

void ClientServiceHostOfForm::RestartAllowNewConnection() {
    form_.tmrAllowNewConnection->SetEnabled(false);
    form_.tmrAllowNewConnection->SetEnabled(true);
}

void ClientServiceHostOfForm::WakeIdleHandler() {
    form_.Pbx().RequestIdleWork();
}

std::vector<std::pair<std::string, int>> ClientServiceHostOfForm::PhoneStates() const {
    std::vector<std::pair<std::string, int>> states;
    for (const pbx::PhoneState& row : form_.Pbx().Calls.StanTel) {
        if (row.state == 0)
            break;
        states.emplace_back(row.number, row.state);
    }
    return states;
}

std::optional<std::size_t> ClientServiceHostOfForm::RunCallControl(clients::CallControlRequest request,
                                                                   std::string_view text, int& errorCode) {
    using enum clients::CallControlRequest;
    pbx::PbxLink& link = form_.Pbx();
    switch (request) {
    case Dial:
        return link.WybierzNumer(text, errorCode);
    case CallOrder:
        return link.ZamowRozmowe(text, errorCode);
    case Transfer:
        return link.TransferDzwonka(text, errorCode);
    case Redial:
        return link.Redial(text, errorCode);
    case Hold:
        return link.Hold(text, errorCode);
    case Unhold:
        return link.Unhold(text, errorCode);
    case SpeakerPhone:
        return link.SpeakerPhone(text, errorCode);
    }
    return std::nullopt;
}

std::optional<std::size_t> ClientServiceHostOfForm::RunVoiceBoxRequest(std::string_view text,
                                                                       int& errorCode) {
    return form_.Pbx().VoiceBoxRequest(text, errorCode);
}

std::optional<std::size_t> ClientServiceHostOfForm::RunGroupLoginRequest(std::string_view text,
                                                                         int& errorCode) {
    return form_.Pbx().GroupLoginRequest(text, errorCode);
}

sms::SmsGateway& ClientServiceHostOfForm::Sms() {
    return form_.Sms();
}

std::optional<std::size_t> ClientServiceHostOfForm::RunVoiceMailRequest(std::string_view text,
                                                                        int& errorCode) {
    return form_.Pbx().VoiceMail(text, errorCode);
}

void ClientServiceHostOfForm::SendVoiceMailList(const Klient& client) {
    form_.Pbx().WyslijListeVM(client);
}

const std::vector<sms::S_GSMLINE>& ClientServiceHostOfForm::GsmLineList() const {
    return form_.Sms().GsmLines.lines;
}

std::vector<ContactRow>& ClientServiceHostOfForm::ContactRows() {
    return form_.Admin().ContactRows;
}

std::map<int, std::string>& ClientServiceHostOfForm::ContactGroupRows() {
    return form_.Admin().ContactGroupRows;
}

// Only the row the client's report touched is drawn again.
void ClientServiceHostOfForm::ContactRowChanged(const clients::ContactRowChange& change) {
    ui::VirtualRows& rows = form_.lvKontakty->Rows();
    switch (change.kind) {
    case clients::ContactRowChange::Added:
        rows.RowInserted(int(change.row));
        break;
    case clients::ContactRowChange::Changed:
        rows.RowChanged(int(change.row));
        break;
    case clients::ContactRowChange::Removed:
        rows.RowRemoved(int(change.row));
        break;
    case clients::ContactRowChange::None:
        break;
    }
}

QTcpServer& ClientServiceHostOfForm::CalendarServer() {
    return *form_.CalSocket;
}

std::string ClientServiceHostOfForm::ProgramFolder() const {
    return ProgramDirectory();
}

clients::CalendarSettings ClientServiceHostOfForm::CalendarSettingsInForce() const {
    return {settings_.CalendarServiceEnabled, settings_.PortTCPCalBrowse, settings_.PortTCPCalSend};
}

bool ClientServiceHostOfForm::DatabaseRestoring() const {
    return form_.Admin().Maintenance().Restoring();
}

} // namespace shell
