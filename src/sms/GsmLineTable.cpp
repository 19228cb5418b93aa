#include "sms/GsmLineTable.h"

#include "base/CommandParserGenerator.h"
#include "sms/Sms.h"

#include <cstdarg>

namespace sms {

namespace {

// A line index: digits only, 0 to 15.
bool lineIndex(const std::string& token, std::int32_t& index) {
    if (token.empty() || token.size() > 2)
        return false;
    index = 0;
    for (const char c : token) {
        if (c < '0' || c > '9')
            return false;
        index = index * 10 + (c - '0');
    }
    return index < PABX::LineLimit;
}

} // namespace

void PABX::Reset() {
    lines.clear();
    complete = 0;
    retryCounter = 0;
    waiting = 0;
    currentLine = 0;
}

std::string PABX::GetGsmRequest() {
    if (waiting) {
        ++retryCounter;
        if (retryCounter < 10 || retryCounter % 20 != 0)
            return {};
        if (retryCounter == 40)
            retryCounter = 0;
    } else {
        retryCounter = 0;
    }
    waiting = 1;
    return "GSM GET " + CommandParserGenerator::Generate({std::to_string(currentLine)}, '\\', ' ', "\r");
}

int PABX::ParseGsmReply(const std::string& record, int& code) {
    code = PABX_ACTION_NONE;
    const auto tokens = CommandParserGenerator::Parse(record, '\\', ' ', "");
    if (tokens.size() < 2)
        return CommandParserGenerator::WrongFieldCount;
    if (tokens[0] != "GSM")
        return CommandParserGenerator::NotMine;
    if (tokens[1] == "PUT") {
        waiting = 0;
        if (tokens.size() != 4)
            return CommandParserGenerator::WrongFieldCount;
        std::int32_t index = 0;
        if (!lineIndex(tokens[2], index))
            return CommandParserGenerator::BadValue;
        if (index != currentLine) {
            Reset();
            code = PABX_ACTION_RESET;
            return CommandParserGenerator::BadValue;
        }
        if (tokens[3] == "0") {
            Log("Linia GSM %d nie posiada numeru własnego!", index + 1);
            Log("Zaprogramuj numer własny linii w centrali aby umożliwić wysyłanie/odbiór SMS z CTI przez "
                "linię.");
        } else if (tokens[3] != "-1") {
            const std::string number = NumberProcessor.ToNational(tokens[3]);
            if (number.empty()) {
                Log("Nieprawidłowy numer własny linii GSM %d.", index);
            } else {
                lines.push_back({index, number});
                if (engine_)
                    engine_->InitSmsQueueData(number);
            }
        }
        if (++currentLine >= LineLimit) {
            currentLine = LineLimit;
            complete = 1;
            code = PABX_ACTION_FINISH;
        }
        return CommandParserGenerator::Handled;
    }
    if (tokens[1] == "ADD") {
        Reset();
        code = PABX_ACTION_RESET;
        return CommandParserGenerator::Handled;
    }
    if (tokens[1] == "CLR") {
        if (tokens.size() != 2)
            return CommandParserGenerator::WrongFieldCount;
        Reset();
        return CommandParserGenerator::Handled;
    }
    return CommandParserGenerator::BadValue;
}

void PABX::Log(const char* format, ...) {
    if (!LogCallback)
        return;
    va_list args;
    va_start(args, format);
    const std::string text = FormatCallbackLogLine(format, args);
    va_end(args);
    (*LogCallback)(text);
}

} // namespace sms
