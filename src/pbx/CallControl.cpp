// The call-control requests of the clients: each checks its fields in a fixed
// order (the first failure ends it with that check's code), prepares the
// number it dials and queues the command of the PBX family in force in the
// requesting client's chain.
#include "pbx/DialNumbers.h"
#include "pbx/PbxLink.h"

#include "base/DiagnosticLog.h"
#include "base/TraceLabel.h"
#include "platform/WireCodePage.h"

#include <array>
#include <functional>

namespace pbx {

namespace {

constexpr int NoExchangeLinkCode = 8;
// The client has as many commands waiting as it may.
constexpr int CommandsWaitingCode = 9;
constexpr std::size_t NoLimit = std::string_view::npos;

struct FieldRule {
    char mark; // '&', or '\r' for a field that runs to the line end
    int noMarkCode;
    const char* noMarkText;
    std::size_t longest;
    int badCode; // too long, or holding a byte that must not reach the exchange
    const char* tooLongText;
    int emptyCode = 0; // 0: the field may be empty
    const char* emptyText = nullptr;
};

struct RequestRule {
    std::size_t fieldCount;
    std::array<FieldRule, 2> fields;
    int lineEndCode; // when the last field ends with "&": the CR must follow
};

constexpr const char* NoLineEnd = "brak końca linii";

const RequestRule DialRule{2,
                           {{{'&', 1, "brak znacznika numeru użytkownika", 16, 2, "za długi numer abonenta"},
                             {'\r', 3, NoLineEnd, 29, 4, "za długi numer wybierany"}}},
                           0};
const RequestRule OrderRule{2,
                            {{{'&', 1, "brak znacznika numeru użytkownika", 9, 2, "za długi numer abonenta"},
                              {'\r', 3, NoLineEnd, 29, 4, "za długi numer wybierany"}}},
                            0};
const RequestRule TransferRule{
    2,
    {{{'&', 1, "brak znacznika numeru źródła", 9, 2, "za długi numer źródła", 3, "brak numeru źródła"},
      {'&', 4, "brak znacznika numeru celu", 9, 5, "za długi numer celu", 6, "brak numeru celu"}}},
    7};
const RequestRule RedialRule{
    1,
    {{{'&', 1, "brak znacznika numeru uzytkownika dla rediala", 9, 2,
       "za długi numer uzytkownika dla rediala", 3, "brak numeru uzytkownika dla rediala"}}},
    4};
const RequestRule HoldRule{1,
                           {{{'&', 1, "brak znacznika numeru uzytkownika dla HOLD", 9, 2,
                              "za długi numer uzytkownika dla HOLD", 2, "brak numeru uzytkownika dla HOLD"}}},
                           3};
const RequestRule UnholdRule{
    1,
    {{{'&', 1, "brak znacznika numeru uzytkownika dla UNHOLD", 9, 2, "za długi numer uzytkownika dla UNHOLD",
       3, "brak numeru uzytkownika dla UNHOLD"}}},
    4};
const RequestRule SpeakerRule{
    2,
    {{{'&', 1, "brak znacznika numeru uzytkownika dla SPEAKERPHONE", 9, 2,
       "za długi numer uzytkownika dla SPEAKERPHONE", 3, "brak numeru uzytkownika dla SPEAKERPHONE"},
      {'&', 4, "brak parametru ON/OFF", 3, 5, "Niewłaściwa długość parametru przy komendzie SPEAKERPHONE", 6,
       "Zerowa długość parametru przy komendzie SPEAKERPHONE"}}},
    7};

struct CallControlRequest {
    std::array<std::string, 2> fields; // UTF-8
    std::size_t end = 0;               // past the CR (and an LF right after it)
};

// A byte below 0x20 or 0x7F would end or break the command's line; a blank
// would shift the fields of a blank-separated command.
bool safeField(std::string_view field, bool blankSeparated) {
    return std::none_of(field.begin(), field.end(), [&](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F || (blankSeparated && byte == ' ');
    });
}

std::optional<CallControlRequest> refuse(int code, const char* text, int& errorCode) {
    base::WriteLog(2, "%s", text);
    errorCode = code;
    return std::nullopt;
}

// The fields of a request out of `text` (wire bytes from after the keyword's
// "&"); a field never runs past its line's end.
std::optional<CallControlRequest> readRequest(std::string_view text, const RequestRule& rule,
                                              bool blankSeparated, int& errorCode) {
    CallControlRequest request;
    const std::size_t lineEnd = text.find('\r');
    const std::string_view line = text.substr(0, lineEnd);
    std::size_t at = 0;
    for (std::size_t i = 0; i < rule.fieldCount; ++i) {
        const FieldRule& f = rule.fields[i];
        const std::size_t mark = f.mark == '\r' ? lineEnd : line.find('&', at);
        if (mark == std::string_view::npos)
            return refuse(f.noMarkCode, f.noMarkText, errorCode);
        const std::string_view field = text.substr(at, mark - at);
        if (field.size() > f.longest)
            return refuse(f.badCode, f.tooLongText, errorCode);
        if (field.empty() && f.emptyCode != 0)
            return refuse(f.emptyCode, f.emptyText, errorCode);
        if (!safeField(field, blankSeparated))
            return refuse(f.badCode, "niedozwolony znak w polu żądania", errorCode);
        request.fields[i] = platform::fromWire(std::string(field));
        at = mark + 1;
    }
    if (rule.lineEndCode != 0 && lineEnd == std::string_view::npos)
        return refuse(rule.lineEndCode, NoLineEnd, errorCode);
    request.end = lineEnd + 1;
    if (request.end < text.size() && text[request.end] == '\n')
        ++request.end;
    return request;
}

// What a request sends: for a type-5 command that names the call, the text
// after "C03 <call id> ".
struct ExchangeCommand {
    std::string text;
    int timeToLiveMs = 0;
    bool namesCall = false;
};

using CommandOf = std::function<ExchangeCommand(const CallControlRequest&, const CallSettings&)>;

using RequestEnd = PbxLink::RequestEnd;

RequestEnd runCallControl(PbxLink& link, const CallSettings& settings, const char* name,
                          const RequestRule& rule, std::string_view text, int& errorCode,
                          const CommandOf& commandOf) {
    base::TraceScope trace(name);
    // Type 5 sends the numbers of these requests in a blank-separated "C03".
    const bool blankSeparated = settings.pbxType == 5 && &rule != &TransferRule && &rule != &SpeakerRule;
    const std::optional<CallControlRequest> request = readRequest(text, rule, blankSeparated, errorCode);
    if (!request)
        return std::nullopt;
    if (!link.Watek || link.PbxLinkErrorCount.load() >= 5) {
        base::WriteLog(2, "%s: brak połączenia z centralą, komenda nie wysłana", name);
        errorCode = NoExchangeLinkCode;
        return std::nullopt;
    }
    ExchangeCommand command = commandOf(*request, settings);
    if (command.namesCall) {
        ActiveCall* call = link.Calls.FindCallByNumber(request->fields[0]);
        if (!call) {
            base::WriteLog(1, "%s: brak rozmowy numeru %s", name, request->fields[0].c_str());
            return request->end;
        }
        call->End = QDateTime(); // live again
        command.text = "C03 " + call->CallId + " " + command.text;
    }
    // Refused for now, but whole: answered "ERROR", and the client's next
    // requests are read on.
    if (!link.WyslijNumer(command.text, command.timeToLiveMs))
        errorCode = CommandsWaitingCode;
    return request->end;
}

// The type-5 "C03" after its call identifier.
ExchangeCommand callCommand(const std::string& extension, const std::string& digits, int timeToLiveMs = 0) {
    return {extension + " " + digits + "\r", timeToLiveMs, true};
}

ExchangeCommand plainCommand(std::string text) {
    return {std::move(text), 0, false};
}

} // namespace

RequestEnd PbxLink::WybierzNumer(std::string_view text, int& errorCode) {
    return runCallControl(*this, host_.Settings(), "WybierzNumer", DialRule, text, errorCode,
                          [](const CallControlRequest& r, const CallSettings& s) {
                              const std::string number = PrepareDialNumber(r.fields[1], s);
                              if (s.pbxType == 5)
                                  return callCommand(r.fields[0], number, 500);
                              return plainCommand("WN " + r.fields[0] + "&" + number + "&\r");
                          });
}

RequestEnd PbxLink::ZamowRozmowe(std::string_view text, int& errorCode) {
    return runCallControl(*this, host_.Settings(), "ZamowRozmowe", OrderRule, text, errorCode,
                          [](const CallControlRequest& r, const CallSettings& s) {
                              const std::string number = PrepareOrderNumber(r.fields[1], s);
                              if (s.pbxType == 5)
                                  return callCommand(r.fields[0], number);
                              return plainCommand("ZP " + r.fields[0] + "&" + number + "\r");
                          });
}

RequestEnd PbxLink::TransferDzwonka(std::string_view text, int& errorCode) {
    return runCallControl(*this, host_.Settings(), "TransferDzwonka", TransferRule, text, errorCode,
                          [](const CallControlRequest& r, const CallSettings&) {
                              return plainCommand("TD " + r.fields[0] + "&" + r.fields[1] + "&\r");
                          });
}

RequestEnd PbxLink::Redial(std::string_view text, int& errorCode) {
    return runCallControl(*this, host_.Settings(), "Redial", RedialRule, text, errorCode,
                          [](const CallControlRequest& r, const CallSettings& s) {
                              if (s.pbxType == 5)
                                  return callCommand(r.fields[0], s.redialMacro);
                              return plainCommand("WN " + r.fields[0] + "&" + s.redialMacro + "&\r");
                          });
}

RequestEnd PbxLink::Hold(std::string_view text, int& errorCode) {
    return runCallControl(*this, host_.Settings(), "Hold", HoldRule, text, errorCode,
                          [](const CallControlRequest& r, const CallSettings& s) {
                              if (s.pbxType == 5)
                                  return callCommand(r.fields[0], "," + s.holdMacro);
                              return plainCommand("WN " + r.fields[0] + "&," + r.fields[0] + "&\r");
                          });
}

RequestEnd PbxLink::Unhold(std::string_view text, int& errorCode) {
    return runCallControl(*this, host_.Settings(), "Unhold", UnholdRule, text, errorCode,
                          [](const CallControlRequest& r, const CallSettings& s) {
                              if (s.pbxType == 5)
                                  return callCommand(r.fields[0], s.holdMacro);
                              return plainCommand("WN " + r.fields[0] + "&" + r.fields[0] + "&\r");
                          });
}

RequestEnd PbxLink::SpeakerPhone(std::string_view text, int& errorCode) {
    return runCallControl(*this, host_.Settings(), "SpeakerPhone", SpeakerRule, text, errorCode,
                          [](const CallControlRequest& r, const CallSettings& s) {
                              if (s.pbxType == 5)
                                  return plainCommand("SP " + r.fields[0] + "&\r");
                              return plainCommand("SP " + r.fields[0] + "&" + r.fields[1] + "&\r");
                          });
}

} // namespace pbx
