// What the exchange link needs of the rest of the program.
#pragma once

#include <QString>
#include <string>
#include <vector>

class QTimer;
namespace ui {
class TListView;
}

namespace pbx {

// The settings the call handling reads, as they are in force.
struct CallSettings {
    int pbxType = 2;
    bool usePctiClip = false;
    bool insertIncomingForRingGroup = false;
    std::string miedzy;                // trunk prefix of national numbers
    std::string prefiksMiedzynarodowy; // prefix of international numbers
    std::string redialMacro;
    std::string holdMacro;
    int countryNumberLength = 9; // length of a national number
};

class PbxLinkHost {
  public:
    virtual ~PbxLinkHost() = default;
    // A text of the active language.
    virtual std::string Text(const char* key) const = 0;
    // One panel of the status bar: 2 the link counters, 3 the reconnections,
    // 6 the port and its state.
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
    // The client service's idle work: removing closed connections' records
    // and draining the notification queue.
    virtual void ServeClients() = 0;
    // The timers whose ticks count as idle calls.
    virtual std::vector<QTimer*> IdleTickTimers() = 0;
    virtual CallSettings Calling() const = 0;
    // The console's list of a user's or phone's incoming calls (`HistLV`).
    virtual ui::TListView& HistoryList() = 0;
    // The database is gone: the reconnect timer takes over.
    virtual void StartReconnectTimer() = 0;
};

} // namespace pbx
