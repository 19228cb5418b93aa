// What the exchange link needs of the rest of the program.
#pragma once

#include <QString>
#include <string>
#include <vector>

class QTimer;

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
};

} // namespace pbx
