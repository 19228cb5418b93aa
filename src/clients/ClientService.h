// The client service: the client server socket and the framing of client
// requests, the notification sender and its queue, the console's list of
// client records, the removal of records, and the switching of the service on
// and off.
//
// Holds: DodajKlienta, Zmien_stan, UsunZListy, UsunKlienta,
// RemoveDisconnectedClients, PowiadomKlientowUzytkownikRozlaczony,
// WlaczSerwerClick, WylaczSerwer, UstawKomunikatLP, LoginReplyPrefix,
// LoginReplyPrefix16, PendingLogins, ReceiveRemainder (per record),
// UdpSocket, RemovalKey, Parser, serwerAccept,
// serwerClientConnect, serwerClientRead, serwerClientDisconnect,
// serwerClientError, WyslijBladKlientowi, LiniaDoKlientaKeyPress (its sending
// part: LiniaDoKlienta), Powiadom, DoKolejki, MKolejka, ile_w_kolejce,
// ObslugaKolejki, RejestracjaKlienta, WiadomoscTxtOdKlienta,
// AktualizujOpisUzytkownika, Blokada, WybierzNumer, ZamowRozmowe,
// TransferDzwonka, Redial, Hold, Unhold, SpeakerPhone, InfoOKlientach,
// PowiadomKlientowPodlaczenieUzytkownika, PowiadomKlientowPolaczenieCentrali,
// FillUserSlots, UserSlots, SendSmsChg, WyslijListeGSM, UdpSend, RelayServerMessage,
// WyslijZajetosci; the calendar socket and service through Calendars.
#pragma once

#include "base/CommandParserGenerator.h"
#include "clients/ClientServiceHost.h"
#include "clients/ContactSync.h"
#include "clients/DeadlineWatch.h"
#include "clients/Klient.h"
#include "clients/ListenRetry.h"
#include "clients/PasswordReadQueue.h"
#include "clients/PasswordReads.h"
#include "clients/SharedCalendars.h"
#include "clients/UdpSender.h"
#include "clients/UserSlots.h"
#include "sms/SmsRecords.h"

#include <QAbstractSocket>
#include <QObject>
#include <QPointer>
#include <cstdint>
#include <ctime>
#include <deque>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class QSocketNotifier;
class QTcpSocket;
class QTimer;
class QTreeWidgetItem;

namespace sms {
class PABX;
}

namespace clients {

// Where the scan of a read goes on after a request: the number of bytes of
// the request's text (as given to its handler) that the request took, or
// nothing: the scan of that read ends.
using RequestEnd = std::optional<std::size_t>;

// Sending modes of `Powiadom`.
enum SendMode { Notice = 0, Priority = 1, Forced = 2 };

// One queued message.
struct MKolejka {
    std::uint32_t Klucz = 0; // connection number of the record it is meant for
    std::string IDFB;
    std::string IP;
    std::string Tekst; // wire bytes
    std::time_t Queued = 0;
};

class ClientService {
  public:
    explicit ClientService(ClientServiceHost& host);

    // The calendar socket and the calendar service, switched with the service.
    SharedCalendars Calendars;

    ~ClientService();
    ClientService(const ClientService&) = delete;
    ClientService& operator=(const ClientService&) = delete;

    // ---- the console's list of clients ----
    // Shows `CurrentKlient` on the console's list (a new row unless its
    // socket already has one) and lets go of it.
    void DodajKlienta();
    // Shows the state of `CurrentKlient` and lets go of it.
    void Zmien_stan();
    // Removes the row of the record being removed (`RemovalKey`).
    void UsunZListy(const std::string& extension, const std::string& address);
    void UsunKlienta(Klient* record);
    void RemoveDisconnectedClients();
    // Records of closed connections wait for the idle handler's removal.
    bool HasDisconnectedClients() const { return !disconnected_.empty(); }
    void PowiadomKlientowUzytkownikRozlaczony(const std::string& idfb);
    // The server's own record, made at start and when the service is
    // switched on again.
    void CreateServerRecord();

    // ---- the service and its socket ----
    // Opens the service once the database is attached; closes it when open.
    void WlaczSerwerClick();
    void WylaczSerwer();
    bool IsOpen() const;
    // Tries the client port again while it cannot be opened.
    QTimer& ClientPortRetry() { return clientPortRetry_->Timer(); }
    // New connections on `serwer`.
    void serwerAccept();
    // `serwer` could not accept (out of descriptors, say): accepting pauses
    // until a descriptor is free again (checked every `AcceptCheckMs` while
    // paused, and when a connection closes).
    void serwerAcceptError(QAbstractSocket::SocketError error);
    void serwerClientConnect(QTcpSocket* socket);
    void serwerClientRead(std::uint32_t connection, const std::string& address);
    void serwerClientDisconnect(std::uint32_t connection, const std::string& address);
    void serwerClientError(std::uint32_t connection, const std::string& address, int port,
                           QAbstractSocket::SocketError error);
    // Answers "ERROR <code>" CR and removes the record (refused log-ins).
    void WyslijBladKlientowi(int code, Klient* record);
    // The console line: sends "!" + the text + 255 to the client logged in as
    // `identifier`; false when that client is not connected.
    bool LiniaDoKlienta(const std::string& text, const std::string& identifier);
    void UstawKomunikatLP();
    // A log-in whose password the database must confirm is held while it is
    // read on a thread (the program's way), or waits for it on the spot.
    void ReadPasswordsOffLoop(bool on) { passwordReadsOffLoop_ = on; }
    // The error code of a log-in held for its password read: the client's
    // input from that request on is handled again once the answer is there.
    static constexpr int LoginAwaitsDatabase = -1;
    // The error code of a request that has taken its place among its
    // connection's answers itself (its answer waits for its row): the scan
    // goes on without a reply.
    static constexpr int ReplyAwaitsRow = -2;
    // A restore has ended: the log-ins held for it are answered as usual.
    void AnswerLoginsHeldForRestore();

    // ---- notifications ----
    // Sends or queues one message (`text`: wire bytes with their own line
    // end) for the record with connection number `connection` at `address`,
    // which must be logged in as `idfb`; with connection 0, for the newest
    // record at `address` logged in as `idfb`. Never hands it to another
    // record. Any thread: off the GUI thread it is passed to it.
    void Powiadom(int mode, const std::string& text, const char* idfb, std::uint32_t connection,
                  const std::string& address);
    void DoKolejki(int mode, const std::string& text, std::uint32_t key, const std::string& idfb,
                   const std::string& address);
    // One drain pass of the queue; the idle handler calls it.
    void ObslugaKolejki();
    std::size_t ile_w_kolejce() const { return Queue.size(); }
    std::list<MKolejka> Queue;

    // ---- request handlers: each gets the text after its keyword (wire
    // bytes, up to the end of the read) and returns where the scan goes on ----
    RequestEnd RejestracjaKlienta(std::string_view text, const std::string& address, bool kla, int& errorCode,
                                  std::uint32_t connection);
    RequestEnd WiadomoscTxtOdKlienta(std::string_view text, const std::string& address, int& errorCode);
    RequestEnd AktualizujOpisUzytkownika(std::string_view text, int& errorCode);
    RequestEnd Blokada(bool on, std::string_view text, int& errorCode);
    RequestEnd WybierzNumer(std::string_view text, int& errorCode);
    RequestEnd ZamowRozmowe(std::string_view text, int& errorCode);
    RequestEnd TransferDzwonka(std::string_view text, int& errorCode);
    RequestEnd Redial(std::string_view text, int& errorCode);
    RequestEnd Hold(std::string_view text, int& errorCode);
    RequestEnd Unhold(std::string_view text, int& errorCode);
    RequestEnd SpeakerPhone(std::string_view text, int& errorCode);
    // Contact-sync reports (always answered "OK").
    RequestEnd ContactAdded(std::string_view text);
    RequestEnd ContactChanged(std::string_view text);
    RequestEnd ContactDeleted(std::string_view text);
    RequestEnd ContactGroupAdded(std::string_view text);
    RequestEnd ContactGroupDeleted(std::string_view text);
    // Keeps the copies of the shared contact base in step.
    DbSynchronizer ContactSync;
    RequestEnd VoiceMailRequest(std::string_view text, int& errorCode);
    RequestEnd VoiceBoxRequest(std::string_view text, int& errorCode);
    RequestEnd GroupLoginRequest(std::string_view text, int& errorCode);
    // The whole SMS request from its "!"; always answered "OK", once the
    // message's row is stored and announced (`errorCode` is then
    // `ReplyAwaitsRow`). Meanwhile the client's input is read and its
    // notices go on; the answers of its requests after this one follow it.
    RequestEnd SmsRequest(std::string_view request, const Klient& record, int& errorCode);

    // Presence: the client check every 30 s, and the broadcasts.
    void InfoOKlientach();
    void PowiadomKlientowPodlaczenieUzytkownika(const std::string& idfb, const std::string& address);
    void PowiadomKlientowPolaczenieCentrali(const std::string& state);
    // The user list's loader rebuilds the presence table with this.
    void FillUserSlots(const std::vector<UserSlotUser>& users);
    void SendSmsChg(const std::string& address, const std::string& idfb);
    // "!SMS&ADD&" with the message's row to the client logged in as `idfb`.
    void WyslijSmsDodaj(const sms::SMSMSG& msg, const std::string& address, const std::string& idfb);

    // The GSM-line list to one client that handles SMS, and to every client
    // that has an address.
    void WyslijListeGSM(const Klient& record, const std::vector<sms::S_GSMLINE>& lines);
    void WyslijListeGSMKlientom(const std::vector<sms::S_GSMLINE>& lines);
    // Empties the GSM-line table, so that it is read anew from the exchange,
    // and tells every listed client that handles SMS to drop its list.
    void WyslijListeGSMWszystkim(sms::PABX& table);
    // The phone-state rows ("!ZJ") to the client logged in as `idfb` at `address`.
    void WyslijZajetosci(const std::string& address, const std::string& idfb);

    // Makes the UDP sender with the port and broadcast address.
    void CreateUdpSender(QObject* owner, int port, const std::string& broadcast);
    // Sends one broadcast datagram (UTF-8, sent in the wire code page); an
    // empty text is not sent. A failed send loses that datagram and the
    // sender makes its socket anew. Call-state notices go `Ahead` of the rest.
    void UdpSend(const std::string& text, TNMUDP::Turn turn = TNMUDP::Turn::InOrder);
    // The administrator's message to every client, as the server's own text
    // message: its fields in UTF-8 and the 0xFF terminator. False when the
    // relay refused it.
    bool RelayServerMessage(const std::string& message);

    std::string LoginReplyPrefix;
    std::string LoginReplyPrefix16;
    int PendingLogins = 0;
    TNMUDP* UdpSocket = nullptr;
    // Socket number of the record being removed: the key of its row.
    std::uint32_t RemovalKey = 0;
    CommandParserGenerator Parser;
    UserSlotTable UserSlots;

    // The most kept of an unfinished request of one client.
    static constexpr std::size_t ReceiveRemainderLimit = 64 * 1024;
    // The most connections open without a log-in: a new one closes the
    // oldest of them.
    static constexpr int UnloggedConnectionLimit = 256;
    // A connection without a log-in is closed this long after it was
    // accepted, whatever it sends meanwhile.
    static constexpr std::int64_t UnloggedLifetimeMs = 45000;
    // Descriptors kept for the rest of the program: client connections stay
    // this far below the process's limit.
    static constexpr int DescriptorReserve = 64;
    // How often a paused accepting is checked against the descriptors left.
    static constexpr int AcceptCheckMs = 200;
    // How often at most the console's list of clients follows its records.
    static constexpr int RowRefreshMs = 250;
    // What Qt may hold unsent for one connection: a send beyond it is refused.
    static constexpr qint64 UnsentLimit = 1024 * 1024;
    // A connection owed more than this is not read until it has taken most of
    // it; one that stays so this long (seconds) is closed.
    static constexpr qint64 UnsentPauseLimit = 64 * 1024;
    static constexpr std::time_t StalledOutputSeconds = 30;

  private:
    struct Request;
    void showClientCount();
    void showQueueCount();
    void refreshRow(const Klient& record);
    void deleteClientRecord(Klient* record);
    void handleRead(Klient* record, std::string data);
    void reply(Klient& record, int mode, const std::string& text);
    // Answers a request of the record: at once, or behind the answers of
    // its earlier requests that still wait.
    void answer(Klient& record, int mode, const std::string& text);
    void keepRemainder(Klient& record, std::string_view rest);
    // The record's log-in reply is answered or it has gone: its count of
    // `PendingLogins` goes.
    void releasePendingLogin(Klient& record);
    // Why a new connection is refused now, or null.
    const char* refusalOfNewConnection();
    void resumeAccepting();
    void watchAccepting();
    // Watches the listening socket for connections waiting while accepting
    // runs: out of descriptors, it pauses accepting.
    void guardAccepting();
    void connectionGone(std::uint32_t connection);
    // Connections without a log-in: those past `UnloggedLifetimeMs` are
    // closed, and the oldest goes when a new one finds the table full.
    void closeLateUnloggedConnections();
    void closeOldestUnloggedConnection();
    void closeUnloggedConnection(std::uint32_t connection, bool late);
    // Says why a connection without a log-in is closed at its end.
    static void logLateUnlogged(const Klient* record, const std::string& address);
    void watchUnloggedConnections();
    // Backpressure: a connection that owes more than `UnsentPauseLimit` is
    // not read; it is read again once it has taken most of it, and closed
    // when it has not within `StalledOutputSeconds`.
    bool owesTooMuch(const Klient& record) const;
    void pauseReading(const Klient& record);
    // True when reading goes on again.
    bool resumeReading(std::uint32_t connection);
    void watchStalledConnections();
    bool sendNow(Klient& record, int mode, const std::string& text);
    Klient* recordOfEntry(MKolejka& entry);

    // The console row of a record, or null.
    QTreeWidgetItem* rowOf(const Klient& record);
    // The "ID" of every row of the client list.
    std::vector<std::string> listedClientIds();
    // The console's rows by the socket number of their record (the server's
    // own record has 0); the list is never searched for them.
    std::unordered_map<std::uint32_t, QTreeWidgetItem*> rows_;
    // Rows whose record changed since the view was last refreshed: the
    // view follows at most every `RowRefreshMs`, not at every event.
    std::unordered_set<std::uint32_t> staleRows_;
    QTimer* rowRefresh_ = nullptr;
    void refreshStaleRows();
    // Checks the password of a log-in against the user list and, where the
    // list's differs, the database (or its answer `read` for the log-in held
    // for it); the matching row or null.
    QTreeWidgetItem* findUserRow(Klient& record, const std::optional<Klient::PasswordRead>& read,
                                 const std::string& login, const std::string& password, int& errorCode,
                                 const std::string& address);
    // The database's answer, or nothing while it is read off the event loop.
    std::optional<PasswordAnswer> databasePassword(const Klient& record, const std::string& login,
                                                   const std::string& password);
    // Starts the reads that wait, as far as threads are free for them.
    void startWaitingPasswordReads();
    // A read came back: each log-in it answers is handled again.
    void passwordRead(std::uint64_t read, const StoredPassword& stored);
    // The held log-in is handled again with the answer.
    void passwordAnswered(std::uint32_t connection, const PasswordReadQueue::Wait& wait,
                          PasswordAnswer answer);
    // Those without an answer within the call bound are answered unreachable.
    void answerLatePasswordReads();
    void watchPasswordReads();
    // An answer that waits for its row takes its place among the record's
    // answers; its ticket.
    std::uint64_t awaitAnswer(const Klient& record);
    // That answer may go, and the answers behind it that are ready with it;
    // those whose row takes longer than the call bound go then (the notice
    // follows the row).
    void answerReady(std::uint32_t connection, std::uint64_t ticket);
    void sendReadyAnswers(std::uint32_t connection);
    void answerLateRequests();
    void watchAnswers();
    // The request handlers' work on a zero-ended text: where the request
    // ends, or null after an error.
    const char* registerClient(const char* text, const std::string& address, bool kla, int& errorCode,
                               std::uint32_t connection);
    const char* relayTextMessage(const char* text, const std::string& address, int& errorCode);
    const char* updateDescription(const char* text, int& errorCode);
    const char* setLock(bool on, const char* text, int& errorCode);

    ClientServiceHost& host_;
    // Context of the socket connections and of calls passed to the GUI thread.
    QObject context_;
    std::uint32_t nextConnection_ = 1;
    // Accepting is paused after a failed accept.
    bool acceptPaused_ = false;
    QTimer* acceptWatch_ = nullptr;
    std::unique_ptr<ListenRetry> clientPortRetry_;
    // Reads ready with the listening socket (on a descriptor of its own).
    QSocketNotifier* acceptGuard_ = nullptr;
    int acceptGuardDescriptor_ = -1;
    // Connection numbers of the sockets still there, and of those among them
    // without a log-in that have not closed: counted as they change, so an
    // accept never walks the list.
    std::unordered_set<std::uint32_t> openConnections_;
    struct UnloggedConnection {
        std::int64_t acceptedMs = 0;
        QPointer<QTcpSocket> socket;
        std::string address;
    };
    std::unordered_map<std::uint32_t, UnloggedConnection> unloggedConnections_;
    // Armed for the next connection without a log-in to reach its end.
    DeadlineWatch unloggedWatch_{context_, [this] { closeLateUnloggedConnections(); }};
    // Log-ins held for their password read, at most one per connection, and
    // the reads that answer them.
    PasswordReadQueue passwordReads_;
    std::uint64_t nextPasswordTicket_ = 1;
    bool passwordReadsOffLoop_ = false;
    DeadlineWatch passwordWatch_{context_, [this] { answerLatePasswordReads(); }};
    // Log-ins held while a restore replaces the database, by connection,
    // with their address: their input waits for its end.
    std::unordered_map<std::uint32_t, std::string> loginsHeldForRestore_;
    // The answers of a connection's requests from the first one that waits
    // for its row on, in the order of the requests: a desk cannot tell which
    // request an "OK" answers. A line is there only while its first answer
    // waits.
    struct HeldAnswer {
        std::uint64_t ticket = 0; // of the answer that waits; 0 once it may go
        std::int64_t dueMs = 0;
        int mode = Priority;
        std::string text;
    };
    struct AnswerLine {
        std::string address;
        std::deque<HeldAnswer> answers;
    };
    std::unordered_map<std::uint32_t, AnswerLine> answerLines_;
    std::uint64_t nextAnswerTicket_ = 1;
    DeadlineWatch answerWatch_{context_, [this] { answerLateRequests(); }};
    // Closings of the oldest for a newcomer are logged at most this often.
    static constexpr std::int64_t EvictionLogPeriodMs = 10000;
    std::int64_t evictionLoggedMs_ = 0;
    bool evictionLogged_ = false;
    unsigned evictedUnlogged_ = 0;
    // Connections not read for what they owe: since when, and their address.
    struct StalledOutput {
        std::time_t since = 0;
        std::string address;
    };
    std::unordered_map<std::uint32_t, StalledOutput> stalled_;
    // Runs only while a connection is not read.
    QTimer* stallWatch_ = nullptr;
    static constexpr int StallCheckMs = 1000;
    // Connection numbers of records whose connection closed, for removal.
    std::vector<std::uint32_t> disconnected_;
    // Refusals and accept failures are logged once until a connection is
    // taken again.
    const char* refusalLogged_ = nullptr;
    bool acceptErrorLogged_ = false;
};

} // namespace clients
