#include "shell/PbxLinkHostOfForm.h"

#include "shell/MainForm.h"
#include "shell/SettingsValues.h"
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
    return form_.PbxType;
}

int PbxLinkHostOfForm::PbxPort() const {
    return form_.PbxPort;
}

std::string PbxLinkHostOfForm::ExchangeAddress() const {
    return form_.TCPCentr;
}

int PbxLinkHostOfForm::ExchangeTcpPort() const {
    return form_.PortTCPCent;
}

bool PbxLinkHostOfForm::AutoReconnect() const {
    return form_.AutomPrzyw;
}

void PbxLinkHostOfForm::DisableVoiceMailPcti() {
    form_.UseVoiceMailPcti = false;
}

void PbxLinkHostOfForm::ServeClients() {
    clients::ClientService& service = form_.Clients();
    service.RemoveDisconnectedClients();
    if (service.ile_w_kolejce() != 0)
        service.ObslugaKolejki();
}

std::vector<QTimer*> PbxLinkHostOfForm::IdleTickTimers() {
    return {form_.TimerUpdateInfo, form_.TimerUpdateKolejka, form_.tmrIdle};
}

pbx::CallSettings PbxLinkHostOfForm::Calling() const {
    pbx::CallSettings settings;
    settings.pbxType = form_.PbxType;
    settings.usePctiClip = form_.UsePctiClip;
    settings.insertIncomingForRingGroup = form_.InsertIncomingFroRingGroup;
    settings.miedzy = form_.Miedzy;
    settings.prefiksMiedzynarodowy = form_.PrefiksMiedzynarodowy;
    settings.redialMacro = ::PabxMacros.Redial;
    settings.holdMacro = ::PabxMacros.Hold;
    settings.countryNumberLength = form_.Sms().SmsSettings.CountryNumberLength;
    return settings;
}

ui::TListView& PbxLinkHostOfForm::HistoryList() {
    return *form_.HistLV;
}

void PbxLinkHostOfForm::StartReconnectTimer() {
    form_.trmReconnect->SetEnabled(true);
}

} // namespace shell
