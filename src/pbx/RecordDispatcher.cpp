// The exchange-record dispatcher: takes the lines the link thread received,
// recognises the records in them by their keywords, in a fixed order, and
// hands each to its handler. The lines leave the chain under `event_bufor`
// and are handled after it is released, so that database writes and notices
// never hold up the link thread. They leave a slice at a time, and the event
// loop runs between slices, so that a stream of records never shuts out the
// clients, the timers and the signals.
#include "base/DiagnosticLog.h"
#include "base/TraceLabel.h"
#include "clients/ClientService.h"
#include "db/MainDatabase.h"
#include "pbx/PbxLink.h"
#include "pbx/RecordText.h"
#include "platform/Clock.h"
#include "platform/WireCodePage.h"

#include <algorithm>
#include <array>

namespace pbx {
namespace {

constexpr int VoiceMailErrorLimit = 10;
constexpr int MorvaPbxType = 5;
// Dialled numbers grow no longer than this.
constexpr std::size_t DialledLimit = 30;
constexpr std::size_t DiallingExtensionLimit = 15;
constexpr std::size_t AnsweringExtensionLimit = 29;
// A released line's number is broadcast only when shorter than this.
constexpr std::size_t LineNumberLimit = 4;

// What the modem says on the serial line: logged only with the UART details,
// never copied to the CRM programs.
constexpr std::array<std::string_view, 8> ModemWords = {"1",     "CONNECT", "\nCONNECT", "E 8N1",
                                                        "FRAME", "\nFRAME", "OK",        "\nOK"};

bool isModemWord(std::string_view line) {
    return std::any_of(ModemWords.begin(), ModemWords.end(),
                       [line](std::string_view word) { return line.starts_with(word); });
}

bool details() {
    return base::Switches().chbLogRS.load();
}

bool callTrace() {
    return base::Switches().chbLogDzwonienie.load();
}

} // namespace

char PbxLink::PbxSeparator() const {
    return host_.PbxType() == MorvaPbxType ? 'f' : ',';
}

void PbxLink::DrainReceivedLines() {
    // A handler that runs the event loop must not start a second drain; the
    // first wakes the dispatcher again when it ends with lines waiting.
    if (base::DiagnosticLog::instance().closing.load() != 0 || DrainingReceivedLines)
        return;
    DrainingReceivedLines = true;
    struct DrainEnd {
        bool& draining;
        ~DrainEnd() { draining = false; }
    } drainEnd{DrainingReceivedLines};
    handleSlice();
    if (receivedLinesWait())
        shared_.Wake.WakeDispatcher();
}

// A few batches of lines, for a few milliseconds at most. The call rows of the
// slice are written together before the drain looks for more lines.
void PbxLink::handleSlice() {
    const db::MainRowBatch historyRows;
    const std::int64_t sliceEnd = platform::processClock().nowMs() + DispatchSlice::Ms;
    for (std::size_t batch = 0; batch < DispatchSlice::Batches; ++batch) {
        BuforChain lines = takeReceivedBatch();
        if (lines.empty())
            return;
        if (batch == 0)
            host_.ShowStatusPanel(0, QString::fromStdString(host_.Text("IDS_176")));
        handleBatch(lines);
        if (platform::processClock().nowMs() >= sliceEnd)
            return;
    }
}

// The oldest lines of the chain, a batch at most. Lines stay in the chain
// until their batch is taken, so that the chain's limit holds the link
// thread back however far the dispatcher is behind.
BuforChain PbxLink::takeReceivedBatch() {
    BuforChain batch;
    base::EventLock lock(event_bufor.get());
    if (!lock.owns())
        return batch;
    BuforChain& chain = shared_.ReceivedLines;
    const auto end = chain.begin() + std::ptrdiff_t(std::min(chain.size(), DispatchSlice::Lines));
    batch.assign(std::make_move_iterator(chain.begin()), std::make_move_iterator(end));
    chain.erase(chain.begin(), end);
    return batch;
}

bool PbxLink::receivedLinesWait() {
    base::EventLock lock(event_bufor.get());
    return lock.owns() && !shared_.ReceivedLines.empty();
}

void PbxLink::handleBatch(const BuforChain& lines) {
    // The batch's broadcasts are handed to the sender together.
    TNMUDP::HeldBatch broadcasts(host_.Clients().UdpSocket);
    for (const Bufor& node : lines) {
        shared_.HandledBytes.fetch_add(node.length(), std::memory_order_relaxed);
        handleExchangeLine(node.data);
        if (details())
            base::WriteLog(1, "RS: koniec obsługi komendy");
    }
}

void PbxLink::handleExchangeLine(const std::string& wire) {
    const bool modem = isModemWord(wire);
    if (base::Switches().chbInfoPCTI.load() && (base::Switches().CheckBoxInfoUART.load() || !modem))
        base::WriteLog(1, "CEN->PC <%s>", LogCopy(wire).c_str());
    if (CrmCopy && !modem)
        CrmCopy(wire + "\r\n");
    if (wire.empty())
        return;
    const std::string line = platform::fromWire(wire);
    const CallSettings settings = host_.Settings();
    std::size_t at = 0;
    while (at < line.size()) {
        std::size_t step = 1;
        if (!dispatchRecord(std::string_view(line).substr(at), settings, step))
            return;
        at += step;
    }
}

bool PbxLink::dispatchRecord(std::string_view rest, const CallSettings& settings, std::size_t& step) {
    auto after = [rest](std::size_t keyword) { return rest.substr(keyword); };
    if (rest.starts_with("cti 4")) {
        shared_.LinkState = 3;
        if (details())
            base::WriteLog(1, "centrala zwróciła echo komendy");
        return false;
    }
    if (rest.starts_with("OK")) {
        if (settings.pbxType <= 4 && shared_.LinkState == 2)
            shared_.LinkState = 3;
        if (shared_.LinkState == 3) {
            shared_.LinkState = 1;
            if (details())
                base::WriteLog(1, "połączenie z centralą sprawdzone");
            return false;
        }
        // Read before the answer lets the link thread write the next command.
        const std::string answered = settings.useSms ? shared_.CommandInFlightText() : std::string();
        if (shared_.AnswerCommandInFlight()) {
            if (details())
                base::WriteLog(1, "centrala wykonała komende");
            smsCommandTaken(answered);
        }
        step = 3;
        return true;
    }
    if (rest.starts_with("ERROR")) {
        if (shared_.AnswerCommandInFlight() && details())
            base::WriteLog(1, "Błąd obsługi komendy przez centralę");
        if (rest.starts_with("ERROR 1") && shared_.CommandInFlightText().starts_with("VM ")) {
            if (++ErrorCount1 > VoiceMailErrorLimit)
                host_.DisableVoiceMailPcti();
        }
        step = 9;
        return true;
    }
    const bool morva = settings.pbxType == MorvaPbxType;
    if (rest.starts_with("DW ")) {
        if (!settings.usePctiClip)
            dzwonienie_wew(after(3));
    } else if (rest.starts_with("DM "))
        dzwonienie_miejskie(after(3));
    else if (rest.starts_with("C01 "))
        podn_telefonu(after(4));
    else if (rest.starts_with("C02 ")) {
        if (base::Switches().chbLogKlienci.load())
            base::WriteLog(1, "ODL01 C02");
        odl_telefonu(after(4));
    } else if (rest.starts_with("C03 "))
        dialledCharacter(after(4), false);
    else if (rest.starts_with("C04 "))
        dialledCharacter(after(4), true);
    else if (rest.starts_with("C10 "))
        dzw_telefon(after(4));
    else if (rest.starts_with("C11 "))
        PCTI_dzwoni_miasto(after(4));
    else if (rest.starts_with("C12 ")) {
        // Nothing to do for it.
    } else if (rest.starts_with("C13 "))
        lineReleased(after(4));
    else if (rest.starts_with("C14 "))
        externalTalkBegins(after(4));
    else if (rest.starts_with("C15 "))
        localAnswer(after(4));
    else if (rest.starts_with("VM ")) {
        if (settings.useVoiceMailPcti && !morva)
            voiceMailRecord(rest);
    } else if (rest.starts_with("VB ")) {
        if (settings.useVoiceMailPcti && !morva)
            voiceBoxRecord(rest);
    } else if (rest.starts_with("GWW ")) {
        if (!morva)
            groupRecord(rest);
    } else if (rest.starts_with("SMS ")) {
        if (settings.useSms)
            smsRecord(rest);
    } else if (rest.starts_with("GSM ")) {
        if (settings.useSms)
            gsmRecord(rest);
    } else
        return true;
    return false;
}

// "C03"/"C04": call id, blank, extension, blank, the character it dialled.
void PbxLink::dialledCharacter(std::string_view text, bool secondForm) {
    const std::string id(CallIdOf(text));
    ActiveCall* call = findCall(id, CallLookup::Find);
    if (secondForm && call)
        call->End = QDateTime();
    const std::string_view rest = RestOf(text);
    const std::size_t blank = rest.find(' ');
    if (blank == std::string_view::npos) {
        base::WriteLog(2, "brak znacznika wybieranego numeru");
        return;
    }
    const std::string extension(rest.substr(0, blank));
    const std::size_t length = Characters(extension);
    if (length < 1 || length > DiallingExtensionLimit) {
        base::WriteLog(2, secondForm ? "Nieprawidłowa długość numeru wybierającego cyfry przy komendzie C04"
                                     : "Nieprawidłowa długość numeru wybierającego cyfry przy komendzie C03");
        return;
    }
    const std::string dialled(FirstCharacter(rest.substr(blank + 1)));
    // The extension hung up while dialling.
    if (dialled == "f" && host_.PbxType() != MorvaPbxType) {
        if (!secondForm && (!host_.Settings().usePctiClip || (call && call->TransferActive == 0)))
            odl_telefonu(text.substr(0, text.size() - rest.size() + blank));
        if (call)
            call->TransferActive = 0;
        return;
    }
    if (!call)
        return;
    call->End = QDateTime();
    const std::string separator(1, PbxSeparator());
    if (call->Start.isNull()) {
        if (Characters(call->NumberB) < DialledLimit)
            call->NumberB += dialled;
    } else if (dialled == separator && call->TransferActive == 0) {
        // A transfer begins: the transferring party steps aside.
        if (extension == call->NumberA) {
            call->NumberTransfer = call->NumberA;
            call->NumberA = call->NumberB;
            call->TransferFromA = 1;
            call->NumberB.clear();
        } else if (extension == call->NumberB) {
            call->NumberTransfer = call->NumberB;
            call->TransferFromA = 0;
            call->NumberB.clear();
        }
        call->TransferActive = 1;
    } else if (call->TransferActive == 1 && dialled != separator && Characters(call->NumberB) < DialledLimit)
        call->NumberB += dialled;
}

// "C13": call id, blank, line.
void PbxLink::lineReleased(std::string_view text) {
    OnHookC13(text);
    if (callTrace())
        base::WriteLog(1, "Linia miejska zwolniona");
    if (text.size() < 2)
        return;
    const std::size_t blank = text.find(' ', 1);
    if (blank == std::string_view::npos)
        return;
    const std::string line(text.substr(blank + 1));
    if (Characters(line) < LineNumberLimit)
        broadcast("!CO&" + line + "&3\r\n");
}

// "C14": call id; the external party answered.
void PbxLink::externalTalkBegins(std::string_view text) {
    if (ActiveCall* call = findCall(CallIdOf(text), CallLookup::Find)) {
        call->End = QDateTime();
        if (call->Start.isNull())
            call->Start = platform::processClock().dateTime();
        notifyExtension(call->NumberA,
                        "!DW&" + call->NumberA + "&" + call->NumberB + "&" + call->NumberTransfer + "\r\n");
    }
    if (callTrace())
        base::WriteLog(1, "rozpoczęcie rozmowy (miasto)");
}

// "C15": call id, blank, the extension that answered.
void PbxLink::localAnswer(std::string_view text) {
    const std::string extension(RestOf(text));
    const std::size_t length = Characters(extension);
    if (length < 1 || length > AnsweringExtensionLimit) {
        base::WriteLog(2, "Nieprawidłowa dł. numeru telefonu przy komendzie C15 z centrali");
        return;
    }
    if (ActiveCall* call = findCall(CallIdOf(text), CallLookup::Find, extension)) {
        call->End = QDateTime();
        if (call->NumberA != extension)
            call->NumberB = extension;
        if (call->Start.isNull()) {
            call->Start = platform::processClock().dateTime();
            call->TransferActive = 0;
        }
    }
    notifyExtension(extension, "!ST&" + extension + "&\r\n", true);
    if (callTrace())
        base::WriteLog(1, "rozpoczęcie rozmowy (abonent lokalny)");
}

} // namespace pbx
