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

pbx::CallSettings PbxLinkHostOfForm::Settings() const {
    pbx::CallSettings s;
    s.pbxType = form_.PbxType;
    s.usePctiClip = form_.UsePctiClip;
    s.insertIncomingForRingGroup = form_.InsertIncomingFroRingGroup;
    s.useVoiceMailPcti = form_.UseVoiceMailPcti;
    s.useSms = form_.Sms().SmsSettings.UseSms;
    s.miedzy = form_.Miedzy;
    s.prefiksMiedzynarodowy = form_.PrefiksMiedzynarodowy;
    s.redialMacro = ::PabxMacros.Redial;
    s.holdMacro = ::PabxMacros.Hold;
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

} // namespace shell
