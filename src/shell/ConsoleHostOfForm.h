// The main window as the administration console's host.
#pragma once

#include "admin/ConsoleHost.h"

class TForm1;

namespace shell {

struct ServerSettings;

class ConsoleHostOfForm : public admin::ConsoleHost {
  public:
    ConsoleHostOfForm(TForm1& form, ServerSettings& settings) : form_(form), settings_(settings) {}
    admin::ConsoleLists Lists() override;
    std::string Text(const char* key) const override;
    void StartReconnectTimer() override;
    void UdpSend(const std::string& text) override;
    void NotifyUser(const std::string& userId, const std::string& text) override;
    void FillUserSlots(const std::vector<std::pair<std::string, std::string>>& entries) override;
    void LoadIncomingHistory(const std::string& column, const std::string& value) override;
    void UserPhonesReloaded(bool allBoxes) override;
    void SetAttendanceTimer(bool on) override;
    std::vector<admin::AttendanceSlot> AttendanceSlots() const override;
    void ApplyAttendance(const std::vector<admin::AttendanceSlot>& entries) override;
    base::SettingValue Setting(base::SettingsSection section, const std::string& name) const override;
    bool StoreSetting(base::SettingsSection section, const std::string& name,
                      const base::SettingValue& value) override;
    void PutSettingInForce(base::SettingsSection section, const std::string& name,
                           const base::SettingValue& value) override;
    void RunUnderProgress(const std::string& caption, const std::string& text,
                          const std::function<int()>& step) override;
    void RepaintContacts() override;
    std::vector<std::string> DataFolders() const override;
    void SortContacts() override;
    int StoredLanguage() override;
    void StoreLanguage(int index) override;
    void RestartPbxLink() override;
    void ApplySmsSettings() override;
    void ClearSmsQueues() override;
    void WyslijListeGSMWszystkim() override;
    bool CrmSocketActive() override;
    void SetCrmSocketActive(bool on) override;
    void RetargetUdpSender() override;
    void ApplyCalendarSettings(bool enabled, int sendPort) override;
    void SetCalendarBrowsePort(int port) override;
    void ZapiszKonfiguracjeKalendarza(const std::string& sendPort) override;
    bool MainDatabaseAttached() override;
    void DetachMainDatabase() override;
    int OpenMainDatabase(StructureCheck& structure) override;
    void UstawKomunikatLP() override;
    void ReloadFromDatabase() override;
    void ShowSmsPage(bool on) override;
    void SetAdvancedDiagnostics(bool on) override;
    void ShowProgress(const std::string& text) override;
    void HideProgress() override;
    int ReattachMainDatabase(const db::ConnectionSettings& database, StructureCheck& structure,
                             QWidget* boxOwner) override;
    void RestoreOver() override;
    void SaveIncomingCall(const std::string& caller, const std::string& extension, std::uint32_t length,
                          const QDateTime& start) override;
    // The reload asked for while the database was away, once it is back.
    void ReloadIfPending();

  private:
    // Attaches the main database as `attach` does, the structure check
    // telling `structure` what it did.
    int attachReporting(StructureCheck& structure, const std::function<int()>& attach);
    // The main connection is there, ready, and held by no restore.
    bool listsReadable() const;
    TForm1& form_;
    ServerSettings& settings_;
    bool reloadPending_ = false;
};

} // namespace shell
