// What the administration console needs of the rest of the program, given to
// it at construction.
#pragma once

#include "base/SettingValue.h"
#include "db/DatabaseHost.h"

#include <QDateTime>
#include <cstdint>
#include <functional>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class QWidget;

namespace ui {
class TListView;
class TVirtualListView;
} // namespace ui

namespace admin {

// The main window's lists the console fills.
struct ConsoleLists {
    ui::TListView* UserLV = nullptr;
    ui::TListView* PhoneLV = nullptr;
    ui::TListView* HistLV = nullptr;
    ui::TListView* lvAllUserPhones = nullptr;
    ui::TVirtualListView* lvKontakty = nullptr;
    ui::TListView* ListView1 = nullptr; // the database browser
};

// The attendance program's database and whether the link is on.
struct AttendanceSettings {
    bool use = false;
    std::string host;
    std::string path;
    std::string user;
    std::string password;
};

// A presence slot as the attendance poll sees it.
struct AttendanceSlot {
    int slot = 0;
    std::string userId;
    std::string card;
    std::uint32_t state = 0;
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

    // Switches the attendance poll's timer.
    virtual void SetAttendanceTimer(bool on) = 0;
    // The presence slots that hold a user, in slot order.
    virtual std::vector<AttendanceSlot> AttendanceSlots() const = 0;
    // Sets every slot's attendance state: a given one where the slot still
    // holds that user and card, 0 elsewhere.
    virtual void ApplyAttendance(const std::vector<AttendanceSlot>& entries) = 0;
    // The value in force of a setting, by its stored name (a password plain).
    // Raises std::out_of_range for a name the settings do not have.
    virtual base::SettingValue Setting(base::SettingsSection section, const std::string& name) const = 0;
    // Puts a setting's value in force and stores it (a password enciphered);
    // false, with the reason logged, when the store could not be written.
    virtual bool StoreSetting(base::SettingsSection section, const std::string& name,
                              const base::SettingValue& value) = 0;
    // Puts a setting's value in force and leaves the stored one as it is.
    virtual void PutSettingInForce(base::SettingsSection section, const std::string& name,
                                   const base::SettingValue& value) = 0;
    // Runs `step` from the event loop under the modal progress window with
    // this caption and text, until it returns a negative number; otherwise
    // it returns the bar's new position (0-100).
    virtual void RunUnderProgress(const std::string& caption, const std::string& text,
                                  const std::function<int()>& step) = 0;
    // The folders the program's own files may lie in: beside the program,
    // then the data folder.
    virtual std::vector<std::string> DataFolders() const = 0;
    // The contact list shows the console's contact rows anew.
    virtual void RepaintContacts() = 0;
    // The contact rows are put in the list's current sort order and shown.
    virtual void SortContacts() = 0;

    // The language stored for the next start, which may differ from the one
    // in force; storing it leaves the one in force as it is.
    virtual int StoredLanguage() = 0;
    virtual void StoreLanguage(int index) = 0;

    // ---- the services the settings dialog applies its values to ----
    // The exchange link's settings in force changed: it is stopped. With its
    // reconnection on it comes back by itself unless it is switched off;
    // without, it is started again at once.
    virtual void RestartPbxLink() = 0;
    // Hands the SMS settings in force to the SMS engine.
    virtual void ApplySmsSettings() = 0;
    // Empties the SMS engine's send queues.
    virtual void ClearSmsQueues() = 0;
    // Sends the GSM-line list to every client.
    virtual void WyslijListeGSMWszystkim() = 0;
    // The CRM socket: its port is the setting "PortTCP_CRM". Active also
    // while a port it could not open is being tried again.
    virtual bool CrmSocketActive() = 0;
    virtual void SetCrmSocketActive(bool on) = 0;
    // The UDP sender, when there is one, takes the port and broadcast
    // address in force.
    virtual void RetargetUdpSender() = 0;
    // The calendar service and its settings file follow the entered values
    // (the settings in force are those before them); then the browse socket
    // takes its port.
    virtual void ApplyCalendarSettings(bool enabled, int sendPort) = 0;
    virtual void SetCalendarBrowsePort(int port) = 0;
    virtual void ZapiszKonfiguracjeKalendarza(const std::string& sendPort) = 0;
    // The main database connection.
    virtual bool MainDatabaseAttached() = 0;
    virtual void DetachMainDatabase() = 0;
    // What the structure check of a newly opened database did.
    enum class StructureCheck { NothingCreated, Created, CreateFailed };
    // A check that created tables, by its error code.
    static StructureCheck StructureCheckOf(int error) {
        return error == 0 ? StructureCheck::Created : StructureCheck::CreateFailed;
    }
    // Opens the main database with the settings in force, failures shown,
    // and checks its structure, telling the caller what the check did in
    // place of saying it; 0 when it is open.
    virtual int OpenMainDatabase(StructureCheck& structure) = 0;
    // Rebuilds the log-in replies that carry the database settings.
    virtual void UstawKomunikatLP() = 0;
    // Users, contacts and routing rules read again from the main database,
    // and the page shown refreshed; while the database is away they are
    // read once it is attached again.
    virtual void ReloadFromDatabase() = 0;
    // The main window's SMS page, which only exchanges with GSM lines have.
    virtual void ShowSmsPage(bool on) = 0;
    // The diagnostics page and the information log on or off.
    virtual void SetAdvancedDiagnostics(bool on) = 0;
    // The progress window on top, not activated, with this text and a busy
    // bar, modal over the program's windows; the main window's pages cannot
    // be used until it is hidden. Called again while shown, it changes the text.
    virtual void ShowProgress(const std::string& text) = 0;
    virtual void HideProgress() = 0;
    // Attaches the main database anew with that connection, failures shown
    // in boxes owned by `boxOwner` when given, and checks its whole
    // structure, as for a database never seen before (its file was
    // replaced), telling the caller what the check did: 0 on success.
    virtual int ReattachMainDatabase(const db::ConnectionSettings& database, StructureCheck& structure,
                                     QWidget* boxOwner) = 0;
    // A restore has ended, however: what waited for its end (the desks'
    // log-ins) is served.
    virtual void RestoreOver() = 0;
    // One row of the incoming-call history.
    virtual void SaveIncomingCall(const std::string& caller, const std::string& extension,
                                  std::uint32_t length, const QDateTime& start) = 0;
};

} // namespace admin
