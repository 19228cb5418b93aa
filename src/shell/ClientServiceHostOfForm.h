// The client service's way to the rest of the program, through the main window.
#pragma once

#include "clients/ClientServiceHost.h"

class TForm1;

namespace shell {

struct ServerSettings;

class ClientServiceHostOfForm : public clients::ClientServiceHost {
  public:
    ClientServiceHostOfForm(TForm1& form, ServerSettings& settings) : form_(form), settings_(settings) {}
    std::string Text(const char* key) const override;
    ui::TListView& ClientListView() override;
    void ClearQueuePane() override;
    void ShowClientCount(int count) override;
    platform::Event* ServiceLock() override;
    ui::TListView& UserList() override;
    void LoadUsers() override;
    clients::ClientLoginSettings LoginSettings() const override;
    platform::Event* QueueLock() override;
    void ShowStatusPanel(int panel, const QString& text) override;
    QTcpServer& ClientServer() override;
    int PortTCP() const override;
    int PortUDP() const override;
    std::string ProgramVersion() const override;
    bool ServiceMenuMarked() const override;
    void SetServiceMenuMarked(bool marked) override;
    void RestartAllowNewConnection() override;
    void WakeIdleHandler() override;
    std::vector<std::pair<std::string, int>> PhoneStates() const override;
    const std::vector<sms::S_GSMLINE>& GsmLineList() const override;
    std::optional<std::size_t> RunCallControl(clients::CallControlRequest request, std::string_view text,
                                              int& errorCode) override;
    std::optional<std::size_t> RunVoiceBoxRequest(std::string_view text, int& errorCode) override;
    std::optional<std::size_t> RunGroupLoginRequest(std::string_view text, int& errorCode) override;
    sms::SmsGateway& Sms() override;
    std::optional<std::size_t> RunVoiceMailRequest(std::string_view text, int& errorCode) override;
    void SendVoiceMailList(const Klient& client) override;
    std::vector<ContactRow>& ContactRows() override;
    std::map<int, std::string>& ContactGroupRows() override;
    void ContactRowChanged(const clients::ContactRowChange& change) override;
    QTcpServer& CalendarServer() override;
    std::string ProgramFolder() const override;
    clients::CalendarSettings CalendarSettingsInForce() const override;
    bool DatabaseRestoring() const override;

  private:
    TForm1& form_;
    ServerSettings& settings_;
};

} // namespace shell
