// The exchange's call events: they keep the active calls and the phone
// states, tell the clients (ringing, off-hook and on-hook to all by UDP, the
// caller to the client of the extension by TCP) and decide which finished
// legs become call-history rows.
#include "base/DiagnosticLog.h"
#include "base/TraceLabel.h"
#include "clients/ClientService.h"
#include "pbx/PbxLink.h"
#include "pbx/RecordText.h"
#include "platform/WireCodePage.h"

#include <cmath>

namespace pbx {
namespace {

// Numbers from the exchange are refused from this many characters on.
constexpr std::size_t NumberLimit = 30;
// Parties with at most this many characters are extensions of ours.
constexpr std::size_t ExtensionLimit = 6;
// Callers with at most this many characters are extensions: "!DW", not "!DM".
constexpr std::size_t InternalCallerLimit = 7;
constexpr std::size_t DmLineLimit = 9;
constexpr std::size_t DmPartyLimit = 29;
constexpr int MorvaPbxType = 5;

bool callTrace() {
    return base::Switches().chbLogDzwonienie.load();
}

bool clientTrace() {
    return base::Switches().chbLogKlienci.load();
}

bool isExtension(const std::string& number) {
    const std::size_t length = Characters(number);
    return length >= 1 && length <= ExtensionLimit;
}

std::string cut(std::string_view text, std::size_t limit) {
    std::size_t end = 0;
    for (std::size_t n = 0; n < limit && end < text.size(); ++n)
        end += FirstCharacter(text.substr(end)).size();
    return std::string(text.substr(0, end));
}

QDateTime now() {
    return platform::processClock().dateTime();
}

} // namespace

ActiveCall* PbxLink::findCall(std::string_view id, CallLookup mode, const std::string& number) {
    return Calls.FindOrCreateCall(std::string(id), mode, number, host_.PbxType(), now());
}

void PbxLink::notifyExtension(const std::string& extension, const std::string& text, bool needs2017) {
    Klient* client = Klient::ZnajdzPoWew(extension, host_.UserPhones());
    if (!client || client->Stan == Klient::DISCONNECT || (needs2017 && !client->Wersja2017))
        return;
    host_.Clients().Powiadom(clients::Notice, platform::toWire(text), client->IDFB.c_str(), client->Gniazdo,
                             client->IP);
}

// Call-state notices are not held behind a presence round's broadcasts.
void PbxLink::broadcast(const std::string& text) {
    host_.Clients().UdpSend(text, TNMUDP::Turn::Ahead);
}

void PbxLink::refreshPhoneStates() {
    if (host_.PhoneStatesShowing())
        ShowPhoneStates();
}

// Whole seconds talked, plus one; 0 before the talk began (which begins it)
// and for an extension that was still ringing.
std::uint32_t PbxLink::callLength(ActiveCall& call, bool ringing) {
    const QDateTime at = now();
    if (call.Start.isNull()) {
        call.Start = at;
        return 0;
    }
    if (ringing)
        return 0;
    const qint64 ms = std::max<qint64>(0, call.Start.msecsTo(at));
    return static_cast<std::uint32_t>(ms / 1000 + 1);
}

void PbxLink::podn_telefonu(std::string_view text) {
    base::TraceScope trace("podn_telefonu");
    if (callTrace())
        base::WriteLog(1, "podniesienie telefonu %s", ShownInLog(text).c_str());
    if (text.empty()) {
        if (callTrace())
            base::WriteLog(1, "Zerowa dlugosc komendy C01!");
        return;
    }
    const std::string extension(RestOf(text));
    if (Characters(extension) >= NumberLimit) {
        base::WriteLog(2, "Zbyt dlugi numer przy komendzie C01 z centrali");
        return;
    }
    findCall(CallIdOf(text), CallLookup::OffHook, extension);
    broadcast("!PT&" + extension + "&\r\n");
    Calls.StanTelAdd(extension, 1);
    refreshPhoneStates();
}

void PbxLink::PCTI_dzwoni_miasto(std::string_view text) {
    base::TraceScope trace("PCTI_dzwoni_miasto");
    if (text.empty()) {
        if (callTrace())
            base::WriteLog(1, "podniesienie telefonu %s", ShownInLog(text).c_str());
        return;
    }
    // Line, blank, caller; the line is not kept.
    const std::string_view rest = RestOf(text);
    std::string caller;
    if (const std::size_t blank = rest.find(' '); blank != std::string_view::npos) {
        const std::string_view number = rest.substr(blank + 1);
        caller = std::string(number.substr(0, number.find(' ')));
    }
    findCall(CallIdOf(text), CallLookup::NewExternal, caller);
}

void PbxLink::dzw_telefon(std::string_view text) {
    base::TraceScope trace("dzw_telefon");
    if (callTrace())
        base::WriteLog(1, "dzw. telefon: %s", ShownInLog(text).c_str());
    if (text.empty())
        return;
    const std::string extension(RestOf(text));
    if (Characters(extension) >= NumberLimit) {
        base::WriteLog(1, "Zbyt dlugi numer telefonu przy C10");
        return;
    }
    if (ActiveCall* call = findCall(CallIdOf(text), CallLookup::Find)) {
        call->End = QDateTime();
        ++call->PartyCount;
        if (call->NumberB.empty())
            call->NumberB = extension;
        broadcast("!DZ&" + extension + "&\r\n");
        const CallSettings settings = host_.Settings();
        if (settings.pbxType == MorvaPbxType || settings.usePctiClip) {
            const std::size_t callerLength = Characters(call->NumberA);
            const std::string notice =
                callerLength >= 1 && callerLength <= InternalCallerLimit
                    ? "!DW&" + call->NumberA + "&" + extension + "&" + call->NumberTransfer + "\r\n"
                    : "!DM&1&" + call->NumberA + "&" + extension + "&" + call->NumberTransfer + "\r\n";
            const std::string caller = call->NumberA;
            notifyExtension(caller, notice);
            notifyExtension(extension, notice);
        }
    }
    Calls.StanTelAdd(extension, 2);
    refreshPhoneStates();
}

void PbxLink::odl_telefonu(std::string_view text) {
    base::TraceScope trace("odl_telefonu");
    if (callTrace() || clientTrace())
        base::WriteLog(1, "ODL01 odlozenie telefonu: %s", ShownInLog(text).c_str());
    if (text.empty()) {
        if (clientTrace())
            base::WriteLog(1, "ODL01 wyjdz01 %s", ShownInLog(text).c_str());
        return;
    }
    const std::string extension(RestOf(text));
    if (Characters(extension) >= NumberLimit) {
        if (clientTrace())
            base::WriteLog(1, "ODL01 wyjdz02 %s", ShownInLog(text).c_str());
        base::WriteLog(2, "Zbyt dlugi numer telefonu przy komendzie C02 z centrali");
        return;
    }
    const PhoneState* phone = Calls.FindPhoneState(extension);
    if (!phone) {
        if (clientTrace())
            base::WriteLog(1, "ODL01 wyjdz03 !bFoundActivePhone");
        return;
    }
    const bool ringing = phone->state == 2;
    ActiveCall* call = findCall(CallIdOf(text), CallLookup::Find);
    if (call && call->End.isNull()) {
        if (extension != call->NumberTransfer)
            partyHangsUp(*call, extension, ringing);
        else
            transferringPartyHangsUp(*call, ringing);
    }
    if (clientTrace())
        base::WriteLog(1, "ODL01 wyjdz03 przed UdpSend %s", ShownInLog(extension).c_str());
    broadcast("!OT&" + extension + "&\r\n");
    if (clientTrace())
        base::WriteLog(1, "ODL01 wyjdz03 po UdpSend");
    Calls.StanTelRemove(extension);
    refreshPhoneStates();
}

// A party other than the one that transferred the call hangs up.
void PbxLink::partyHangsUp(ActiveCall& call, const std::string& extension, bool ringing) {
    const bool isA = extension == call.NumberA;
    const bool ringGroupRows = host_.Settings().insertIncomingForRingGroup;
    if (!isA)
        --call.PartyCount;
    // One of several alerted extensions leaves: the call goes on.
    if (call.PartyCount > 0 && (!isA || ringGroupRows)) {
        if (ringGroupRows && !isA)
            SaveIncomingCall(call.NumberA, extension, 0, now());
        return;
    }
    if (!call.NumberB.empty()) {
        if (!call.Start.isNull() && !isA)
            call.NumberB = extension;
        const std::uint32_t length = callLength(call, ringing);
        const std::string& hold = host_.Settings().holdMacro;
        if (call.NumberA != call.NumberB && call.NumberB != hold) {
            if (isExtension(call.NumberA))
                SaveOutgoingCall(call.NumberA, call.NumberB, length, call.Start);
            const std::string& answered = isA ? call.NumberB : extension;
            if (Characters(answered) <= ExtensionLimit)
                SaveIncomingCall(call.NumberA, answered, length, call.Start);
        }
    }
    // While a transfer is dialled only A ends the call.
    if (call.TransferActive == 0 || isA)
        call.End = now();
}

// The party that transferred the call hangs up: its leg is written, and the
// transferred leg counts from here. The transfer is done then, so whichever
// of the two left on the call hangs up first ends it; otherwise the other's
// later hang-up would write the same leg a second time.
void PbxLink::transferringPartyHangsUp(ActiveCall& call, bool ringing) {
    const std::uint32_t length = callLength(call, ringing);
    if (call.TransferFromA)
        SaveOutgoingCall(call.NumberTransfer, call.NumberA, length, call.Start);
    else
        SaveIncomingCall(call.NumberA, call.NumberTransfer, length, call.Start);
    call.Start = now();
    call.TransferActive = 0;
    if (call.PartyCount > 0)
        --call.PartyCount;
}

void PbxLink::OnHookC13(std::string_view text) {
    base::TraceScope trace("odl_telefonu");
    if (callTrace())
        base::WriteLog(1, "odlozenie telefonu telefonu %s", ShownInLog(text).c_str());
    if (text.empty()) {
        if (callTrace())
            base::WriteLog(1, "odlozenie telefonu %s", ShownInLog(text).c_str());
        return;
    }
    if (Characters(RestOf(text)) >= NumberLimit) {
        base::WriteLog(2, "Zbyt dlugi numer LM przy komendzie C13 z centrali");
        return;
    }
    ActiveCall* call = findCall(CallIdOf(text), CallLookup::Find);
    if (!call || !call->End.isNull())
        return;
    const std::uint32_t length = callLength(*call, false);
    // The same party rules as an on-hook: no row for a party that is not ours.
    if (isExtension(call->NumberA))
        SaveOutgoingCall(call->NumberA, call->NumberB, length, call->Start);
    if (isExtension(call->NumberB))
        SaveIncomingCall(call->NumberA, call->NumberB, length, call->Start);
    call->End = now();
    if (call->PartyCount != 0) {
        const std::string answered = call->NumberB;
        broadcast("!OT&" + answered + "&\r\n");
        Calls.StanTelRemove(answered);
        refreshPhoneStates();
    }
}

void PbxLink::dzwonienie_miejskie(std::string_view text) {
    base::TraceScope trace("dzwonienie_miejskie");
    if (callTrace())
        base::WriteLog(1, "dzwonienie miejskie %s", ShownInLog(text).c_str());
    // Line "&" caller "&" extension "&".
    if (text.empty() || text.back() != '&')
        return;
    const std::size_t first = text.find('&');
    const std::size_t second = first == std::string_view::npos ? first : text.find('&', first + 1);
    if (second == std::string_view::npos || second + 1 >= text.size())
        return;
    const std::size_t third = text.find('&', second + 1);
    const std::string line = cut(text.substr(0, first), DmLineLimit);
    const std::string caller = cut(text.substr(first + 1, second - first - 1), DmPartyLimit);
    const std::string extension = cut(text.substr(second + 1, third - second - 1), DmPartyLimit);

    Klient* client = Klient::ZnajdzPoWew(extension, host_.UserPhones());
    if (client && client->Stan == Klient::DISCONNECT)
        return;
    const std::string unknownName = host_.Text("IDS_144");
    const std::string noAddress = host_.Text("IDS_145");
    const std::string name = client ? client->Nazwa : unknownName;
    const std::string address = client ? client->IP : noAddress;
    if (callTrace())
        base::WriteLog(1, "Dzwoni abonent [%s] z linii %s do abonenta %s(%s) IP=%s",
                       ShownInLog(caller).c_str(), ShownInLog(line).c_str(), name.c_str(),
                       ShownInLog(extension).c_str(), address.c_str());
    if (address == noAddress || name == unknownName) {
        if (callTrace())
            base::WriteLog(1, address == noAddress ? "nieznany adres komputera "
                                                   : "nieznany numer wewnętrzny abonenta wybieranego");
        return;
    }
    if (host_.Settings().usePctiClip && !callerNotTransferred(caller))
        return;
    host_.Clients().Powiadom(clients::Notice,
                             platform::toWire("!DM&" + line + "&" + caller + "&" + extension + "&\r\n"),
                             client->IDFB.c_str(), client->Gniazdo, client->IP);
}

// With the caller shown by the call events, "DM" only speaks for a caller's
// live call that was not transferred (the transfer's own notice tells).
// Freed slots count too: they keep their numbers.
bool PbxLink::callerNotTransferred(const std::string& caller) const {
    for (const ActiveCall& call : Calls.ActiveCalls) {
        if (call.NumberA == caller && call.End.isNull())
            return call.NumberTransfer.empty();
    }
    return false;
}

void PbxLink::dzwonienie_wew(std::string_view text) {
    base::TraceScope trace("dzwonienie_wew");
    if (callTrace())
        base::WriteLog(1, "dzwonienie wewnętrzne %s", ShownInLog(text).c_str());
    if (text.empty())
        return;
    if (text.back() != '&') {
        if (callTrace())
            base::WriteLog(1, text.size() >= 3 ? "obsługa crc nie włączona" : "zły format linii");
        return;
    }
    // Extension a "&" extension b "&".
    const std::size_t first = text.find('&');
    if (first == text.size() - 1)
        return;
    const std::string_view a = text.substr(0, first);
    const std::string_view b = text.substr(first + 1, text.size() - first - 2);
    if (Characters(a) > DmPartyLimit || Characters(b) > DmPartyLimit)
        return;
    if (callTrace())
        base::WriteLog(1, "dzwoni abonent %s do abonenta %s", ShownInLog(a).c_str(), ShownInLog(b).c_str());
    const std::string notice = "!DW&" + std::string(a) + "&" + std::string(b) + "&\r\n";
    notifyExtension(std::string(a), notice);
    notifyExtension(std::string(b), notice);
}

} // namespace pbx
