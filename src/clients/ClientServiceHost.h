// What the client service needs of the rest of the program.
#pragma once

#include "clients/ContactSync.h"
#include "clients/SharedCalendars.h"
#include "db/QueryRows.h"
#include "sms/SmsRecords.h"

#include <QString>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class QTcpServer;
class Klient;
namespace platform {
class Event;
}
namespace ui {
class TListView;
}
namespace sms {
class SmsGateway;
}

namespace clients {

// Columns of the console's user list (their captions are translated, so
// they are found by place); the description goes to the last one, "Status".
enum UserListColumn {
    UserColumnId = 0,
    UserColumnSurname = 1,
    UserColumnFirstName = 2,
    UserColumnLogin = 3,
    UserColumnPassword = 4,
    UserColumnStatus = 9,
};

// The settings the log-in reply and the broadcasts carry.
struct ClientLoginSettings {
    std::string databaseHost;     // IPFBase
    std::string databaseFile;     // NameFB
    std::string databaseUser;     // UserFB
    std::string databasePassword; // PasswordFB, plain
    std::string broadcast;
    int portUdp = 0;
    bool useSms = false;
    bool useVoiceMailPcti = false;
    int pbxType = 0;
};

// The call-control requests, which the exchange link carries out.
enum class CallControlRequest { Dial, CallOrder, Transfer, Redial, Hold, Unhold, SpeakerPhone };

class ClientServiceHost {
  public:
    virtual ~ClientServiceHost() = default;
    // The GSM lines the exchange reported, for a client that logs in.
    virtual const std::vector<sms::S_GSMLINE>& GsmLineList() const = 0;
    // A text of the active language.
    virtual std::string Text(const char* key) const = 0;
    // The console's list of clients, one row per record.
    virtual ui::TListView& ClientListView() = 0;
    // Empties the log pane of the notification queue's lines.
    virtual void ClearQueuePane() = 0;
    // Shows the number of client records on the status bar.
    virtual void ShowClientCount(int count) = 0;
    // The lock of the client handling (`event_obslugi`), taken before `event_bufor`.
    virtual platform::Event* ServiceLock() = 0;
    // The console's user list (columns: UserListColumn); its tag is 2 once
    // loaded.
    virtual ui::TListView& UserList() = 0;
    // Reloads the user list (and the presence table) from the database.
    virtual void LoadUsers() = 0;
    virtual ClientLoginSettings LoginSettings() const = 0;
    // The lock of the notification queue (`event_kolejka`), taken after `event_obslugi`.
    virtual platform::Event* QueueLock() = 0;
    // One panel of the status bar: 0 the service, 1 the port, 5 the queue.
    virtual void ShowStatusPanel(int panel, const QString& text) = 0;
    // The client server socket (`serwer`).
    virtual QTcpServer& ClientServer() = 0;
    virtual int PortTCP() const = 0;
    virtual int PortUDP() const = 0;
    virtual std::string ProgramVersion() const = 0;
    // The check mark of the service's menu item.
    virtual bool ServiceMenuMarked() const = 0;
    virtual void SetServiceMenuMarked(bool marked) = 0;
    // A log-in reply was acknowledged: the accept limit waits its full time again.
    virtual void RestartAllowNewConnection() = 0;
    // The idle handler has work of the service's: removing records of
    // closed connections, draining the queue. It runs soon, not at once.
    virtual void WakeIdleHandler() = 0;
    // The extensions in use, in the order of the exchange link's phone-state
    // table: number and state (1 busy, 2 ringing).
    virtual std::vector<std::pair<std::string, int>> PhoneStates() const = 0;
    // Carries out a call-control request (`text`: what follows its keyword
    // and "&"): where the request ends, or nothing with `errorCode` set.
    virtual std::optional<std::size_t> RunCallControl(CallControlRequest request, std::string_view text,
                                                      int& errorCode) = 0;
    // The voice-box and group log-in requests (`text`: what follows "VB&" /
    // "GWW&"), which the exchange link carries out: where the request ends,
    // or nothing with `errorCode` set.
    virtual std::optional<std::size_t> RunVoiceBoxRequest(std::string_view text, int& errorCode) = 0;
    virtual std::optional<std::size_t> RunGroupLoginRequest(std::string_view text, int& errorCode) = 0;
    // The SMS gateway, which takes the clients' SMS requests.
    virtual sms::SmsGateway& Sms() = 0;
    // A "VM" request of `CurrentKlient` (`text`: what follows "!VM&"): where
    // it ends, or nothing with `errorCode` set.
    virtual std::optional<std::size_t> RunVoiceMailRequest(std::string_view text, int& errorCode) = 0;
    // The client's whole voice-mail list, at its log-in.
    virtual void SendVoiceMailList(const Klient& client) = 0;
    // The server's copy of the shared contact base, and what a client's
    // report changed in it: the contact list redraws that row alone.
    virtual std::vector<ContactRow>& ContactRows() = 0;
    virtual std::map<int, std::string>& ContactGroupRows() = 0;
    virtual void ContactRowChanged(const ContactRowChange& change) = 0;
    // The calendar socket (`CalSocket`), the folder of the program file and
    // the calendar settings in force.
    virtual QTcpServer& CalendarServer() = 0;
    virtual std::string ProgramFolder() const = 0;
    virtual CalendarSettings CalendarSettingsInForce() const = 0;
    // True while a restore replaces the main database: the log-ins wait
    // for its end (told through ClientService::AnswerLoginsHeldForRestore).
    virtual bool DatabaseRestoring() const = 0;
};

} // namespace clients
