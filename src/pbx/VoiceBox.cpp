#include "pbx/VoiceBox.h"

#include "base/CommandParserGenerator.h"
#include "base/DiagnosticLog.h"
#include "clients/Klient.h"

#include <algorithm>
#include <array>

namespace pbx {
namespace {

using Fields = CommandParserGenerator::Fields;

Fields requestFields(std::string_view request) {
    return CommandParserGenerator::Parse(std::string(request) + "\r\n");
}

Fields recordTokens(std::string_view record) {
    return CommandParserGenerator::Parse(std::string(record), '\\', ' ', "");
}

// A field that would add a token or a line to the exchange link, or make an
// empty one.
bool unsafeField(const std::string& field) {
    return field.empty() || std::any_of(field.begin(), field.end(), [](char c) {
               const auto byte = static_cast<unsigned char>(c);
               return byte <= 0x20 || byte == 0x7F;
           });
}

// The fields after the request's keyword go to the exchange as they are.
bool fieldsSafe(const Fields& fields) {
    if (std::none_of(fields.begin() + 1, fields.end(), unsafeField))
        return true;
    std::string shown;
    for (const std::string& field : fields)
        shown += "<" + field + ">";
    base::WriteLog(2, "ReceiveClient2ServerCmd: niedozwolony znak lub puste pole, komenda nie wysłana: %s",
                   shown.c_str());
    return false;
}

enum class Asked { VoiceBoxRead, VoiceBoxSet, GroupRead, GroupSet };

// The number's connected client when it is the requester; null (logged) otherwise.
Klient* ownClient(VoiceServiceLink& link, const Klient* requester, const std::string& number, Asked asked) {
    Klient* owner = link.ClientOf(number);
    const char* n = number.c_str();
    if (!owner) {
        if (asked == Asked::VoiceBoxRead || asked == Asked::VoiceBoxSet)
            base::WriteLog(2, "ReceiveClient2ServerCmd nie znaleziono podłączonego klienta %s", n);
        else
            base::WriteLog(2, "ReceiveClient2ServerCmd nie znaleziono klienta %s", n);
        return nullptr;
    }
    if (owner == requester)
        return owner;
    const char* who = requester ? requester->IDFB.c_str() : "";
    switch (asked) {
    case Asked::VoiceBoxRead:
        base::WriteLog(2, "ReceiveClient2ServerCmd próba odczytu nie swojej skrzynki: nrTel:%s przez %s", n,
                       who);
        break;
    case Asked::VoiceBoxSet:
        base::WriteLog(2, "ReceiveClient2ServerCmd próba zmiany nie swojej skrzynki: nrTel:%s przez %s", n,
                       who);
        break;
    case Asked::GroupRead:
        base::WriteLog(2, "ReceiveClient2ServerCmd próba odczytu GWW dla nie swojego nrTel:%s przez %s", n,
                       who);
        break;
    case Asked::GroupSet:
        base::WriteLog(2, "ReceiveClient2ServerCmd próba zmiany GWW dla nie swojego nrTel:%s przez %s", n,
                       who);
        break;
    }
    return nullptr;
}

void noClientFor(const std::string& number) {
    base::WriteLog(1, "Nie znalazlem klienta: nrTel:%s", number.c_str());
}

} // namespace

// ---- VoiceBox ----

int VoiceBox::ExecuteClient2ServerCmd(VoiceServiceLink& link, const Klient* requester,
                                      std::string_view request) {
    base::WriteLog(1, "ReceiveClient2ServerCmd: %s", std::string(request).c_str());
    const Fields fields = requestFields(request);
    if (fields.empty())
        return VoiceRequestNoFields;
    const bool get = fields[0] == "STATE_GET";
    if (!get && fields[0] != "STATE_SET")
        return VoiceRequestUnknown;
    if (fields.size() != (get ? 2u : 3u))
        return VoiceRequestWrongFieldCount;
    if (!fieldsSafe(fields))
        return VoiceRequestDone;
    const std::string& number = fields[1];
    Klient* client = ownClient(link, requester, number, get ? Asked::VoiceBoxRead : Asked::VoiceBoxSet);
    if (!client)
        return VoiceRequestDone;
    if (get) {
        if (availability_ == Disabled) {
            SendStateToClient(link, *client, number, DISABLED);
            return VoiceRequestDone;
        }
        SendServer2PbxCmdGetState(link, number);
        if (availability_ == NotKnown)
            SendStateToClient(link, *client, number, UNKNOWN);
        return VoiceRequestDone;
    }
    if (fields[2] == "ON" || fields[2] == "OFF")
        SendServer2PbxCmdSetState(link, number, fields[2] == "ON");
    else
        base::WriteLog(2, "ReceiveClient2ServerCmd: nieznany stan skrzynki %s", fields[2].c_str());
    return VoiceRequestDone;
}

void VoiceBox::SendServer2PbxCmdGetState(VoiceServiceLink& link, const std::string& number) {
    base::WriteLog(1, "SendServer2PbxCmdGetState: nrTel:%s", number.c_str());
    link.SendToPbx("VB STATE_GET " + number + "\r");
}

void VoiceBox::SendServer2PbxCmdSetState(VoiceServiceLink& link, const std::string& number, bool on) {
    base::WriteLog(1, "SendServer2PbxCmdSetState: nrTel:%s", number.c_str());
    link.SendToPbx("VB STATE_SET " + number + (on ? " ON\r" : " OFF\r"));
}

int VoiceBox::ReceivePbx2ServerCmd(VoiceServiceLink& link, std::string_view record) {
    const Fields tokens = recordTokens(record);
    if (tokens.size() < 3)
        return CommandParserGenerator::WrongFieldCount;
    if (tokens[0] != "VB")
        return CommandParserGenerator::NotMine;
    if (tokens[1] != "STATE_IS")
        return CommandParserGenerator::Handled;
    if (tokens.size() == 3) {
        // The exchange has no voice boxes at all.
        if (tokens[2] == "DISABLED")
            availability_ = Disabled;
        return CommandParserGenerator::Handled;
    }
    if (tokens.size() != 4)
        return CommandParserGenerator::WrongFieldCount;
    const std::string& number = tokens[2];
    Klient* client = link.ClientOf(number);
    if (!client) {
        noClientFor(number);
        return CommandParserGenerator::Handled;
    }
    const std::string& state = tokens[3];
    if (state == "DISABLED") {
        availability_ = Disabled;
        SendStateToClient(link, *client, number, DISABLED);
    } else if (state == "ON" || state == "OFF") {
        availability_ = Present;
        SendStateToClient(link, *client, number, state == "ON" ? ON : OFF);
    } else {
        return CommandParserGenerator::BadValue;
    }
    return CommandParserGenerator::Handled;
}

void VoiceBox::SendStateToClient(VoiceServiceLink& link, Klient& client, const std::string& number,
                                 State state) {
    // Older clients do not know the notice.
    if (!client.Wersja24b)
        return;
    const char* word = state == DISABLED ? "DISABLED" : state == ON ? "ON" : state == OFF ? "OFF" : "UNKNOWN";
    link.SendToClient(client, CommandParserGenerator::Generate({"!VB", "STATE_IS", number, word}));
}

// ---- GWW ----

int GWW::ExecuteClient2ServerCmd(VoiceServiceLink& link, const Klient* requester, std::string_view request) {
    base::WriteLog(1, "ReceiveClient2ServerCmd: %s", std::string(request).c_str());
    const Fields fields = requestFields(request);
    if (fields.empty())
        return VoiceRequestNoFields;
    if (fields[0] != "ABS")
        return VoiceRequestUnknown;
    if (fields.size() < 2 || fields.size() > 4)
        return VoiceRequestWrongFieldCount;
    if (!fieldsSafe(fields))
        return VoiceRequestDone;
    const bool change = fields.size() == 4;
    if (!ownClient(link, requester, fields[1], change ? Asked::GroupSet : Asked::GroupRead))
        return VoiceRequestDone;
    if (fields.size() == 2) {
        SendServer2PbxCmdAbState(link, fields[1]);
    } else if (!change) {
        SendServer2PbxCmdAbState(link, fields[1], fields[2]);
    } else if (fields[3] == "LOG" || fields[3] == "NLO") {
        SendServer2PbxCmdAbState(link, fields[1], fields[2], fields[3] == "LOG" ? LOG : NLO);
    } else {
        base::WriteLog(2, "ReceiveClient2ServerCmd: nieznany stan GWW %s", fields[3].c_str());
    }
    return VoiceRequestDone;
}

void GWW::SendServer2PbxCmdAbState(VoiceServiceLink& link, const std::string& number,
                                   const std::string& group, int state) {
    if (group.empty()) {
        base::WriteLog(1, "SendServer2PbxCmdAbState: nrTel:%s", number.c_str());
        link.SendToPbx("GWW ABS " + number + "\r");
    } else if (state < 0) {
        base::WriteLog(1, "SendServer2PbxCmdAbState: nrTel:%s, nrGr:%s", number.c_str(), group.c_str());
        link.SendToPbx("GWW ABS " + number + " " + group + "\r");
    } else {
        base::WriteLog(1, "SendServer2PbxCmdAbState: nrTel:%s, nrGr:%s, state:%d", number.c_str(),
                       group.c_str(), state);
        link.SendToPbx("GWW ABS " + number + " " + group + (state == LOG ? " LOG\r" : " NLO\r"));
    }
}

int GWW::ReceivePbx2ServerCmd(VoiceServiceLink& link, std::string_view record) {
    static constexpr std::array<std::string_view, 3> States = {"NIG", "LOG", "NLO"};
    const Fields tokens = recordTokens(record);
    if (tokens.size() < 3)
        return CommandParserGenerator::WrongFieldCount;
    if (tokens[0] != "GWW")
        return CommandParserGenerator::NotMine;
    if (tokens[1] != "ABS")
        return CommandParserGenerator::Handled;
    if (tokens.size() != 5)
        return CommandParserGenerator::WrongFieldCount;
    if (!link.ClientOf(tokens[2])) {
        noClientFor(tokens[2]);
        return CommandParserGenerator::Handled;
    }
    // The state is read; no notice goes to the clients.
    if (std::find(States.begin(), States.end(), tokens[4]) == States.end())
        return CommandParserGenerator::BadValue;
    return CommandParserGenerator::Handled;
}

} // namespace pbx
