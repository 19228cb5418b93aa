// The rows of messages being sent. A message leaves for the exchange at once,
// whatever the database does; its row follows it, in turn with the other
// rows, and takes whatever befell the message meanwhile.
#include "base/DiagnosticLog.h"
#include "db/MainDatabase.h"
#include "db/MessageTables.h"
#include "sms/SmsGateway.h"
#include "sms/SmsNumberToken.h"

#include <limits>

namespace sms {

namespace {

void sayGoesWithoutRow(const SMSMSG& msg) {
    base::WriteLog(2, "SMS użytkownika %d do %s nie zapisany w bazie danych, wysyłany bez zapisu",
                   msg.nUserId, msg.sNumber.c_str());
}

} // namespace

void SmsGateway::fillSmsRow(ServiceSmsDB& table, const SMSMSG& msg) {
    table.nDir = std::to_string(msg.nDir);
    table.sDate = msg.sDate;
    table.sTime = msg.sTime;
    table.sNumber = msg.sNumber;
    table.sLine = msg.sLine;
    table.sBody = msg.sBody;
    table.nState = std::to_string(msg.nState);
    table.nUserId = std::to_string(msg.nUserId);
}

bool SmsGateway::storeSentSmsRow(SMSMSG& msg, std::function<void()> answered) {
    // Never an attach on the spot: the desk and every other one would wait.
    const MainAttachLeftToReconnect noWaitHere;
    auto table = db::MainTable<ServiceSmsDB>();
    fillSmsRow(table, msg);
    lastStandIn_ = lastStandIn_ <= std::numeric_limits<std::int32_t>::min() + 1 ? -2 : lastStandIn_ - 1;
    const std::int32_t standIn = lastStandIn_;
    // On its way before it is handed on: its follower may be told at any
    // time after.
    msg.nId = standIn;
    table.RowToken = db::NewRowToken();
    msg.rowToken = table.RowToken;
    rowsOnTheirWay_[standIn] = RowOnItsWay{msg, msg, table.RowToken};
    auto keyGiven = std::make_shared<std::int32_t>(standIn);
    std::weak_ptr<bool> alive = alive_;
    auto answer = std::make_shared<std::function<void()>>(std::move(answered));
    const auto answerNow = [answer] {
        if (*answer)
            std::exchange(*answer, nullptr)();
    };
    const int result = table.InsertDataWithId(
        [this, alive, standIn, keyGiven, answerNow](int written, const std::string& key) {
            if (alive.expired())
                return;
            *keyGiven = written == 0 ? detail::readNumber(key).value : -1;
            sentRowWritten(standIn, written, key);
            answerNow();
        },
        answerNow);
    const bool onItsWay = result == db::RowWrittenLater || result == db::RowKeptForReturn;
    if (onItsWay && rowsOnTheirWay_.contains(standIn)) {
        if (result == db::RowKeptForReturn)
            base::WriteLog(2, "SMS użytkownika %d do %s wysyłany, zapis czeka na bazę danych", msg.nUserId,
                           msg.sNumber.c_str());
        if (result == db::RowWrittenLater)
            return true;
        *answer = nullptr;
        return false;
    }
    *answer = nullptr;
    rowsOnTheirWay_.erase(standIn);
    msg.rowToken.clear();
    // Written (or refused) already, and announced: the message takes its key.
    if (onItsWay) {
        msg.nId = *keyGiven;
        return false;
    }
    msg.nId = -1;
    if (result != 0) {
        sayGoesWithoutRow(msg);
        return false;
    }
    msg.nId = detail::readNumber(table.nId).value;
    announceStored(msg);
    return false;
}

void SmsGateway::sentRowWritten(std::int32_t standIn, int result, const std::string& key) {
    const auto found = rowsOnTheirWay_.find(standIn);
    if (found == rowsOnTheirWay_.end())
        return;
    SMSMSG row = found->second.row;
    SMSMSG present = found->second.present;
    rowsOnTheirWay_.erase(found);
    if (result != 0) {
        sayGoesWithoutRow(row);
        SmsEngine.ReplaceRowKey(standIn, -1);
        holdReportedRowKeys();
        // Acknowledged or failed meanwhile: the row those would have
        // written for a message without one.
        if (present.nState != row.nState)
            insertSmsRowThenAnnounce(present, present.nState);
        return;
    }
    row.nId = detail::readNumber(key).value;
    SmsEngine.ReplaceRowKey(standIn, row.nId);
    holdReportedRowKeys();
    // What befell it meanwhile is on the road behind it already.
    announceStored(row);
}

void SmsGateway::notePresentState(const SMSMSG& msg, std::int32_t state) {
    const auto found = rowsOnTheirWay_.find(msg.nId);
    if (found == rowsOnTheirWay_.end())
        return;
    found->second.present.nState = state;
    if (!msg.sLine.empty())
        found->second.present.sLine = msg.sLine;
    // Journaled behind its insert: neither a stop nor a crash loses it.
    handStateUpdates(found->second.present, db::KeyOfRow(found->second.token));
}

void SmsGateway::insertSmsRowThenAnnounce(SMSMSG msg, std::int32_t state) {
    msg.nState = state;
    const auto announce = [this](bool stored, const SMSMSG& row) {
        if (stored)
            host_.WyslijSmsDodaj(row);
    };
    insertSmsRowThen(msg, msg.nUserId, announce);
}

// A message still queued goes no further: it is named, as rows are.
void SmsGateway::NameUnsentMessages() {
    auto& log = base::DiagnosticLog::instance();
    const auto name = [&](const char* what, const SMSMSG& msg) {
        log.WriteWhileClosing(2, "%s SMS użytkownika %d do %s z %s %s: %s", what, msg.nUserId,
                              msg.sNumber.c_str(), msg.sDate.c_str(), msg.sTime.c_str(), msg.sBody.c_str());
    };
    for (const SMSMSG& msg : SmsEngine.MainQueue)
        name("Nie wysłano", msg);
    for (const auto& [line, queue] : SmsEngine.LineQueues) {
        // The head may be at the exchange already, its answer still out.
        const SMSQUEUEDATA& data = SmsEngine.SmsQueueData[line];
        const bool headOut = data.iWaitingForAck != 0 || data.iSentPart != 0;
        for (std::size_t i = 0; i < queue.size(); ++i)
            name(i == 0 && headOut ? "Bez potwierdzenia centrali" : "Nie wysłano", queue[i]);
    }
}

} // namespace sms
