// The exchange link as the rest of the program sees it: switching the link
// thread on and off, queuing commands for the exchange, draining the lines it
// sent, the table of active calls and the CRM console's slots.
//
// Holds: Podlacz_centraleClick, ConnectPbx, RozlaczCentrale, RestartForNewSettings, WaitForLinkEnd,
// WatekTerminated, ShowLinkState, ObslugaCentrali, InstallIdleHandler,
// DrainReceivedLines, WyslijNumer, WyslijLinie, PabxQueueNoLock,
// ClearCallTable, FixStaleCalls (tmrFixPctiTimer), CrmSocketSetActive, FreeReceivedLines, Calls,
// WybierzNumer, ZamowRozmowe, TransferDzwonka, Redial, Hold, Unhold,
// SpeakerPhone, SaveIncomingCall, SaveOutgoingCall, LoadIncomingHistory,
// VoiceBoxRequest, GroupLoginRequest, VoiceBoxUnit, GroupLogIn,
// CrmSlots, Crm (the CRM console socket's handlers), Watek, PbxLinkErrorCount, PbxReconnectCount,
// LastPbxLine, ErrorCount1, IdleCalls, LinkDownSinceMs, LastClientCheck, PbxSeparator,
// podn_telefonu, PCTI_dzwoni_miasto, dzw_telefon, odl_telefonu, OnHookC13,
// dzwonienie_miejskie, dzwonienie_wew, ShowPhoneStates,
// btnShowActiveCallsClick, TimerUsunPolaczeniaTimer; and in `Shared()`:
// ReceivedLines, ReceivedBytes, HandledBytes, QueuedBytes, SentBytes,
// LinkState, CommandInFlight, PbxReconnectWanted.
// Voice mail: VoiceMailBoxes, VoiceMail, WyslijListeVM, WyslijVMDodaj,
// WyslijVMZmien, WyslijVMUsun, WyslijSkrzynkiVMWszystkim,
// miVoiceMailDumpClick, miSynchronizeVboxexClick; the polling timer:
// tmrPabxSynchronizeTimer (PabxSynchronizeTick).
#pragma once

#include "pbx/CallTable.h"
#include "pbx/LinkShared.h"
#include "pbx/LinkThread.h"
#include "pbx/PbxLinkHost.h"
#include "pbx/ReceivedLines.h"
#include "pbx/VoiceBox.h"
#include "pbx/VoiceMail.h"

#include <QDateTime>
#include <QObject>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class Klient;

namespace pbx {

class CrmConsole;

// One slot of the CRM console socket.
struct CrmSlot {
    int Socket = -1;
    int Stage = 0;
};

// One running link thread with the object through which it reports; the
// thread is joined before its host goes.
struct PbxLinkRun {
    std::uint64_t generation = 0;
    int pbxPort = 0;
    std::unique_ptr<LinkThreadHost> host;
    std::unique_ptr<TWatek> thread;
    ~PbxLinkRun() { thread.reset(); }
};

// Lives on the GUI thread; the link thread reaches it only through posted calls.
class PbxLink : public QObject {
  public:
    static constexpr int CrmSlotCount = 16;

    explicit PbxLink(PbxLinkHost& host);
    ~PbxLink() override;

    // The menu item's work: the link goes down when it was wished for, else up.
    void Podlacz_centraleClick();
    // (Re)starts the link: the old thread is stopped and joined first.
    void ConnectPbx();
    // Asks the link thread to end and lets the GUI run for up to a second.
    void RozlaczCentrale();
    // Its address, port or type changed: the link is stopped. One that
    // reconnects by itself comes back through its own reconnection (a link
    // switched off stays off); one that does not is started again at once.
    void RestartForNewSettings();
    // Joins the link thread, waiting at most `boundMs` while events are
    // processed; true when it ended.
    bool WaitForLinkEnd(int boundMs);
    // The link thread's end, on the GUI thread.
    void WatekTerminated(std::uint64_t generation);
    // The administrator's test line: handed to the running link thread as a
    // line the exchange sent (UTF-8 text); nothing without a thread.
    void InjectTestLine(const std::string& text);
    void ShowLinkState(const LinkStatus& status);
    // The idle handler's share.
    void ObslugaCentrali();
    // Hangs the idle handler on the form's idle timers and the dispatcher on
    // the link thread's wake.
    void InstallIdleHandler();
    // Runs the idle handler soon (once for any number of requests before it
    // runs); GUI thread.
    void RequestIdleWork();
    void RemoveDispatcherWake();
    // Dispatches the oldest slice of the received lines; while more wait it
    // wakes itself again, so the event loop runs between slices.
    void DrainReceivedLines();
    // Queues a command of `CurrentKlient` (the caller's text changes: for
    // type 5 every ',' becomes 'f'). False when it is refused: the client
    // has `ClientCommandLimit` commands waiting already.
    bool WyslijNumer(std::string& command, int timeToLiveMs = 0);
    // The most commands one client may have waiting for the exchange: a
    // client that asks faster than the exchange takes is refused, not queued.
    static constexpr std::size_t ClientCommandLimit = 8;
    // Queues a line of the server's own; `count` may include the text's NUL.
    void WyslijLinie(const char* line, std::size_t count, int timeToLiveMs);
    void WyslijLinie(const std::string& line, int timeToLiveMs) {
        WyslijLinie(line.c_str(), line.size() + 1, timeToLiveMs);
    }
    // As WyslijLinie, for code that already holds `event_bufor`.
    void PabxQueueNoLock(const char* line, std::size_t count, int timeToLiveMs);
    void ClearCallTable();
    // Frees the records of calls that never got a number B nor a transfer
    // and are older than 900 s; the maintenance timer's sweep.
    void FixStaleCalls();
    // Opens or closes the CRM console socket; while it is open the exchange's
    // lines are copied to its programs.
    void CrmSocketSetActive(bool on);
    // The copy of the exchange's lines runs exactly while the socket listens,
    // also once a retry of its port has opened it.
    void FollowCrmSocket();
    CrmConsole& Crm();
    // Queues a line of the server's own as the bytes stand (the CRM
    // programs' lines, which are already in the wire code page).
    void WyslijLinieBytes(std::string_view line, int timeToLiveMs);
    // Commands waiting in the server's chain.
    std::size_t ServerChainLength();
    // Frees the received exchange lines still waiting for the dispatcher.
    void FreeReceivedLines();

    // ---- call events: each handler gets the record's text after its
    // keyword and blank ----
    void podn_telefonu(std::string_view text);       // C01, off-hook
    void PCTI_dzwoni_miasto(std::string_view text);  // C11, an external call arrives
    void dzw_telefon(std::string_view text);         // C10, an extension rings
    void odl_telefonu(std::string_view text);        // C02, on-hook
    void OnHookC13(std::string_view text);           // C13, the external line is released
    void dzwonienie_miejskie(std::string_view text); // DM, external ringing with the caller
    void dzwonienie_wew(std::string_view text);      // DW, internal ringing
    // Refills the phone-activity list from `StanTel`.
    void ShowPhoneStates();
    // Writes the active calls to the log.
    void btnShowActiveCallsClick();
    // Frees the records of calls ended more than 9 s ago.
    void TimerUsunPolaczeniaTimer();
    // The transfer and pause character of the exchange's dialect.
    char PbxSeparator() const;

    // Set while the CRM console socket is active: gets every exchange line
    // but the modem's words, for the CRM programs.
    std::function<void(const std::string&)> CrmCopy;
    // ---- call control: each gets a client request's text after its
    // keyword and "&" (wire bytes) and gives where the request ends, or
    // nothing with `errorCode` set ----
    using RequestEnd = std::optional<std::size_t>;
    RequestEnd WybierzNumer(std::string_view text, int& errorCode);
    RequestEnd ZamowRozmowe(std::string_view text, int& errorCode);
    RequestEnd TransferDzwonka(std::string_view text, int& errorCode);
    RequestEnd Redial(std::string_view text, int& errorCode);
    RequestEnd Hold(std::string_view text, int& errorCode);
    RequestEnd Unhold(std::string_view text, int& errorCode);
    RequestEnd SpeakerPhone(std::string_view text, int& errorCode);

    // ---- voice box and group log-in: a client's request after "VB&" /
    // "GWW&" (wire bytes, to its CR) ----
    RequestEnd VoiceBoxRequest(std::string_view text, int& errorCode);
    RequestEnd GroupLoginRequest(std::string_view text, int& errorCode);
    VoiceBox VoiceBoxUnit;
    GWW GroupLogIn;

    // ---- call history ----
    // One incoming row: `b` had the call from `a`.
    void SaveIncomingCall(const std::string& a, const std::string& b, std::uint32_t length,
                          const QDateTime& start);
    // One outgoing row: `a` called `b` (stored without its dial prefix).
    void SaveOutgoingCall(const std::string& a, const std::string& b, std::uint32_t length,
                          const QDateTime& start);
    // Fills the console's history list with the last 30 incoming calls
    // whose `column` holds `value`.
    void LoadIncomingHistory(const std::string& column, const std::string& value);

    // ---- voice mail and the polling timer ----
    // One tick of the polling timer: the GSM lines, the stored messages, the
    // voice-mail download, then the SMS send step; the first that asks ends it.
    void PabxSynchronizeTick();
    // A client's "VM" request (text after "!VM&", wire bytes), from
    // `CurrentKlient`: where it ends, or nothing with `errorCode` set.
    RequestEnd VoiceMail(std::string_view text, int& errorCode);
    // The client's whole list: a clear, then every message of its phones' boxes.
    void WyslijListeVM(const Klient& client);
    // One change notice to one client.
    void WyslijVMDodaj(const VMmessage& message, const std::string& box, const Klient& client);
    void WyslijVMZmien(const VMmessage& message, const Klient& client);
    void WyslijVMUsun(std::int32_t iId, const std::string& box, const Klient& client);
    // Empties the mirror, queues every user phone's box and clears the
    // clients' lists.
    void WyslijSkrzynkiVMWszystkim();
    // The phone list was read again: the boxes already mirrored are
    // downloaded anew.
    void RequeueVoiceMailBoxes();
    void miVoiceMailDumpClick();
    void miSynchronizeVboxexClick();
    ::pbx::VoiceMail VoiceMailBoxes;

    // The received lines, their counters, the link state and the command in
    // flight, shared with the link thread.
    LinkShared& Shared() { return shared_; }

  private:
    // Declared before `Watek`: the link thread uses it until it is joined.
    LinkShared shared_;

  public:
    // The active calls and the phone states.
    CallTable Calls;
    CrmSlot CrmSlots[CrmSlotCount];
    std::unique_ptr<PbxLinkRun> Watek;
    std::atomic<int> PbxLinkErrorCount{0};
    int PbxReconnectCount = 0;
    // The last server line queued behind others.
    std::string LastPbxLine;
    // "ERROR 1" answers to voice-mail commands since start.
    int ErrorCount1 = 0;
    // Idle calls counted on the timers' ticks; every 100th looks at the link state.
    std::uint32_t IdleCalls = 0;
    // Start of the current period without a link (link clock, ms); 0 = none.
    std::int64_t LinkDownSinceMs = 0;
    // Wall-clock second of the last client check; 0 = none yet.
    std::int64_t LastClientCheck = 0;

  private:
    class RunHost;

    void handleSlice();
    BuforChain takeReceivedBatch();
    bool receivedLinesWait();
    void handleBatch(const BuforChain& lines);
    void handleExchangeLine(const std::string& line);
    // Handles the record at the start of `rest`: false when the line ends
    // there, else true with `step` set to how far the scan moves on.
    bool dispatchRecord(std::string_view rest, const CallSettings& settings, std::size_t& step);
    // The inline records of the dispatcher, and those whose handling comes
    // with later services; each gets the text after its keyword and blank
    // (the later ones: from the keyword on).
    void dialledCharacter(std::string_view text, bool secondForm);
    void lineReleased(std::string_view text);
    void externalTalkBegins(std::string_view text);
    void localAnswer(std::string_view text);
    void voiceMailRecord(std::string_view record);
    void voiceBoxRecord(std::string_view record);
    void groupRecord(std::string_view record);
    void smsRecord(std::string_view record);
    void gsmRecord(std::string_view record);
    // The exchange answered "OK" to our command `command` (wire bytes).
    void smsCommandTaken(const std::string& command);
    // The call tables' shared steps.
    ActiveCall* findCall(std::string_view id, CallLookup mode, const std::string& number = std::string());
    void notifyExtension(const std::string& extension, const std::string& text, bool needs2017 = false);
    void broadcast(const std::string& text);
    void refreshPhoneStates();
    std::uint32_t callLength(ActiveCall& call, bool ringing);
    void partyHangsUp(ActiveCall& call, const std::string& extension, bool ringing);
    void transferringPartyHangsUp(ActiveCall& call, bool ringing);
    bool callerNotTransferred(const std::string& caller) const;
    void runIdleSteps();
    void watchLinkThread();
    void noteLinkState();
    void checkClients();
    bool queueServerLine(const char* line, std::size_t count, int timeToLiveMs, bool wireBytes = false);
    std::string linkPortText() const;
    // Writes a call's row on the main connection (the reconnect timer
    // started while it is away).
    void writeHistoryRow(const std::string& statement);

    PbxLinkHost& host_;
    std::uint64_t PbxLinkGeneration = 0;
    bool PbxConnecting = false;
    bool LoginWatchActive = false;
    std::int64_t LoginWatchStartMs = 0;
    bool IdleTickSeen = false;
    bool IdleWorkPending = false;
    bool InIdleWork = false;
    bool IdleWorkMissed = false;
    bool DrainingReceivedLines = false;
    std::unique_ptr<CrmConsole> crm_;
};

} // namespace pbx
