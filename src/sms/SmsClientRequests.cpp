// The clients' "!SMS&" requests: SEND puts a message in the main queue, FWD
// builds the forward notice for another user.
#include "base/CommandParserGenerator.h"
#include "platform/Clock.h"
#include "platform/WireCodePage.h"
#include "sms/Sms.h"
#include "sms/SmsNumberToken.h"

using sms::detail::readNumber;

namespace {

constexpr std::size_t MaxLineName = 15;
constexpr std::size_t MaxNumber = 15;
constexpr std::size_t MaxSendText = 160;
constexpr std::size_t MaxForwardText = 500;

// Digits only after the leading run of "+" and "0", and at least one.
bool isDestination(const std::string& number) {
    std::size_t i = 0;
    while (i < number.size() && (number[i] == '+' || number[i] == '0'))
        ++i;
    bool digit = false;
    for (; i < number.size(); ++i) {
        if (number[i] < '0' || number[i] > '9')
            return false;
        digit = true;
    }
    return digit;
}

bool keyOrZero(const std::string& field, std::int32_t& value) {
    const auto number = readNumber(field);
    value = number.value;
    return number.value >= 1 || field == "0";
}

bool lengthIn(const std::string& text, std::size_t least, std::size_t most) {
    return text.size() >= least && text.size() <= most;
}

} // namespace

std::size_t SMS::HandleClientSms(const std::string& request, const std::string& idfb, std::uint8_t& result,
                                 std::int32_t& action, SMSMSG& msg) {
    const std::size_t end = request.find('\r');
    action = sms::SMS_ACTION_NONE;
    result = sms::SMS_RESULT_OK;
    const auto fields = CommandParserGenerator::Parse(request, '\\', '&', "\r\n");
    if (fields.size() < 5) {
        result = sms::SMS_RESULT_TOKENS;
        return end;
    }
    if (fields[0] != "!SMS") {
        result = sms::SMS_RESULT_NOT_MINE;
        return end;
    }
    // Fields are wire bytes: limits count them (one byte a character), the
    // record keeps UTF-8.
    if (fields[1] == "SEND") {
        msg.nDir = 1;
        msg.nId = -1;
        msg.nUserId = readNumber(idfb).value;
        StampSmsDateTime(msg);
        msg.sLine = platform::fromWire(fields[2]);
        if (fields[2].size() > MaxLineName) {
            result = sms::ERR_BAD_ARGS_VALUE;
            return end;
        }
        msg.sNumber = platform::fromWire(fields[3]);
        const std::string wireText = sms::Base64Decode(fields[4]);
        msg.sBody = platform::fromWire(wireText);
        // A refused number or text still leaves a failed row for the sender.
        if (!lengthIn(fields[3], 1, MaxNumber) || !isDestination(fields[3])) {
            msg.nState = sms::SMS_STATE_FAILED;
            result = sms::ERR_BAD_ARGS_VALUE;
            return end;
        }
        auto& numbers = NumberProcessor;
        std::uint8_t plan = 0;
        const std::string international = numbers.ToInternational(msg.sNumber, plan);
        msg.sNumber = numbers.ToNational(msg.sNumber);
        sms::SmsPdu& codec = Codec;
        codec.SetDestination(international, plan);
        // A row cannot hold a NUL (a statement would end at it), and no
        // message is sent without its row: the text is refused, and the
        // failed row keeps the rest of it.
        if (wireText.find('\0') != std::string::npos) {
            std::erase(msg.sBody, '\0');
            msg.nState = sms::SMS_STATE_FAILED;
            result = sms::ERR_BAD_ARGS_VALUE;
            return end;
        }
        if (!lengthIn(wireText, 1, MaxSendText) || !codec.SetText(msg.sBody)) {
            msg.nState = sms::SMS_STATE_FAILED;
            result = sms::ERR_BAD_ARGS_VALUE;
            return end;
        }
        msg.sPdu = codec.Serialize(codec.encodePdu());
        if (!msg.sLine.empty())
            msg.iNrLinii = GetLineId(msg.sLine);
        msg.tNotBefore = 0;
        msg.tCreated = static_cast<std::int32_t>(platform::processClock().dateTime().toSecsSinceEpoch());
        msg.nTrials = 0;
        msg.nState = sms::SMS_STATE_IN_PROGRESS;
        action = sms::SMS_ACTION_SND_QUEUED;
        MainQueue.push_back(msg);
        return end;
    }
    if (fields[1] != "FWD") {
        result = sms::ERR_BAD_ARGS_VALUE;
        return end;
    }
    if (fields.size() != 9) {
        result = sms::SMS_RESULT_TOKENS;
        return end;
    }
    bool valid = keyOrZero(fields[2], msg.nId) && keyOrZero(fields[3], msg.nForwardTo);
    if (valid) {
        msg.sDate = platform::fromWire(fields[4]);
        msg.sTime = platform::fromWire(fields[5]);
        valid = lengthIn(fields[4], 1, 15) && lengthIn(fields[5], 1, 8);
    }
    if (valid) {
        msg.sLine = platform::fromWire(fields[6]);
        msg.sNumber = platform::fromWire(fields[7]);
        valid = fields[6].size() <= MaxLineName && lengthIn(fields[7], 1, MaxNumber);
    }
    if (valid) {
        const std::string wireText = sms::Base64Decode(fields[8]);
        msg.sPdu = platform::fromWire(wireText);
        valid = lengthIn(wireText, 1, MaxForwardText);
    }
    if (!valid) {
        result = sms::ERR_BAD_ARGS_VALUE;
        return end;
    }
    action = sms::SMS_ACTION_FWD;
    return end;
}

std::string SMS::BuildSmsForward(const SMSMSG& msg) {
    const std::string wireText = platform::toWire(msg.sPdu);
    return "!SMS&" +
           CommandParserGenerator::Generate({"FWD", std::to_string(msg.nId), std::to_string(msg.nForwardFrom),
                                             msg.sDate, msg.sTime, msg.sLine, msg.sNumber,
                                             sms::Base64Encode(wireText.data(), wireText.size())},
                                            '\\', '&', "\r\n");
}
