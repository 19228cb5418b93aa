// What the exchange link needs of the rest of the program.
#pragma once

#include "pbx/CallSettings.h"

#include <QString>
#include <string>
#include <vector>

class QTcpServer;
class QTimer;
namespace clients {
class ClientService;
}
namespace sms {
class SmsGateway;
}
namespace ui {
class TListBox;
class TListView;
} // namespace ui

namespace pbx {

class PbxLinkHost {
  public:
    virtual ~PbxLinkHost() = default;
    // A text of the active language.
    virtual std::string Text(const char* key) const = 0;
    // One panel of the status bar: 0 the client service's step, 2 the link
    // counters, 3 the reconnections, 6 the port and its state.
    virtual void ShowStatusPanel(int panel, const QString& text) = 0;
    // The menu item that switches the link on and off: its check mark is the
    // wish for a link.
    virtual bool LinkMenuChecked() const = 0;
    virtual void SetLinkMenuChecked(bool checked) = 0;
    virtual void EnableLinkMenu() = 0;
    // The exchange's settings.
    virtual int PbxType() const = 0;
    virtual int PbxPort() const = 0;
    virtual std::string ExchangeAddress() const = 0;
    virtual int ExchangeTcpPort() const = 0;
    // Whether a lost link is opened again by itself.
    virtual bool AutoReconnect() const = 0;
    // The exchange's voice mail keeps failing: it is no longer used.
    virtual void DisableVoiceMailPcti() = 0;
    // The client service's idle work: the database and service panels,
    // removing closed connections' records and draining the notification
    // queue.
    virtual void ServeClients() = 0;
    // Tells the clients whether the exchange can be reached; `linkDown`: the
    // link keeps failing its checks.
    virtual void NoticeLinkState(bool linkDown) = 0;
    // The client check: closes silent connections and broadcasts presence.
    virtual void CheckClients() = 0;
    // The timers whose ticks count as idle calls.
    virtual std::vector<QTimer*> IdleTickTimers() = 0;
    // What the call handling reads of the settings, as it stands now.
    virtual CallSettings Settings() const = 0;
    // The client service: notices to one client and the broadcasts.
    virtual clients::ClientService& Clients() = 0;
    // The console's list of user phones, which ties an extension to its user.
    virtual const ui::TListView& UserPhones() const = 0;
    // The phone-activity list, and whether its page is showing.
    virtual ui::TListBox& PhoneStateList() = 0;
    virtual bool PhoneStatesShowing() const = 0;
    // The console's list of a user's or phone's incoming calls (`HistLV`).
    virtual ui::TListView& HistoryList() = 0;
    // The database is gone: the reconnect timer takes over.
    virtual void StartReconnectTimer() = 0;
    // The SMS gateway, which takes the exchange's SMS records.
    virtual sms::SmsGateway& Sms() = 0;
    // The CRM console socket, its port and how many programs it takes.
    virtual QTcpServer& CrmServer() = 0;
    virtual int CrmPort() const = 0;
    virtual int CrmConnectionLimit() const = 0;

    // A "GSM" record, for the GSM-line table.
    virtual void GsmLineRecord(const std::string& record) = 0;
    // The exchange polling timer (`tmrPabxSynchronize`).
    virtual QTimer& PollingTimer() = 0;
};

} // namespace pbx
