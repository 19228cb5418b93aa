// An exchange for tests and for trying the server by hand: either protocol
// family, over a TCP server on 127.0.0.1 or a pseudo-terminal pair (the
// program opens the slave side as its serial device). It plays the log-in
// dialogues byte for byte, answers link checks and commands, injects records
// and faults, and keeps a time-stamped log of what it received.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

enum class Family { Vantrel, Morva }; // PBX types 0 to 4, type 5
enum class Transport { Tcp, Pty };

enum class Fault {
    None,
    Silent,         // answers nothing at all
    WrongPrompt,    // the login prompt is not the expected one
    ShellOpen,      // type 5: a shell is already open (once, until "logout")
    BadEcho,        // type 5: "cti" comes back wrong
    WrongPassword,  // type 5: the password is refused
    RefuseCti,      // type 5: CTI mode is refused
    DropConnection, // TCP: every connection is closed at once
};

struct AnswerRule {
    enum class Kind { Ok, Error, Silent };
    Kind kind = Kind::Ok;
    int errorCode = 1;
    int delayMs = 0;
};

// What the GSM line modules do once all parts of an "SMS SND" message came.
struct SmsSendScript {
    enum class Outcome { Ack, Error, Silent };
    bool reportId = true; // "SMS RAPORT_ID" with the simulator's own TP-MR first
    Outcome outcome = Outcome::Ack;
    int errorCode = -5;    // of "SMS ERR"
    int reportStatus = -1; // after an ACK, a STATUS-REPORT with this TP-ST; -1: none
    int reportDelayMs = 0; // how much later that report comes
};

// A message the server sent: its "SMS SND" frames and the PDU they carried.
struct SentSms {
    int line = -1;
    int id = -1;
    std::vector<std::string> frames; // the "SMS SND" texts as received, without CR
    std::string pdu;                 // the parts' octets joined
    int messageReference = -1;       // the TP-MR the simulator gave it (-1: none)
    std::string PduHex() const;
};

struct ReceivedCommand {
    std::int64_t atMs = 0;      // steady clock
    std::string text;           // without its CR
    bool command = false;       // received in CTI mode and not a link check
    std::size_t streamLeft = 0; // bytes of a stream (SendStream) not yet sent
};

class ExchangeSimulator {
  public:
    ExchangeSimulator(Family family, Transport transport);
    ~ExchangeSimulator();
    ExchangeSimulator(const ExchangeSimulator&) = delete;
    ExchangeSimulator& operator=(const ExchangeSimulator&) = delete;

    // TCP: listens on 127.0.0.1 (`port` 0 picks a free one). Pty: opens the pair.
    bool Start(int port = 0);
    void Stop();
    int Port() const { return port_; }
    const std::string& SlavePath() const { return slavePath_; }

    void SetFault(Fault fault);
    void SetAnswerRule(AnswerRule rule);
    // Line end of the records sent (default CR LF).
    void SetLineEnd(std::string lineEnd);

    // Sends raw bytes, in writes of at most `chunk` bytes (0: one write).
    void SendRaw(std::string bytes, std::size_t chunk = 0);
    // Sends one record followed by the line end.
    void SendRecord(const std::string& record);
    // Sends `record` (with its line end) in answer to a command that begins
    // with `commandPrefix`, once.
    void SendOnCommand(std::string commandPrefix, std::string record);
    // Closes the current TCP connection.
    void DropConnection();
    // Sends `pattern` `repeats` times, made as the link takes it (so that a
    // flood costs the test no memory); `bytesPerSecond` paces it as a serial
    // line would (0: as fast as the link reads).
    void SendStream(std::string pattern, std::size_t repeats, std::size_t bytesPerSecond = 0);
    bool StreamDone() const;
    // Ends the streams: what is not made yet is never sent; records queued
    // behind them follow.
    void EndStreams();
    // Bytes sent in the same write as the answer that completes the log-in.
    void SetLoginTrailer(std::string bytes);
    // Stops (and resumes) reading what the link sends, as a stalled exchange would.
    void PauseReading(bool paused);

    std::vector<ReceivedCommand> Received() const;
    // Received texts after the log-in, without link checks.
    std::vector<std::string> Commands() const;
    bool LoggedIn() const { return loggedIn_.load(); }
    int LoginCount() const { return loginCount_.load(); }
    int ConnectionCount() const { return connections_.load(); }

    // Waits until `condition` holds (checked on every change), at most `ms`.
    bool WaitUntil(const std::function<bool()>& condition, int ms = 30000);
    bool WaitForCommand(const std::string& text, int ms = 30000);
    bool WaitForLogin(int count = 1, int ms = 30000);

    // GSM line modules (16 at most, 0..15). Each set line answers "GSM GET n"
    // with "GSM PUT n <own number>" ("0": no own number); others with "-1".
    // An answer rule other than Ok silences the modules as it does "OK".
    void SetGsmLine(int line, std::string ownNumber);
    void RemoveGsmLine(int line);
    // Stores a message (an SMS-DELIVER in hex) on a line; returns its
    // identifier (0..239). "SMS GET n" gives the first stored message of line
    // n as "SMS PUT" parts of `partOctets` octets each (the rest in a last
    // part; none: one part), or "SMS PUT n -1 0 0 0" when it holds none.
    // "SMS ACK n id" removes it.
    int StoreSms(int line, const std::string& pduHex, std::vector<std::size_t> partOctets = {});
    // Stores a message as StoreSms and announces it at once as "SMS ADD" parts.
    int AnnounceSms(int line, const std::string& pduHex, std::vector<std::size_t> partOctets = {});
    std::size_t StoredSmsCount(int line) const;
    // The next message stored gets identifier `id` when it is free (as an
    // exchange gives a taken message's identifier to a new one).
    void SetNextSmsId(int id);
    // "GSM ADD n <own number>" and "GSM CLR": the exchange's table changed.
    void SendGsmAdd(int line);
    void SendGsmClear();
    // The answer to every following sent message, and, ahead of it, to the
    // next ones (one script each).
    void SetSmsSendScript(SmsSendScript script);
    void QueueSmsSendScript(SmsSendScript script);
    // The TP-MR given to the next sent message (then counting up, 0..255).
    void SetNextMessageReference(int messageReference);
    // "SMS RAPORT n <status report>" now, with that TP-MR and TP-ST.
    void SendStatusReport(int line, int messageReference, int status);
    std::vector<SentSms> SentMessages() const;
    // "SMS SND" frames that broke a message (a part out of order, a bad
    // field or Base64): the message in making is dropped.
    int BadSmsFrames() const;
    bool WaitForSentMessages(std::size_t count, int ms = 30000);

    // Voice boxes and groups. "VB STATE_GET n" is answered "VB STATE_IS n
    // <state>" for a number with a box (others: nothing but the command's
    // answer); "VB STATE_SET n ON|OFF" sets it and answers likewise. With
    // the boxes disabled both are answered "VB STATE_IS DISABLED". "GWW ABS
    // n [g [LOG|NLO]]" answers "GWW ABS n g <state>" for each group asked
    // (all of the number's groups when none is named; an unknown one: NIG),
    // after setting the state when one is given.
    void SetVoiceBox(const std::string& number, std::string state);
    void SetVoiceBoxesDisabled(bool disabled);
    void SetGroupState(const std::string& number, const std::string& group, std::string state);
    std::string VoiceBoxState(const std::string& number) const;
    std::string GroupState(const std::string& number, const std::string& group) const;
    // Voice-mail boxes. "VM GET box n" is answered "OK" and entry n of the
    // box ("VM PUT box n iId date time number atr recording"), or the end
    // entry (iId -1) past its last message and for a box it does not hold;
    // "VM DEL box pos iId" by "OK" and, when the entry there has that iId, by
    // its removal and the "VM DEL" report; "VM LIS box pos" by "OK". An
    // answer rule other than Ok silences the boxes as it does "OK".
    struct VoiceMessage {
        int iId = 0;
        std::string date, time, number;
        int atr = 0;
        int recording = 0;
    };
    void SetVoiceMailBox(const std::string& box, std::vector<VoiceMessage> messages);
    std::vector<VoiceMessage> VoiceMailBox(const std::string& box) const;
    // The exchange's own reports: a new message (with `flag` it joins the
    // front of the box), changed attributes, a removed message.
    void SendVoiceMailAdd(const std::string& box, const VoiceMessage& message, bool flag = true);
    void SendVoiceMailUpdate(int iId, int atr);
    void SendVoiceMailDelete(const std::string& box, int position);
    // "VM GET" gets its "OK" but no entry, as when the voice-mail module hangs.
    void SetVoiceMailSilent(bool silent);

    // Called with every line the simulator received (for the tool).
    std::function<void(const std::string&)> OnReceived;

  private:
    struct Pending {
        std::chrono::steady_clock::time_point due;
        std::string bytes;
        std::size_t chunk = 0;
        std::size_t repeats = 0; // a stream: `bytes` this many times more
        std::size_t bytesPerSecond = 0;
        std::size_t made = 0; // stream bytes made so far
    };

    void run();
    void acceptConnection();
    void readInput();
    void handleInput();
    void handleLine(const std::string& line);
    void handleVantrel(const std::string& line);
    void handleMorva(const std::string& line);
    void handleCommand(const std::string& line);
    // Under mutex_: the records the GSM modules answer `line` with, each
    // with its delay.
    std::vector<std::pair<std::string, int>> gsmAnswers(const std::string& line);
    std::vector<std::pair<std::string, int>> smsSendAnswers(const std::vector<std::string>& tokens,
                                                            const std::string& line);
    std::vector<std::string> smsParts(const char* keyword, int line, int id) const;
    int storeSms(int line, const std::string& pduHex, std::vector<std::size_t> partOctets);
    // Under mutex_: the voice-box and group records answering `line`.
    std::vector<std::string> voiceBoxAnswers(const std::string& line);
    // Under mutex_: the voice-mail records that answer `line`, added to `answers`.
    void addVoiceMailAnswers(const std::string& line, std::vector<std::pair<std::string, int>>& answers);
    void sendNow(const std::string& bytes, std::size_t chunk = 0);
    void sendLater(const std::string& bytes, int delayMs);
    void flushOutbox();
    void makeStream(); // under mutex_
    std::string loginTrailer() const;
    void closeConnection();
    void record(const std::string& text);
    void wake();
    int ioFd() const;

    Family family_;
    Transport transport_;
    int port_ = 0;
    std::string slavePath_;
    int listenFd_ = -1;
    int connFd_ = -1;
    int masterFd_ = -1;
    int slaveHoldFd_ = -1;
    int wakePipe_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> stop_{false};

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Fault fault_ = Fault::None;
    AnswerRule rule_;
    std::string lineEnd_ = "\r\n";
    std::deque<Pending> pending_;
    std::deque<std::string> outbox_; // bytes ready to go, one write each
    std::vector<std::pair<std::string, std::string>> onCommand_;
    std::vector<ReceivedCommand> received_;
    bool dropRequested_ = false;
    std::string loginTrailer_;
    std::atomic<bool> readingPaused_{false};

    // The GSM line modules, under mutex_.
    struct StoredSms {
        int id = 0;
        std::string pdu; // octets
        std::vector<std::size_t> partOctets;
    };
    struct SmsInMaking {
        int parts = 0;
        int last = 0;
        SentSms sms;
    };
    std::map<int, std::string> gsmLines_;
    std::map<int, std::deque<StoredSms>> storedSms_;
    int lastStoredId_ = -1;
    std::map<std::pair<int, int>, SmsInMaking> smsInMaking_;
    std::vector<SentSms> sentSms_;
    int badSmsFrames_ = 0;
    SmsSendScript sendScript_;
    std::deque<SmsSendScript> queuedScripts_;
    int nextMessageReference_ = 0;
    std::map<std::string, std::vector<VoiceMessage>> voiceMailBoxes_;
    bool voiceMailSilent_ = false;

    // Voice boxes and groups, under mutex_.
    std::map<std::string, std::string> voiceBoxes_;
    bool voiceBoxesDisabled_ = false;
    std::map<std::string, std::map<std::string, std::string>> groupStates_;

    // Touched by the simulator's thread only.
    std::string input_;
    std::size_t inputScanned_ = 0; // no line end before this place of input_
    enum class MorvaState { Start, Password, CtiWait, Cti } morva_ = MorvaState::Start;
    bool shellOpenUsed_ = false;

    std::atomic<bool> loggedIn_{false};
    std::atomic<int> loginCount_{0};
    std::atomic<int> connections_{0};
};

} // namespace sim
