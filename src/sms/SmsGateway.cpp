#include "sms/SmsGateway.h"

#include "base/CommandParserGenerator.h"
#include "base/DiagnosticLog.h"

#include <algorithm>

namespace sms {

SmsGateway::SmsGateway(SmsGatewayHost& host) : host_(host) {
    SmsEngine.SetLogCallback(&host_.LogCallback());
    SmsEngine.SetUserNameCallback(&host_.UserNameCallback());
    SmsEngine.SetStatusCallback(&statusRows_);
    GsmLines.SetLogCallback(&host_.LogCallback());
    GsmLines.SetEngine(&SmsEngine);
}

void SmsGateway::AutomaticResynchronizationTick(int intervalMs, bool gsmListComplete) {
    if (!SmsSettings.UseSms || !SmsSettings.ForceSynchronization) {
        ResynchronizationTicks = 0;
        return;
    }
    if (gsmListComplete && SmsEngine.NeedsResynchronization())
        ++ResynchronizationTicks;
    else
        ResynchronizationTicks = 0;
    if ((intervalMs / 1000) * ResynchronizationTicks >= 3600) {
        base::WriteLog(1, "Automatyczna resynchronizacja listy wiadomości SMS.");
        SmsEngine.ResetSmsPoll(&GsmLines.lines);
        ResynchronizationTicks = 0;
    }
}

void SmsGateway::ManualResynchronization(bool gsmListComplete) {
    if (!SmsSettings.UseSms || !gsmListComplete || !SmsEngine.NeedsResynchronization())
        return;
    base::WriteLog(1, "Ręczna resynchronizacja listy wiadomości SMS.");
    SmsEngine.ResetSmsPoll(&GsmLines.lines);
}

void SmsGateway::StatusRows::ChgSmsStatus(SMSMSG& message, std::int32_t state) {
    gateway_.ChgSmsStatus(message, state);
}

void SmsGateway::StatusRows::HandleSmsSendError(SMSMSG message) {
    gateway_.HandleSmsSendError(std::move(message));
}

void SmsGateway::askForUnstoredAgain() {
    if (!unstoredAtExchange_ || !SmsEngine.NeedsResynchronization() || !host_.MainDatabaseOpen())
        return;
    unstoredAtExchange_ = false;
    base::WriteLog(1, "Ponowny odczyt wiadomości SMS pozostawionych w centrali bez bazy danych.");
    SmsEngine.ResetSmsPoll(&GsmLines.lines);
}

// Rows of received messages that wait for the database's return (their
// commit went unanswered) hold the poll no longer once the main connection
// is given up: their messages stay unacknowledged at the exchange, which
// hands them over again once the database is back, and the other lines are
// asked meanwhile.
bool SmsGateway::letGoOfReceivedRows() {
    if (host_.MainDatabaseOpen())
        return false;
    base::WriteLog(1, "SMS: zapis wiadomości z centrali czeka na bazę danych, odczyt kolejnych linii trwa");
    ++pollLetGo_;
    receivedRowsWriting_ = 0;
    unstoredAtExchange_ = true;
    SmsEngine.PollNextLine();
    return true;
}

bool SmsGateway::PollStep() {
    if (!SmsSettings.UseSms)
        return false;
    askForUnstoredAgain();
    // The timer is off around each step, so that a slow step is not entered
    // again by the next tick.
    std::string request;
    if (!GsmLines.Complete()) {
        host_.EnablePollingTimer(false);
        request = GsmLines.GetGsmRequest();
        if (!request.empty())
            host_.QueueExchangeLine(request, 1000);
        host_.EnablePollingTimer(true);
        return true;
    }
    // Nothing is asked while a received message's rows are written (it is
    // not acknowledged yet), nor on the send step's turn.
    const bool sendersTurn = pollHadTurn_ && messagesToSend();
    pollHadTurn_ = false;
    if ((receivedRowsWriting_ > 0 && !letGoOfReceivedRows()) || SmsEngine.NeedsResynchronization() ||
        sendersTurn)
        return false;
    host_.EnablePollingTimer(false);
    std::int32_t action = SMS_ACTION_NONE;
    SmsEngine.GetSmsRequest(request, action);
    if (!request.empty())
        host_.QueueExchangeLine(request, 1000);
    host_.EnablePollingTimer(true);
    pollHadTurn_ = !request.empty();
    return pollHadTurn_;
}

bool SmsGateway::messagesToSend() const {
    if (SmsEngine.MainQueueSize() > 0)
        return true;
    return std::any_of(SmsEngine.LineQueues.begin(), SmsEngine.LineQueues.end(),
                       [](const auto& line) { return !line.second.empty(); });
}

void SmsGateway::SendStep() {
    stepLines(false);
}

void SmsGateway::WaitStep() {
    stepLines(true);
}

void SmsGateway::stepLines(bool waitingOnly) {
    if (!SmsSettings.UseSms)
        return;
    host_.EnablePollingTimer(false);
    sendStepOfEveryLine(waitingOnly);
    host_.EnablePollingTimer(true);
}

void SmsGateway::sendStepOfEveryLine(bool waitingOnly) {
    SmsEngine.OutTrials = SmsSettings.OutTrials;
    SmsEngine.OutTrialsNoLimit = SmsSettings.OutTrialsNoLimit;
    for (std::size_t i = 0; i < GsmLines.lines.size(); ++i) {
        const std::string line = GsmLines.lines[i].number;
        SMSQUEUEDATA data = SmsEngine.SmsQueueData[line];
        // A line that neither waits nor rests would send: not on this tick.
        if (waitingOnly && data.iWaitingForAck == 0 && data.iTempNotUsed == 0)
            continue;
        SMSMSG message;
        std::int32_t action = SMS_ACTION_NONE;
        const std::string frame = SmsEngine.SendStep(line, data, message, action);
        SmsEngine.SmsQueueData[line] = data;
        switch (action) {
        case SMS_ACTION_SND_ERR:
            HandleSmsSendError(message);
            break;
        case SMS_ACTION_SND_PENDING:
            InsertSmsStatus(message);
            SmsEngine.ReplaceLineQueueHead(line, message);
            break;
        case SMS_ACTION_SND_RETRY:
            SmsEngine.DistributeMainQueue();
            break;
        case SMS_ACTION_SND_FAILED:
            ChgSmsStatus(message, SMS_STATE_FAILED);
            SmsEngine.DistributeMainQueue();
            break;
        default:
            break;
        }
        if (!frame.empty())
            host_.QueueExchangeLine(frame, 1000);
    }
    if (SmsEngine.MainQueueSize() > 0)
        SmsEngine.DistributeMainQueue();
}

void SmsGateway::GsmRecord(const std::string& record) {
    int code = PABX_ACTION_NONE;
    const int result = GsmLines.ParseGsmReply(record, code);
    if (result != CommandParserGenerator::Handled)
        base::WriteLog(1, "Błąd przy obsłudze komendy SMS z centrali: %s",
                       CommandParserGenerator::ErrorText(result).c_str());
    if (code != PABX_ACTION_FINISH)
        return;
    base::WriteLog(1, "PABX_ACTION_FINISH");
    SmsEngine.ResetSmsPoll(&GsmLines.lines);
    host_.SendGsmListToClients(GsmLines.lines);
    SmsEngine.SyncLineQueues(GsmLines.lines);
}

} // namespace sms
