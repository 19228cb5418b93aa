// The SMS gateway: the one SMS engine, the SMS settings and the routing
// rules behind the main window's SMS page.
// Holds: ApplySmsSettings, LoadSmsRouting, lvRoutingRulesData,
// AddSmsRoutingRule, EditSmsRoutingRule, DeleteSmsRoutingRule, SmsRoutingLoaded, SmsEngine, SmsSettings, the
// resynchronisation of tmrFixPctiTimer and miSmsSynchronizeClick, GsmLines,
// the SMS and GSM work of tmrPabxSynchronizeTimer and the GSM-line records.
// Also: the dispatcher's SMS work (HandleSmsRecord), the client request hook
// (HandleClientSmsRequest), InsertSmsStatus, ChgSmsStatus, HandleSmsSendError,
// the expected delivery reports kept across restarts (KeepExpectedReports).
#pragma once

#include "db/MessageTables.h"
#include "sms/ExpectedReportKeeper.h"
#include "sms/GsmLineTable.h"
#include "sms/Sms.h"
#include "sms/SmsGatewayHost.h"

#include <cstddef>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class ServiceSmsDB;
namespace db {
class MainDatabase;
}

namespace sms {

// The values of the "SMS" and "SMS\DynamicRouting" settings; read at start-up
// and written by the settings dialog through the settings table.
struct SmsSettingsValues {
    bool UseSms{};
    std::string CountryCode;
    int MinCountryNumberLength{};
    int MaxCountryNumberLength{};
    bool RemoveCountryCode{};
    bool ForceSynchronization{};
    bool OutTrialsNoLimit{}; // stored as "OutTrialsLimit"
    int OutTrials{};
    int CountryNumberLength{};
    bool DynamicRoutingEnabled{};
    int DynamicRoutingValidityPeriod{};
};

class SmsGateway {
  public:
    // Hands the host's log and user-name callbacks to the engine.
    explicit SmsGateway(SmsGatewayHost& host);
    SmsGateway(const SmsGateway&) = delete;
    SmsGateway& operator=(const SmsGateway&) = delete;

    // Copies the SMS settings into the engine.
    void ApplySmsSettings();
    // Reloads the routing rules from the main database.
    void LoadSmsRouting();

    // One tick of the maintenance timer: after an hour of ticks on which
    // the engine asked for it, the received list is fetched again.
    void AutomaticResynchronizationTick(int intervalMs, bool gsmListComplete);
    // The menu command: resynchronises now when the engine asks for it.
    void ManualResynchronization(bool gsmListComplete);

    // ---- routing rules of received messages and their editor ----
    // The texts of row `index` of the rule list: priority, sender, line,
    // recipients; and the text of one of them.
    static constexpr int RoutingRuleColumns = 4;
    std::vector<std::string> RoutingRuleCells(std::size_t index);
    std::string RoutingRuleCell(std::size_t index, int column);
    // The editor's commands; `selectedRow` is the selected row of the rule
    // list, -1 for none. Each change goes to the database as one unit and
    // reaches the rules in memory only once committed.
    void AddSmsRoutingRule();
    void EditSmsRoutingRule(int selectedRow);
    void DeleteSmsRoutingRule(int selectedRow);
    // The rules in memory are the table's contents.
    bool SmsRoutingLoaded = false;

    // ---- the exchange's SMS records, the clients' SMS requests and the
    // rows of table Sms ----
    // One "SMS ..." record of the exchange: rows, notices and the
    // acknowledgement that the engine's action asks for.
    void HandleSmsRecord(const std::string& record);
    // The exchange answered "OK" to our "SMS ACK line id" frame: it no
    // longer holds that message, and the identifier may bring a new one.
    void AcknowledgementTaken(const std::string& frame);
    // Once the database is there (at the first attach that succeeds, else
    // before a received message is stored): the received rows the earlier
    // run stored last. A message among them that the exchange hands over
    // again (it never took our acknowledgement before the stop) is then
    // acknowledged, not stored again.
    void RecallEarlierRunsReceived();
    // "!SMS&CHG" to the user's desk: a row of its messages changed without
    // the engine (the start failed one the earlier run left sending).
    void TellRowChanged(std::int32_t userId) { host_.SendSmsChg(userId); }
    static constexpr std::size_t EarlierRunRowsRecalled = 1000;
    // A recall that waits this long for the earlier run's received rows
    // names them in the log.
    static constexpr std::int64_t RecallWaitSaidAfterMs = 60'000;
    // One complete "!SMS&" request (wire bytes) of the client logged in as
    // `idfb`. True when the client's answer waits for the message's row:
    // `answered` then runs on the GUI thread once the row is stored and
    // announced, or refused; false when the request is done now.
    bool HandleClientSmsRequest(const std::string& request, const std::string& idfb,
                                std::function<void()> answered = {});
    // Stores a new outgoing message's row (nId gets its key) and announces it.
    void InsertSmsStatus(SMSMSG& msg);
    // The message's state becomes `state`; its row, if any, follows.
    void ChgSmsStatus(SMSMSG& msg, std::int32_t state);
    // A message failed: its row, or a new one, says so.
    void HandleSmsSendError(SMSMSG msg);
    // At a stop: every message still waiting to be sent is named in the log.
    void NameUnsentMessages();
    // Keeps the expected delivery reports in the file at `path` from here
    // on, and takes those an earlier run kept there. Before the row journal
    // opens: the keys of the rows they name by token are held for them.
    void KeepExpectedReports(const std::string& path);

    // ---- the polling timer and the GSM-line table ----
    // The polling timer's steps once the link is up. The GSM-line list, then
    // the poll of stored messages: true when the tick was theirs. The poll
    // leaves the tick to the send step when it asks nothing on it, and every
    // other tick while messages wait to be sent: neither starves the other.
    bool PollStep();
    // One send step of every line.
    void SendStep();
    // A tick spent on a query still counts for the lines that wait for an
    // acknowledgement or rest, so that their waits last the ticks they were
    // given; only those lines step, and nothing is sent.
    void WaitStep();
    // A "GSM" record from the exchange.
    void GsmRecord(const std::string& record);

    SMS SmsEngine;
    PABX GsmLines;
    // Consecutive ticks on which the engine asked for a resynchronisation.
    int ResynchronizationTicks = 0;
    SmsSettingsValues SmsSettings;

  private:
    // The recipients cell: how many, the one known user's name, or none.
    std::string recipientsCell(const ROUTING_RULE& rule);
    // Makes room for the rule's priority, writes the rule (a new row, or
    // its own row when `editing`) and hands the rules over.
    void saveRoutingRule(ROUTING_RULE rule, bool editing);

    // A row in `state` for a message that has none, written in turn with
    // the other rows on the road (never attached for on the spot); its
    // sender's client is told once it is stored.
    void insertSmsRowThenAnnounce(SMSMSG msg, std::int32_t state);
    // The row's values from the message, for the message's sender.
    static void fillSmsRow(ServiceSmsDB& table, const SMSMSG& msg);
    // Told whether a row was stored, with its key in the message.
    using RowStored = std::function<void(bool stored, SMSMSG msg)>;
    // The same, with the message's own state: `then` hears of it once the
    // road wrote it (however long the database is away), or refused it.
    void insertSmsRowThen(SMSMSG msg, std::int32_t userId, RowStored then);
    // A received message's rows, one per recipient, on their way.
    struct ReceivedRows {
        SMSMSG msg;
        bool polled;
        std::size_t left;
        std::size_t stored;
        int pollLetGo; // pollLetGo_ when they set out
    };
    // `stamp` is the message's service-centre time stamp as received.
    void storeReceivedSms(const SMSMSG& msg, const std::string& stamp,
                          const std::vector<std::int32_t>& recipients, bool polled);
    // A message the exchange hands over again (it missed the acknowledgement):
    // true when its rows are stored already (it is acknowledged again) or on
    // their way (the acknowledgement follows them).
    bool receivedBefore(const SMSMSG& msg, const std::string& stamp);
    // A received message's date, time, number, line and text, as its row
    // holds them, in one text.
    static std::string receivedRowKey(const std::string& date, const std::string& time,
                                      const std::string& number, const std::string& line,
                                      const std::string& body);
    void acknowledgeReceived(const SMSMSG& msg);
    // Every row of a received message is stored or failed: acknowledged when
    // one was stored, else left at the exchange.
    void receivedRowsDone(const ReceivedRows& rows);
    void leaveAtExchange(const SMSMSG& msg, bool polled);
    // Writes the statements, then tells the user's clients of the change.
    // The message's state and line written into the row the key names
    // (a key drawn or one still to be: db::KeyOfRow); its desk hears of it
    // once they are in.
    void handStateUpdates(const SMSMSG& msg, const std::string& key);
    // The updates of one message's row go to the road, named by it; a
    // delivery report's are of the `database` its message is in.
    void writeThenTell(const ::SmsRowId& row, const std::vector<std::string>& updates, std::int32_t userId,
                       const std::string& database = {});
    // Stores the row of a message being sent. The message goes on whatever
    // the database does: while its row is on the road (written now, or
    // waiting for the database) it carries a stand-in key below -1 until
    // the row is written; refused, it goes without a row. True when
    // `answered` follows the row (the road writes it now); false when the
    // request is done now.
    bool storeSentSmsRow(SMSMSG& msg, std::function<void()> answered);
    static bool isStandIn(std::int32_t nId) { return nId < -1; }
    // The row of the message under `standIn` was written (its key given) or
    // refused: the sender's client hears of the row, then of the message's
    // present state.
    void sentRowWritten(std::int32_t standIn, int result, const std::string& key);
    // The message whose row is on its way changed: its row takes the
    // change once written.
    void notePresentState(const SMSMSG& msg, std::int32_t state);
    // The new row's message to its sender's client.
    void announceStored(const SMSMSG& msg);
    // A client's message goes to the send queues.
    void queueClientSms(const SMSMSG& msg);
    // After the database's return, the stored messages left at the exchange
    // for want of it are asked for again.
    void askForUnstoredAgain();

    // The rows of messages the send queues drop.
    class StatusRows : public cCallbackSmsStatus {
      public:
        explicit StatusRows(SmsGateway& gateway) : gateway_(gateway) {}
        void ChgSmsStatus(SMSMSG& message, std::int32_t state) override;
        void HandleSmsSendError(SMSMSG message) override;

      private:
        SmsGateway& gateway_;
    };

    // The road holds the keys of the rows the expected reports name by
    // token, and of no others. Run after the change is handed on: a row
    // that names its message by token then holds the key itself.
    void holdReportedRowKeys();

    void stepLines(bool waitingOnly);
    // A message waits in the main queue or in a line's queue.
    bool messagesToSend() const;
    // The last tick went to the poll, which asked the exchange something.
    bool pollHadTurn_ = false;
    void sendStepOfEveryLine(bool waitingOnly);

    SmsGatewayHost& host_;
    StatusRows statusRows_{*this};
    ExpectedReportKeeper reportKeeper_{SmsEngine};
    std::set<std::string> heldRowKeys_; // tokens
    // A received message was left unacknowledged for want of the database.
    bool unstoredAtExchange_ = false;
    // Received messages whose rows are being written and hold the poll.
    int receivedRowsWriting_ = 0;
    // Counts the times the poll stopped waiting for such rows, the database
    // being away.
    int pollLetGo_ = 0;
    // True when the poll stops waiting for the rows on their way.
    bool letGoOfReceivedRows();
    // The last received message of each exchange identifier of each line
    // (line number, identifier), whether its rows are stored, and whether the
    // exchange answered our acknowledgement: it hands a message over again
    // until then, and may give the identifier to a new message afterwards.
    struct ReceivedMessage {
        SMSMSG msg;
        std::string stamp; // the service-centre time stamp, zone included
        bool stored = false;
        bool taken = false;
    };
    std::map<std::pair<std::int32_t, std::int32_t>, ReceivedMessage> received_;
    // The received rows the earlier run stored last, by receivedRowKey: the
    // users whose rows they are. Read once, as soon as the database can be read.
    std::map<std::string, std::set<std::int32_t>> earlierRunsRows_;
    bool earlierRunsRecalled_ = false;
    // Since when (the process clock's ms, -1: not waiting) the recall waits
    // for the earlier run's received rows, and whether the log said so.
    std::int64_t recallWaitingSince_ = -1;
    bool recallWaitSaid_ = false;
    bool earlierReceivedRowsWritten(db::MainDatabase& database);
    // Messages on their way whose rows are not written yet, by stand-in
    // key: the row as it goes to the database and the message as it is now.
    struct RowOnItsWay {
        SMSMSG row;
        SMSMSG present;
        std::string token; // names its key on the road
    };
    std::map<std::int32_t, RowOnItsWay> rowsOnTheirWay_;
    std::int32_t lastStandIn_ = -1;
    // The followers of rows on the road reach this gateway only while it lives.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace sms
