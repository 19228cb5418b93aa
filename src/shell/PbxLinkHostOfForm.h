// The exchange link's way to the rest of the program, through the main window.
#pragma once

#include "pbx/PbxLinkHost.h"

class TForm1;

namespace shell {

struct ServerSettings;

class PbxLinkHostOfForm : public pbx::PbxLinkHost {
  public:
    PbxLinkHostOfForm(TForm1& form, ServerSettings& settings) : form_(form), settings_(settings) {}
    std::string Text(const char* key) const override;
    void ShowStatusPanel(int panel, const QString& text) override;
    bool LinkMenuChecked() const override;
    void SetLinkMenuChecked(bool checked) override;
    void EnableLinkMenu() override;
    int PbxType() const override;
    int PbxPort() const override;
    std::string ExchangeAddress() const override;
    int ExchangeTcpPort() const override;
    bool AutoReconnect() const override;
    void DisableVoiceMailPcti() override;
    void ServeClients() override;
    void NoticeLinkState(bool linkDown) override;
    void CheckClients() override;
    std::vector<QTimer*> IdleTickTimers() override;
    pbx::CallSettings Settings() const override;
    clients::ClientService& Clients() override;
    const ui::TListView& UserPhones() const override;
    ui::TListBox& PhoneStateList() override;
    bool PhoneStatesShowing() const override;
    ui::TListView& HistoryList() override;
    void StartReconnectTimer() override;
    sms::SmsGateway& Sms() override;
    QTcpServer& CrmServer() override;
    int CrmPort() const override;
    int CrmConnectionLimit() const override;

    void GsmLineRecord(const std::string& record) override;
    QTimer& PollingTimer() override;

  private:
    TForm1& form_;
    ServerSettings& settings_;
};

} // namespace shell
