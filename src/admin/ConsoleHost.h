// What the administration console needs of the rest of the program, given to
// it at construction.
#pragma once

#include "base/SettingValue.h"
#include "db/DatabaseHost.h"

#include <QDateTime>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ui {
class TListView;
}

namespace admin {

// The main window's lists the console fills.
struct ConsoleLists {
    ui::TListView* UserLV = nullptr;
    ui::TListView* PhoneLV = nullptr;
    ui::TListView* HistLV = nullptr;
    ui::TListView* lvAllUserPhones = nullptr;
    ui::TListView* lvKontakty = nullptr;
};

class ConsoleHost {
  public:
    virtual ~ConsoleHost() = default;
    virtual ConsoleLists Lists() = 0;
    // A text of the main window in the active language.
    virtual std::string Text(const char* key) const = 0;
    // Arms the 60 s reconnect timer.
    virtual void StartReconnectTimer() = 0;
    // Broadcasts one notice to all clients.
    virtual void UdpSend(const std::string& text) = 0;
    // Sends one notice to the client logged in as that user, if any.
    virtual void NotifyUser(const std::string& userId, const std::string& text) = 0;
    // Rebuilds the presence entries: user id and card key of each slot, in
    // slot order.
    virtual void FillUserSlots(const std::vector<std::pair<std::string, std::string>>& entries) = 0;
    // The incoming-call history of the user tab; empty arguments empty it.
    virtual void LoadIncomingHistory(const std::string& column, const std::string& value) = 0;
    // The list of all user phones was read again: with `allBoxes` every
    // voice-mail box is downloaded anew and the clients' lists cleared,
    // otherwise only the boxes already mirrored are downloaded again.
    virtual void UserPhonesReloaded(bool allBoxes) = 0;
    // The value in force of a setting, by its stored name (a password plain).
    // Raises std::out_of_range for a name the settings do not have.
    virtual base::SettingValue Setting(base::SettingsSection section, const std::string& name) const = 0;
    // Puts a setting's value in force and stores it (a password enciphered);
    // false, with the reason logged, when the store could not be written.
    virtual bool StoreSetting(base::SettingsSection section, const std::string& name,
                              const base::SettingValue& value) = 0;
    // The progress window on top, not activated, with this text and a busy
    // bar; called again while shown, it changes the text.
    virtual void ShowProgress(const std::string& text) = 0;
    virtual void HideProgress() = 0;
    // Attaches the main database anew with that connection and checks its
    // whole structure, as for a database never seen before (its file was
    // replaced): 0 on success.
    virtual int ReattachMainDatabase(const db::ConnectionSettings& database) = 0;
    // One row of the incoming-call history.
    virtual void SaveIncomingCall(const std::string& caller, const std::string& extension,
                                  std::uint32_t length, const QDateTime& start) = 0;
};

} // namespace admin
