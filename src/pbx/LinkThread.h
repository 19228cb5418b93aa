// The one thread that owns the link to the exchange: it opens the serial
// port or the TCP connection, logs in with the dialogue of the PBX type, then
// writes the waiting commands one at a time, cuts what arrives into lines for
// the dispatcher and checks the link when it has been quiet. A hard failure
// ends the thread; the main window then decides whether to start another.
#pragma once

#include "pbx/LinkShared.h"
#include "pbx/ReceivedLines.h"
#include "pbx/TcpLink.h"
#include "platform/SerialPort.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace pbx {

// A snapshot of the link for the status panels.
struct LinkStatus {
    int pbxType = 0;
    int pbxPort = 0;
    char stateLetter = 'L';
    int linkState = 0;
    std::uint32_t received = 0, handled = 0, queued = 0, sent = 0;
    bool operator==(const LinkStatus&) const = default;
};

// What the thread tells the main window. Every call comes from the link
// thread; implementations post to the GUI thread.
class LinkThreadHost {
  public:
    virtual ~LinkThreadHost() = default;
    virtual void ShowState(const LinkStatus& status) = 0;
    virtual void EnableLinkMenu() = 0;
    // The TCP parameters could not be used (IDS_36).
    virtual void ShowTcpSetupError() = 0;
    // The thread body has ended; the thread may be joined.
    virtual void ThreadEnded() = 0;
};

class TWatek;

// Collects bytes into lines with one limit for both transports; an over-long
// line is dropped whole, never passed on as its tail.
class LineAssembler {
  public:
    static constexpr std::size_t LineLimit = 65535;
    // Complete lines go to `owner`'s `Sprawdz_linie`.
    explicit LineAssembler(TWatek& owner) : owner_(owner) {}
    void Add(char byte);
    // Hands the line on (unless it overran) and starts a new one.
    void End();
    void Clear();
    std::string_view Text() const { return line_; }

  private:
    TWatek& owner_;
    std::string line_;
    bool overran_ = false;
};

class TWatek {
  public:
    // `shared` is the state of the link this thread serves; it must outlive
    // the thread (the destructor joins it).
    TWatek(LinkShared& shared, LinkSettings settings, LinkThreadHost* host);
    ~TWatek(); // asks the body to end and joins it
    TWatek(const TWatek&) = delete;
    TWatek& operator=(const TWatek&) = delete;

    void Start();
    void Terminate();
    bool Terminated() const { return terminated_.load(); }
    bool Finished() const { return finished_.load(); }
    // Waits for the body's end; only after `Finished()` or at destruction.
    void Join();

    char StateLetter() const { return stateLetter_.load(); }
    int Error() const { return error_.load(); }
    // The exchange's address or port cannot be used: a new link needs new settings.
    bool SettingsUnusable() const { return settingsUnusable_.load(); }
    bool LoggedIn() const { return loggedIn_.load() != 0; }
    // Pauses taken after a pass that ended without a complete log-in.
    int RetryPauses() const { return retryPauses_.load(); }
    // Passes of the transmission loop so far.
    std::uint64_t Passes() const { return passes_.load(); }
    // How long the log-in may show before the dispatcher's watch restarts the
    // link: the serial dialogue of types 0 to 4 waits out its own read
    // time-outs, which together pass the watch's usual 20 s.
    std::int64_t LoginWatchLimitMs() const;

    // Appends one received line to the dispatcher's chain.
    void Sprawdz_linie(std::string_view line);

  private:
    enum class CheckResult { NotYet, Passed, Failed };

    void Execute();
    void OtworzCOM(int port);
    void reportOpenFailure(const std::string& name);
    void reportConnectFailure(const std::string& reason);
    bool UstawTimeoutCOM(int ms);
    void OtworzTCP();
    void Loguj(int pbxType);
    void CzyscKolejki();

    // Log-in dialogues.
    int Loguj_Vantrel();
    int Loguj_vantrelTCP();
    void Loguj_morva();
    void Loguj_morvaTCP();
    void AT_Vantrel();
    bool AT_Vantrel2();
    bool morvaSerialPassword();
    void morvaModeRestore();
    int morvaTcpAttempt();

    CheckResult Sprawdz_polaczenie();
    CheckResult Sprawdz_polaczenieTCP();
    void TransmisjaCOM();
    void TransmisjaTCP();
    // True when a command was left in a chain for a later pass (not written
    // whole, or behind one that expired).
    bool WriteStep(bool serial);
    // How long a pass may wait for the exchange before something of its own
    // is due: the link check (`checkInMs` from now), the answer time-out, a
    // write to retry (at `rhythmMs`, the pass rhythm its time to live counts).
    int passWaitMs(std::int64_t checkInMs, bool commandsLeft, int rhythmMs) const;
    int tcpWaitMs(bool commandsLeft) const;
    int serialWaitMs(bool commandsLeft) const;
    // Counts a wait that brought no bytes as the quiet polls it stands for.
    void countQuietWait(std::int64_t waitedMs);
    long writeCommandBytes(std::string_view bytes, bool serial);
    void commandWritten(const Bufor& command, bool serial);
    void writePinnedRest(bool serial);
    void dropPinned();
    void retryPause(std::int64_t passStart);
    void keepAfterAnswer(std::size_t answerEnd);
    bool serialByte(char byte);
    void cutTcpBatch();

    // Port routines shared with the dialogues.
    int Wyslij_znak(char c);
    bool Czysc_port();
    int Wyslij_ciag(const std::string& text);
    int Wyslij_ciag_z_echem(const std::string& text);
    int Wyslij_ciagTCP(const std::string& text);
    int Wyslij_ciag_z_echemTCP(const std::string& text);
    long WriteFileTCP(std::string_view text, int stallMs = 5000);
    void CzytajTCP(std::size_t wanted);
    long readSerial(char* buffer, std::size_t count);
    std::string readSerialText(std::size_t count, long* got = nullptr);

    void PokazStan();
    void setState(char letter);
    // Sleeps, waking at once on a stop request; false when stopped.
    bool Pause(int ms);
    void reportSocketError(int errnoValue);
    std::int64_t nowMs() const { return settings_.clock->nowMs(); }
    bool serialTypeEndsAtLf() const { return settings_.PbxType <= 4; }

    LinkShared& shared_;
    LinkSettings settings_;
    const LinkTimings& t_;
    LinkThreadHost* host_;
    std::thread thread_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::mutex pauseMutex_;
    std::condition_variable pauseWake_;

    std::atomic<std::uint8_t> loggedIn_{0};
    std::int64_t lastWriteTime_ = 0; // 0: none yet
    std::string tcpBuffer_;
    LineAssembler line_{*this};
    std::uint32_t idlePolls_ = 99999;
    // The link check's period counts from the pass that found the link quiet.
    bool quietSeen_ = true;
    std::atomic<std::uint64_t> passes_{0};
    // The status last shown with the link up: the same again is not posted.
    std::optional<LinkStatus> shownStatus_;
    std::atomic<char> stateLetter_{'L'};
    std::atomic<int> error_{0};
    std::atomic<bool> settingsUnusable_{false};
    std::int64_t lastLinkCheckS_ = 0;
    std::atomic<int> retryPauses_{0};
    // What came behind the log-in answers, for the transmission loop.
    std::string loginRest_;
    // A command of which only a part has reached the exchange: nothing else
    // may go out before its rest.
    std::optional<Bufor> pinned_;
    std::size_t pinnedSent_ = 0;

    std::unique_ptr<platform::SerialPort> serial_;
    std::unique_ptr<TcpLink> tcp_;
};

// The text of exchange bytes as the log shows it: control characters made
// visible, long texts cut.
std::string LogCopy(std::string_view bytes);

} // namespace pbx
