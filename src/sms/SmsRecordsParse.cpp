// The exchange's "SMS" records: parts of received messages, the
// acknowledgement, identifiers and delivery reports of sent messages, send
// errors.
#include "base/CommandParserGenerator.h"
#include "platform/Clock.h"
#include "sms/Sms.h"
#include "sms/SmsNumberToken.h"

using sms::detail::readNumber;

namespace {

constexpr std::size_t MaxReassembledOctets = 512;

bool isMessageId(std::int32_t id) {
    return id >= sms::MIN_MSG_ID && id <= sms::MAX_MSG_ID;
}

std::string twoDigits(int value) {
    return value < 10 ? "0" + std::to_string(value) : std::to_string(value);
}

sms::SmsDateTime nowStamp() {
    const QDateTime now = platform::processClock().dateTime();
    const QDate d = now.date();
    const QTime t = now.time();
    return {t.second(), t.minute(), t.hour(), d.day(), d.month(), d.year()};
}

} // namespace

std::string SMS::BuildSmsAck(std::int32_t messageId, std::int32_t lineNumber) {
    return "SMS ACK " + CommandParserGenerator::Generate(
                            {std::to_string(lineNumber), std::to_string(messageId)}, '\\', ' ', "\r");
}

std::uint8_t SMS::ParseSMS(const std::string& record, std::int32_t& action, SMSMSG& msg,
                           std::vector<std::int32_t>& recipients, std::int32_t& reportRowId,
                           std::int32_t& ackLineNumber, std::int32_t& ackMessageId) {
    action = sms::SMS_ACTION_NONE;
    reportRowId = ackLineNumber = ackMessageId = -1;
    const auto tokens = CommandParserGenerator::Parse(record, '\\', ' ', "");
    if (tokens.size() < 4)
        return sms::SMS_RESULT_TOKENS;
    if (tokens[0] != "SMS")
        return sms::SMS_RESULT_NOT_MINE;
    const std::string& keyword = tokens[1];
    const std::vector<S_GSMLINE> noLines;
    const std::vector<S_GSMLINE>& lines = v_gsmlines ? *v_gsmlines : noLines;
    sms::SmsPdu& codec = Codec;

    if (keyword == "PUT" || keyword == "ADD") {
        const bool put = keyword == "PUT";
        if (put) {
            if (bSmsListComplete) {
                SmsLog("kelta_error: bSmsListComplete ERR_BAD_ARGS_VALUE");
                return sms::ERR_BAD_ARGS_VALUE;
            }
            iSmsRequestTicks = 0;
        }
        SSMSBUF& slot = put ? SmsBufPut : SmsBufAdd;
        if (tokens.size() != 7)
            return sms::SMS_RESULT_TOKENS;
        const auto line = readNumber(tokens[2]);
        if (!line.valid) {
            SmsLog("kelta_error: bSmsListComplete ERR_BAD_ARGS_VALUE iNrLinii == 0 && sOut[2]!= %s#",
                   tokens[2].c_str());
            return sms::ERR_BAD_ARGS_VALUE;
        }
        if (line.value < 0) {
            SmsLog("kelta_error: iNrLinii < 0 (%d)", line.value);
            return sms::ERR_BAD_ARGS_VALUE;
        }
        if (!v_gsmlines)
            return sms::SMS_RESULT_OK;
        const bool polledIndexValid =
            iSmsRequestIdx >= 0 && static_cast<std::size_t>(iSmsRequestIdx) < lines.size();
        const bool isPolledLine = polledIndexValid && lines[iSmsRequestIdx].iLoc == line.value;
        std::string lineName;
        if (put) {
            if (!polledIndexValid) {
                SmsLog("kelta_error: this->v_gsmlines->size() < (unsigned int)(iSmsRequestIdx+1)");
                SmsLog("                                         iSmsRequestIdx=%d", iSmsRequestIdx);
                SmsLog("                                      this->v_gsmlines->size()=%d",
                       static_cast<int>(lines.size()));
                return sms::ERR_BAD_ARGS_VALUE;
            }
            if (!isPolledLine) {
                SmsLog("kelta_error: iNrLinii != ((*v_gsmlines)[iSmsRequestIdx]).iLoc");
                SmsLog("                                       iNrLinii=%d", line.value);
                SmsLog("                         ((*v_gsmlines)[iSmsRequestIdx]).iLoc");
                return sms::ERR_BAD_ARGS_VALUE;
            }
            lineName = lines[iSmsRequestIdx].number;
        } else {
            // The polled line's announcements come as the answer to the poll.
            if (bSmsRequestSent && isPolledLine)
                return sms::SMS_RESULT_OK;
            for (const auto& entry : lines) {
                if (entry.iLoc == line.value) {
                    lineName = entry.number;
                    break;
                }
            }
        }
        if (lineName.empty()) {
            SmsLog("kelta_error: sGsmLineNumber == nic");
            return sms::ERR_BAD_ARGS_VALUE;
        }
        const auto id = readNumber(tokens[3]);
        if (!id.valid) {
            SmsLog("kelta_error: idWiad == 0 && sOut[3]!=0 (%s)", tokens[3].c_str());
            return sms::ERR_BAD_ARGS_VALUE;
        }
        if (id.value == -1) {
            // An announcement's end of list moves the poll only for the
            // polled line.
            if ((put || isPolledLine) && PollNextLine())
                action = sms::SMS_ACTION_LIST_COMPLETE;
            return sms::SMS_RESULT_OK;
        }
        const auto part = readNumber(tokens[4]);
        if (!part.valid || part.value < 1) {
            SmsLog("kelta_error: (iPart == 0 && sOut[4]!=0) || iPart <= 0 (%s)", tokens[4].c_str());
            return sms::ERR_BAD_ARGS_VALUE;
        }
        const auto total = readNumber(tokens[5]);
        if (!total.valid || total.value < 1 || total.value < part.value) {
            SmsLog("kelta_error: (iTotalPartCount == 0 && sOut[5]!=0) || iTotalPartCount <= 0 || "
                   "iTotalPartCount "
                   "< iPart");
            return sms::ERR_BAD_ARGS_VALUE;
        }
        if (!isMessageId(id.value)) {
            SmsLog("kelta_error: idWiad < MIN_MSG_ID || idWiad > MAX_MSG_ID (%d)", id.value);
            return sms::ERR_BAD_ARGS_VALUE;
        }
        const std::string data = sms::Base64Decode(tokens[6]);
        if (slot.id == id.value) {
            if (slot.lastpart != part.value - 1) {
                SmsLog("kelta_error: (int)(smsbuf->lastpart) != iPart-1 ((int)(smsbuf->lastpart)=%d)",
                       slot.lastpart);
                SmsLog("                                                                   iPart=%d",
                       part.value);
                slot = SSMSBUF();
                return sms::ERR_BAD_ARGS_VALUE;
            }
            if (slot.total != total.value) {
                SmsLog("kelta_error: (int)(smsbuf->total) != iTotalPartCount ((int)(smsbuf->total))=%d)",
                       slot.total);
                SmsLog(
                    "                                                                   iTotalPartCount=%d",
                    total.value);
                slot = SSMSBUF();
                return sms::ERR_BAD_ARGS_VALUE;
            }
            if (slot.data.size() + data.size() > MaxReassembledOctets) {
                SmsLog("kelta_error: wiadomość dłuższa niż %d oktetów",
                       static_cast<int>(MaxReassembledOctets));
                slot = SSMSBUF();
                return sms::ERR_BAD_ARGS_VALUE;
            }
            slot.data += data;
            slot.lastpart = part.value;
        } else if (part.value != 1) {
            SmsLog("kelta_error: wiadomość o identyfikatorze różnym od spodziewanego iPart=%d", part.value);
            SmsLog("                                                                      idWiad=%d",
                   id.value);
            SmsLog("                                                                      smsbuf->id=%d",
                   slot.id);
            return sms::ERR_BAD_ARGS_VALUE;
        } else {
            slot.id = id.value;
            slot.lastpart = 1;
            slot.total = total.value;
            slot.data = data.substr(0, MaxReassembledOctets);
        }
        if (part.value != total.value)
            return sms::SMS_RESULT_OK;
        if (put)
            bSmsRequestSent = 0;
        const int status = codec.parsePDU(codec.ToHex(slot.data));
        if (status != 0) {
            SmsLog("SMS: Błąd przy dekodowaniu wiadomości odebranej z centrali status=%d", status);
            SmsLog("%s", codec.ToHex(slot.data).c_str());
            // Unacknowledged, the message stays at the exchange: the poll
            // goes on with the next line and finds it again next cycle.
            if (put)
                PollNextLine();
            return sms::ERR_BAD_ARGS_VALUE;
        }
        // A time stamp that names no real moment reads as now.
        const sms::SmsDateTime stamp = codec.GetTimeStamp(nowStamp());
        msg.sDate = std::to_string(stamp.year) + "." + twoDigits(stamp.month) + "." + twoDigits(stamp.day);
        msg.sTime = twoDigits(stamp.hour) + ":" + twoDigits(stamp.minute) + ":" + twoDigits(stamp.second);
        const std::string sender = codec.GetSender();
        msg.sNumber = NumberProcessor.ToNational(sender);
        if (msg.sNumber.empty())
            msg.sNumber = sender;
        msg.sLine = lineName;
        msg.sBody = codec.GetText();
        msg.nState = sms::SMS_STATE_RECEIVED;
        msg.idWiad = slot.id;
        msg.iNrLinii = line.value;
        msg.nDir = 0;
        recipients = SelectRecipients(msg.sNumber, msg.sLine);
        action = sms::SMS_ACTION_RCV;
        slot = SSMSBUF();
        return sms::SMS_RESULT_OK;
    }

    if (keyword == "ACK" || keyword == "ERR") {
        const bool ack = keyword == "ACK";
        if (tokens.size() != (ack ? 4u : 5u))
            return sms::SMS_RESULT_TOKENS;
        const auto line = readNumber(tokens[2]);
        const auto id = readNumber(tokens[3]);
        if (!line.valid || line.value < 0 || !id.valid || !isMessageId(id.value))
            return sms::ERR_BAD_ARGS_VALUE;
        const auto code = ack ? sms::detail::NumberToken{0, true} : readNumber(tokens[4]);
        if (!code.valid)
            return sms::ERR_BAD_ARGS_VALUE;
        const int index = GetLineId(line.value);
        if (index < 0)
            return ack ? sms::ERR_BAD_ARGS_VALUE : sms::SMS_RESULT_OK; // an error of a line gone is dropped
        const std::string& lineName = lines[static_cast<std::size_t>(index)].number;
        auto sendState = SmsQueueData.find(lineName);
        if (ack && (sendState == SmsQueueData.end() || sendState->second.iWaitingForAck == 0))
            return sms::ERR_BAD_ARGS_VALUE;
        auto queue = LineQueues.find(lineName);
        if (queue == LineQueues.end() || queue->second.empty() || queue->second.front().idWiad != id.value)
            return sms::ERR_BAD_ARGS_VALUE;
        const SMSMSG head = queue->second.front();
        if (!ack)
            SmsLog("Błąd przy wysyłaniu wiadomości, kod %d", code.value);
        StampSmsDateTime(msg);
        msg.nId = head.nId;
        msg.nUserId = head.nUserId;
        msg.sNumber = head.sNumber;
        msg.sBody = head.sBody;
        msg.sLine = ack && head.sLine.empty() ? lineName : head.sLine;
        msg.nState = ack && head.nState == sms::SMS_STATE_IN_PROGRESS ? sms::SMS_STATE_IN_PROGRESS
                                                                      : sms::SMS_STATE_SENT;
        msg.nDir = 1;
        msg.idWiad = head.idWiad;
        msg.iNrLinii = line.value;
        if (sendState != SmsQueueData.end()) {
            sendState->second.iWaitingForAck = 0;
            sendState->second.iSentPart = 0;
        }
        queue->second.pop_front();
        if (!ack) {
            SmsLog("SMS_ACTION_SND_ERR w ParseSMS");
            action = sms::SMS_ACTION_SND_ERR;
            return sms::SMS_RESULT_OK;
        }
        if (bDynamicRouting)
            DynamicRouter.Store(msg.sNumber, msg.sLine, msg.nUserId);
        action = sms::SMS_ACTION_SND;
        ackLineNumber = line.value;
        ackMessageId = id.value;
        SetSrcId(line.value, head.nId, head.nUserId);
        DistributeMainQueue();
        return sms::SMS_RESULT_OK;
    }

    if (keyword == "RAPORT_ID") {
        if (tokens.size() < 5)
            return sms::SMS_RESULT_TOKENS;
        const std::int32_t lineNumber = readNumber(tokens[2]).value;
        SMS_RAPORT report;
        report.iIdPC = readNumber(tokens[3]).value;
        report.iIdR = readNumber(tokens[4]).value;
        SmsLog("-SMS RAPORT_ID 0.1");
        if (!v_gsmlines)
            return sms::SMS_RESULT_OK;
        SmsLog("-SMS RAPORT_ID 1");
        const int index = GetLineId(lineNumber);
        SmsLog("-SMS RAPORT_ID 2");
        if (index < 0)
            return sms::ERR_BAD_ARGS_VALUE;
        SmsLog("-SMS RAPORT_ID 3");
        SmsLog("-SMS RAPORT_ID 4");
        const std::string& lineName = lines[static_cast<std::size_t>(index)].number;
        SmsLog("-SMS RAPORT_ID 6");
        auto queue = LineQueues.find(lineName);
        SmsLog("-SMS RAPORT_ID 7");
        if (queue == LineQueues.end())
            return sms::ERR_BAD_ARGS_VALUE;
        SmsLog("-SMS RAPORT_ID 7.1");
        if (queue->second.empty()) {
            SmsLog("-SMS RAPORT_ID 7.2");
            return sms::ERR_BAD_ARGS_VALUE;
        }
        SmsLog("-SMS RAPORT_ID 8");
        const SMSMSG& sent = queue->second.front();
        report.nId = sent.nId;
        report.rowToken = sent.rowToken;
        report.sNumber = sent.sNumber;
        report.iSrcId = -1;
        report.tCreated = platform::processEpochSeconds();
        if (ReportsCallback_)
            report.database = ReportsCallback_->DatabaseOfNewReports();
        SmsLog("-SMS RAPORT_ID 9");
        SmsLog("-SMS RAPORT_ID 10");
        // A newer report on the line takes over its reference; reports that
        // never come are forgotten once their lifetime ran out.
        auto& reports = ExpectedReports[lineNumber];
        reports.remove_if([&](const SMS_RAPORT& old) { return old.iIdR == report.iIdR; });
        reports.push_back(report);
        DropExpiredReports();
        reportsChanged(lineNumber);
        SmsLog("-SMS RAPORT_ID 11");
        return sms::SMS_RESULT_OK;
    }

    if (keyword == "RAPORT") {
        const std::int32_t lineNumber = readNumber(tokens[2]).value;
        SmsBufReport.data = sms::Base64Decode(tokens[3]);
        const int status = codec.parseRaportPDU(codec.ToHex(SmsBufReport.data));
        SmsLog("            MsgRef=%d", codec.messageReference);
        if (status != 0) {
            SmsLog("SMS: Błąd przy dekodowaniu raportu odebranego z centrali status = %d", status);
            SmsLog("%s", codec.ToHex(SmsBufReport.data).c_str());
            return sms::ERR_BAD_ARGS_VALUE;
        }
        const int tpStatus = codec.GetStatus();
        std::int32_t newState = sms::SMS_STATE_SENT;
        if (tpStatus > 63) {
            SmsLog("SMS: Raport SMS - permanent error %d", tpStatus);
        } else if (tpStatus >= 3) {
            SmsLog("SMS: Raport SMS - temporary error %d", tpStatus);
            return sms::SMS_RESULT_OK;
        } else if (tpStatus == 0) {
            newState = sms::SMS_STATE_DELIVERED;
        } else if (tpStatus > 0) {
            SmsLog("SMS RAPORT: rzadki status %d", tpStatus);
        } else {
            SmsLog("SMS RAPORT: dziwna wartość zwrócona przez parseTpSt %d", tpStatus);
        }
        int matched = 0;
        auto found = ExpectedReports.find(lineNumber);
        if (found != ExpectedReports.end()) {
            SMS_RAPORT first;
            auto& reports = found->second;
            for (auto it = reports.begin(); it != reports.end();) {
                if (it->iIdR != codec.messageReference) {
                    ++it;
                    continue;
                }
                if (++matched == 1) {
                    first = *it;
                } else {
                    if (matched == 2) {
                        SmsLog("zdublowany MsgRef? sr.iIdR=%d", first.iIdR);
                        SmsLog("                   sr.nId=%d", first.nId);
                        SmsLog("                   sr.iIdPC=%d", first.iIdPC);
                        SmsLog("                   sr.iSrcId=%d", first.iSrcId);
                    }
                    SmsLog("------------------ sr.iIdR=%d", it->iIdR);
                    SmsLog("                   sr.nId=%d", it->nId);
                    SmsLog("                   sr.iIdPC=%d", it->iIdPC);
                    SmsLog("                   sr.iSrcId=%d", it->iSrcId);
                }
                msg.nState = newState;
                reportRowId = it->nId;
                msg.nUserId = it->iSrcId;
                msg.sNumber = it->sNumber;
                msg.rowToken = it->rowToken;
                msg.database = it->database;
                action = sms::SMS_ACTION_RAPORT;
                it = reports.erase(it);
            }
        }
        if (matched > 0)
            reportsChanged(lineNumber);
        if (matched != 1)
            SmsLog("getMsgRef error? %d", matched);
        return sms::SMS_RESULT_OK;
    }

    return sms::ERR_BAD_ARGS_VALUE;
}
