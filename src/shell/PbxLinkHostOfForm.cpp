#include "shell/PbxLinkHostOfForm.h"

#include "db/MainDatabase.h"
#include "db/SessionDB.h"
#include "shell/MainForm.h"
#include "sms/SmsGateway.h"

namespace shell {

std::string PbxLinkHostOfForm::Text(const char* key) const {
    return form_.Text(key);
}

void PbxLinkHostOfForm::ShowStatusPanel(int panel, const QString& text) {
    form_.StatusBar->Panels()[panel]->SetText(text);
}

bool PbxLinkHostOfForm::LinkMenuChecked() const {
    return form_.PodlaczCentrale->isChecked();
}

void PbxLinkHostOfForm::SetLinkMenuChecked(bool checked) {
    form_.PodlaczCentrale->setChecked(checked);
}

void PbxLinkHostOfForm::EnableLinkMenu() {
    form_.PodlaczCentrale->setEnabled(true);
}

int PbxLinkHostOfForm::PbxType() const {
    return settings_.PbxType;
}

int PbxLinkHostOfForm::PbxPort() const {
    return settings_.PbxPort;
}

std::string PbxLinkHostOfForm::ExchangeAddress() const {
    return settings_.TCPCentr;
}

int PbxLinkHostOfForm::ExchangeTcpPort() const {
    return settings_.PortTCPCent;
}

bool PbxLinkHostOfForm::AutoReconnect() const {
    return settings_.AutomPrzyw;
}

void PbxLinkHostOfForm::DisableVoiceMailPcti() {
    settings_.UseVoiceMailPcti = false;
}

void PbxLinkHostOfForm::ServeClients() {
    const bool databaseOk = MainDbHandleExists() && form_.Database().MainDbState == 0;
    ShowStatusPanel(7, QString::fromStdString(Text(databaseOk ? "IDS_170" : "IDS_171")));
    clients::ClientService& service = form_.Clients();
    // The panel names the step only when it has something to do.
    if (service.HasDisconnectedClients()) {
        ShowStatusPanel(0, QString::fromStdString(Text("IDS_172")));
        service.RemoveDisconnectedClients();
    }
    if (service.ile_w_kolejce() != 0) {
        ShowStatusPanel(0, QString::fromStdString(Text("IDS_173")));
        service.ObslugaKolejki();
    }
}

void PbxLinkHostOfForm::NoticeLinkState(bool linkDown) {
    form_.Clients().PowiadomKlientowPolaczenieCentrali(linkDown && settings_.PowiadORozlacz ? "1" : "0");
}

void PbxLinkHostOfForm::CheckClients() {
    // The check can take a while with many clients: the panel says so first.
    form_.StatusBar->repaint();
    form_.Clients().InfoOKlientach();
}

std::vector<QTimer*> PbxLinkHostOfForm::IdleTickTimers() {
    return {form_.TimerUpdateInfo, form_.TimerUpdateKolejka, form_.tmrZamowienia};
}

pbx::CallSettings PbxLinkHostOfForm::Settings() const {
    pbx::CallSettings s;
    s.pbxType = settings_.PbxType;
    s.usePctiClip = settings_.UsePctiClip;
    s.insertIncomingForRingGroup = settings_.InsertIncomingFroRingGroup;
    s.useVoiceMailPcti = settings_.UseVoiceMailPcti;
    s.useSms = form_.Sms().SmsSettings.UseSms;
    s.miedzy = settings_.Miedzy;
    s.prefiksMiedzynarodowy = settings_.PrefiksMiedzynarodowy;
    s.redialMacro = settings_.PabxMacros.Redial;
    s.holdMacro = settings_.PabxMacros.Hold;
    s.countryNumberLength = form_.Sms().SmsSettings.CountryNumberLength;
    return s;
}

clients::ClientService& PbxLinkHostOfForm::Clients() {
    return form_.Clients();
}

const ui::TListView& PbxLinkHostOfForm::UserPhones() const {
    return *form_.lvAllUserPhones;
}

ui::TListBox& PbxLinkHostOfForm::PhoneStateList() {
    return *form_.ListBox1;
}

bool PbxLinkHostOfForm::PhoneStatesShowing() const {
    return form_.TabWiadomosci->isVisible();
}

ui::TListView& PbxLinkHostOfForm::HistoryList() {
    return *form_.HistLV;
}

void PbxLinkHostOfForm::StartReconnectTimer() {
    form_.trmReconnect->SetEnabled(true);
}

sms::SmsGateway& PbxLinkHostOfForm::Sms() {
    return form_.Sms();
}

QTcpServer& PbxLinkHostOfForm::CrmServer() {
    return *form_.CRMsocket;
}

int PbxLinkHostOfForm::CrmPort() const {
    return settings_.PortTCP_CRM;
}

int PbxLinkHostOfForm::CrmConnectionLimit() const {
    return settings_.MaxPolaczenCRM;
}

void PbxLinkHostOfForm::GsmLineRecord(const std::string& record) {
    form_.Sms().GsmRecord(record);
}

QTimer& PbxLinkHostOfForm::PollingTimer() {
    return *form_.tmrPabxSynchronize;
}

} // namespace shell
