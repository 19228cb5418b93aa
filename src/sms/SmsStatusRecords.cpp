// The gateway's side of the engine's actions: the rows of table Sms, the
// notices to the clients and the acknowledgement to the exchange.
#include "base/CommandParserGenerator.h"
#include "base/DiagnosticLog.h"
#include "db/MainDatabase.h"
#include "db/MessageTables.h"
#include "db/SqlText.h"
#include "platform/Clock.h"
#include "sms/SmsGateway.h"
#include "sms/SmsNumberToken.h"

#include <algorithm>
#include <cctype>

namespace sms {

namespace {

// A key names the message's row only in the database it was drawn in: a
// restore may have given it to another message.
SmsIdentity identityOf(const SMSMSG& msg) {
    return {msg.sNumber};
}

} // namespace

void SmsGateway::insertSmsRowThen(SMSMSG msg, std::int32_t userId, RowStored then) {
    const MainAttachLeftToReconnect noWaitHere;
    auto table = db::MainTable<ServiceSmsDB>();
    msg.nUserId = userId;
    fillSmsRow(table, msg);
    std::weak_ptr<bool> alive = alive_;
    const auto written = [alive, msg, then](int result, const std::string& key) {
        if (alive.expired())
            return;
        SMSMSG stored = msg;
        if (result == 0)
            stored.nId = detail::readNumber(key).value;
        then(result == 0, stored);
    };
    const int result = table.InsertDataWithId(written);
    if (result != db::RowWrittenLater && result != db::RowKeptForReturn)
        written(result, table.nId);
}

void SmsGateway::InsertSmsStatus(SMSMSG& msg) {
    if (msg.nId >= 0)
        return;
    if (isStandIn(msg.nId))
        notePresentState(msg, msg.nState);
    else
        storeSentSmsRow(msg, {});
}

void SmsGateway::announceStored(const SMSMSG& msg) {
    base::WriteLog(1, "InsertSmsStatus msg->nState=%d", msg.nState);
    base::WriteLog(1, "                msg->nId=%d", msg.nId);
    host_.WyslijSmsDodaj(msg);
}

// A message whose row the database refused goes all the same, rather than
// being lost: its row is tried again when the exchange acknowledges it.
void SmsGateway::queueClientSms(const SMSMSG& msg) {
    SmsEngine.MainQueue.push_back(msg);
    SmsEngine.DistributeMainQueue();
}

void SmsGateway::ChgSmsStatus(SMSMSG& msg, std::int32_t state) {
    msg.nState = state;
    base::WriteLog(1, "ChgSmsStatus");
    base::WriteLog(1, "            nState=%d", state);
    if (isStandIn(msg.nId))
        notePresentState(msg, state);
    if (msg.nId < 0)
        return;
    handStateUpdates(msg, std::to_string(msg.nId));
}

void SmsGateway::handStateUpdates(const SMSMSG& msg, const std::string& key) {
    const ::SmsRowId row{key};
    writeThenTell(row,
                  {ServiceSmsDB::StatusUpdate(::SmsState{std::to_string(msg.nState)}, row, identityOf(msg)),
                   ServiceSmsDB::LineUpdate(::SmsLine{msg.sLine}, row, identityOf(msg))},
                  msg.nUserId);
}

// The client reads the row itself: it hears of the change once it is there.
void SmsGateway::writeThenTell(const ::SmsRowId& row, const std::vector<std::string>& updates,
                               std::int32_t userId, const std::string& database) {
    std::vector<db::RoadRow> rows = ServiceSmsDB::RowChanges(row, updates);
    for (db::RoadRow& update : rows)
        update.home = database;
    std::weak_ptr<bool> alive = alive_;
    db::WriteMainRowsThen(std::move(rows), [this, alive, userId] {
        if (!alive.expired())
            host_.SendSmsChg(userId);
    });
}

void SmsGateway::HandleSmsSendError(SMSMSG msg) {
    base::WriteLog(1, "HandleSmsSendError 1");
    // A message with a row of its own (or one on its way): that row fails.
    if (msg.nId >= 0 || isStandIn(msg.nId)) {
        ChgSmsStatus(msg, SMS_STATE_FAILED);
        return;
    }
    insertSmsRowThenAnnounce(msg, SMS_STATE_FAILED);
}

bool SmsGateway::receivedBefore(const SMSMSG& msg, const std::string& stamp) {
    const auto found = received_.find({msg.iNrLinii, msg.idWiad});
    // An identifier the exchange gave to another message since is a new one,
    // and so is any once the exchange took our acknowledgement.
    if (found == received_.end() || found->second.taken || found->second.msg.sNumber != msg.sNumber ||
        found->second.msg.sBody != msg.sBody || found->second.stamp != stamp ||
        found->second.msg.sLine != msg.sLine)
        return false;
    if (!found->second.stored) {
        base::WriteLog(1, "SMS: wiadomość %d z linii %d ponownie z centrali, jest zapisywana", msg.idWiad,
                       msg.iNrLinii);
        return true;
    }
    base::WriteLog(1, "SMS: wiadomość %d z linii %d ponownie z centrali, już zapisana", msg.idWiad,
                   msg.iNrLinii);
    acknowledgeReceived(msg);
    return true;
}

namespace {

// The numbers of a date or time text, whatever joins them.
std::string numbersOf(const std::string& text) {
    std::string numbers;
    for (std::size_t at = 0; at < text.size();) {
        if (!std::isdigit(static_cast<unsigned char>(text[at]))) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
            ++end;
        numbers += std::to_string(std::stoi(text.substr(at, std::min<std::size_t>(end - at, 9)))) + ".";
        at = end;
    }
    return numbers;
}

} // namespace

std::string SmsGateway::receivedRowKey(const std::string& date, const std::string& time,
                                       const std::string& number, const std::string& line,
                                       const std::string& body) {
    const char separator = '\x1f';
    return numbersOf(date) + separator + numbersOf(time) + separator + TrimSqlValue(number) + separator +
           TrimSqlValue(line) + separator + TrimSqlValue(body);
}

// The received rows the earlier run left on the road hold the recall until
// they are in (its other rows do not); a wait past a minute names them.
bool SmsGateway::earlierReceivedRowsWritten(db::MainDatabase& database) {
    const std::vector<std::string> left = database.Road().EarlierRowsLeft(ServiceSmsDB::IsReceivedRowInsert);
    if (left.empty()) {
        recallWaitingSince_ = -1;
        return true;
    }
    const std::int64_t now = platform::processClock().nowMs();
    if (recallWaitingSince_ < 0)
        recallWaitingSince_ = now;
    if (recallWaitSaid_ || now - recallWaitingSince_ < RecallWaitSaidAfterMs)
        return false;
    recallWaitSaid_ = true;
    for (const std::string& row : left)
        base::WriteLog(2, "SMS odebrane zostają w centrali, czekają na zapis z poprzedniej pracy: %s",
                       row.c_str());
    return false;
}

void SmsGateway::RecallEarlierRunsReceived() {
    auto* database = db::MainDatabase::Current();
    if (earlierRunsRecalled_ || !host_.MainDatabaseOpen() ||
        (database && !earlierReceivedRowsWritten(*database)))
        return;
    const MainAttachLeftToReconnect noWaitHere;
    auto table = db::MainTable<ServiceSmsDB>();
    std::vector<QueryRow> rows;
    if (table.ReadLastReceivedRows(EarlierRunRowsRecalled, rows) != 0)
        return;
    earlierRunsRecalled_ = true;
    for (QueryRow& row : rows)
        earlierRunsRows_[receivedRowKey(row["SDATE"], row["STIME"], row["SNUMBER"], row["SLINE"],
                                        row["SBODY"])]
            .insert(detail::readNumber(row["NUSERID"]).value);
}

// Never dropped for waiting: unacknowledged, the exchange would hand the
// message over again.
void SmsGateway::acknowledgeReceived(const SMSMSG& msg) {
    host_.QueueExchangeLine(SMS::BuildSmsAck(msg.idWiad, msg.iNrLinii), SmsGatewayHost::NeverStale);
}

void SmsGateway::AcknowledgementTaken(const std::string& frame) {
    const std::string_view head = "SMS ACK ";
    if (!frame.starts_with(head))
        return;
    const std::string rest = frame.substr(head.size());
    const std::size_t blank = rest.find(' ');
    if (blank == std::string::npos)
        return;
    const auto found = received_.find(
        {detail::readNumber(rest.substr(0, blank)).value, detail::readNumber(rest.substr(blank + 1)).value});
    // Only a message whose acknowledgement went: one still being stored
    // under that identifier is not the one the answer is about.
    if (found != received_.end() && found->second.stored)
        found->second.taken = true;
}

void SmsGateway::storeReceivedSms(const SMSMSG& msg, const std::string& stamp,
                                  const std::vector<std::int32_t>& recipients, bool polled) {
    if (receivedBefore(msg, stamp))
        return;
    // Not read at the attach (the read failed): read before it is needed.
    RecallEarlierRunsReceived();
    // Unread, a message stored before a restart would be stored twice: it
    // stays at the exchange, which hands it over again later.
    if (!earlierRunsRecalled_) {
        leaveAtExchange(msg, polled);
        return;
    }
    std::vector<std::int32_t> users = recipients.empty() ? std::vector<std::int32_t>{0} : recipients;
    // An identifier first met in this run may bring a message the earlier
    // run stored: only the rows it lacks are stored.
    const auto earlier = received_.contains({msg.iNrLinii, msg.idWiad})
                             ? decltype(earlierRunsRows_)::node_type()
                             : earlierRunsRows_.extract(
                                   receivedRowKey(msg.sDate, msg.sTime, msg.sNumber, msg.sLine, msg.sBody));
    if (!earlier.empty()) {
        std::erase_if(users, [&](std::int32_t user) { return earlier.mapped().contains(user); });
        if (users.empty()) {
            base::WriteLog(
                1, "SMS: wiadomość %d z linii %d ponownie z centrali, zapisana przed ponownym startem",
                msg.idWiad, msg.iNrLinii);
            received_[{msg.iNrLinii, msg.idWiad}] = ReceivedMessage{msg, stamp, true, false};
            acknowledgeReceived(msg);
            return;
        }
    }
    received_[{msg.iNrLinii, msg.idWiad}] = ReceivedMessage{msg, stamp, false, false};
    // The poll waits meanwhile: asked again before its acknowledgement, the
    // exchange would hand the same message over twice.
    ++receivedRowsWriting_;
    auto rows = std::make_shared<ReceivedRows>(ReceivedRows{msg, polled, users.size(), 0, pollLetGo_});
    for (std::int32_t user : users)
        insertSmsRowThen(msg, user, [this, rows, user](bool stored, SMSMSG row) {
            if (stored && user != 0) {
                row.nUserId = user;
                host_.WyslijSmsDodaj(row);
            }
            rows->stored += stored ? 1 : 0;
            if (--rows->left == 0)
                receivedRowsDone(*rows);
        });
}

void SmsGateway::receivedRowsDone(const ReceivedRows& rows) {
    // Rows the poll let go of were counted off then, and moved it on.
    const bool heldThePoll = rows.pollLetGo == pollLetGo_;
    if (heldThePoll)
        --receivedRowsWriting_;
    const SMSMSG& msg = rows.msg;
    if (rows.stored > 0) {
        received_[{msg.iNrLinii, msg.idWiad}].stored = true;
        acknowledgeReceived(msg);
        return;
    }
    received_.erase({msg.iNrLinii, msg.idWiad});
    base::WriteLog(1, "SMS: wiadomość %d z linii %d nie zapisana", msg.idWiad, msg.iNrLinii);
    if (!host_.MainDatabaseOpen())
        unstoredAtExchange_ = true;
    if (rows.polled && heldThePoll)
        SmsEngine.PollNextLine();
}

// Unacknowledged, the message stays at the exchange: the poll goes on with
// the next line, and asks again once the database is back.
void SmsGateway::leaveAtExchange(const SMSMSG& msg, bool polled) {
    base::WriteLog(1, "SMS: wiadomość %d z linii %d zostaje w centrali do odczytu bazy danych", msg.idWiad,
                   msg.iNrLinii);
    unstoredAtExchange_ = true;
    if (polled)
        SmsEngine.PollNextLine();
}

void SmsGateway::HandleSmsRecord(const std::string& record) {
    std::int32_t action = SMS_ACTION_NONE, reportRowId = -1, ackLine = -1, ackId = -1;
    SMSMSG msg;
    std::vector<std::int32_t> recipients;
    const int result = SmsEngine.ParseSMS(record, action, msg, recipients, reportRowId, ackLine, ackId);
    if (result != SMS_RESULT_OK) {
        base::WriteLog(1, "Błąd przy obsłudze komendy SMS z centrali: %s",
                       CommandParserGenerator::ErrorText(result).c_str());
        return;
    }
    switch (action) {
    case SMS_ACTION_RCV:
        storeReceivedSms(msg, SmsEngine.Codec.timeStamp, recipients, record.starts_with("SMS PUT"));
        break;
    case SMS_ACTION_SND:
        base::WriteLog(1, "SMS_ACTION_SND msg.nState=%d", msg.nState);
        // The row key, not the state, says whether the message has a row.
        if (msg.nId >= 0 || isStandIn(msg.nId))
            ChgSmsStatus(msg, SMS_STATE_SENT);
        else
            insertSmsRowThenAnnounce(msg, SMS_STATE_SENT);
        break;
    case SMS_ACTION_RAPORT:
        base::WriteLog(1, "SMS_ACTION_RAPORT msg.nState=%d", msg.nState);
        base::WriteLog(1, "                  nId=%d", reportRowId);
        if (isStandIn(reportRowId)) {
            SMSMSG reported = msg;
            reported.nId = reportRowId;
            notePresentState(reported, msg.nState);
        } else if (reportRowId > -1 || !msg.rowToken.empty()) {
            // Kept by an earlier run before its row had a key: the token
            // names the row, and the road puts its key in.
            const std::string key =
                reportRowId > -1 ? std::to_string(reportRowId) : db::KeyOfRow(msg.rowToken);
            writeThenTell(::SmsRowId{key},
                          {ServiceSmsDB::StatusUpdate(::SmsState{std::to_string(msg.nState)}, ::SmsRowId{key},
                                                      identityOf(msg))},
                          msg.nUserId, msg.database);
        }
        break;
    case SMS_ACTION_SND_ERR:
        HandleSmsSendError(msg);
        break;
    default:
        break;
    }
    holdReportedRowKeys();
}

bool SmsGateway::HandleClientSmsRequest(const std::string& request, const std::string& idfb,
                                        std::function<void()> answered) {
    std::uint8_t result = SMS_RESULT_OK;
    std::int32_t action = SMS_ACTION_NONE;
    SMSMSG msg;
    const std::size_t end = SmsEngine.HandleClientSms(request, idfb, result, action, msg);
    if (result == SMS_RESULT_OK && action == SMS_ACTION_SND_QUEUED) {
        base::WriteLog(1, "SMS_ACTION_SND_QUEUED -> InsertSmsStatus(&ReturnMsg)");
        // Out of the queue while its row is stored, back in it at once with
        // the row's key or a stand-in: it is sent whatever the database does.
        SmsEngine.MainQueue.pop_back();
        const bool answerFollowsRow = storeSentSmsRow(msg, std::move(answered));
        queueClientSms(msg);
        return answerFollowsRow;
    }
    if (result == SMS_RESULT_OK && action == SMS_ACTION_FWD) {
        msg.nForwardFrom = detail::readNumber(idfb).value;
        host_.SendSmsForward(msg.nForwardTo, SMS::BuildSmsForward(msg));
        return false;
    }
    const std::string from = end == std::string::npos ? std::string() : request.substr(end);
    base::WriteLog(1, "ERROR_SMS_PARSE %d %s %s", result, from.c_str(), request.c_str());
    // A send refused for its number or text is the sender's failed message.
    if (msg.nDir == 1 && msg.nState == SMS_STATE_FAILED)
        HandleSmsSendError(msg);
    return false;
}

} // namespace sms
