#include "pbx/CallTable.h"

#include "base/DiagnosticLog.h"
#include "pbx/RecordText.h"

namespace pbx {
namespace {

constexpr int MorvaPbxType = 5;

void warnNotFound(const std::string& id) {
    if (base::Switches().chbPctiErrors.load())
        base::WriteLog(2, "Ostrzeżenie: nie znaleziony id połączenia: %s (połączenie zakończone?)",
                       ShownInLog(id).c_str());
}

// What changed in the phone-state table: the text names it.
void logPhoneStateChange(const char* change, const std::string& number) {
    if (base::Switches().chbLogKlienci.load())
        base::WriteLog(1, "Zmiana StanTel: %s <%s>", change, ShownInLog(number).c_str());
}

} // namespace

ActiveCall* CallTable::FindCallByNumber(const std::string& number) {
    for (ActiveCall& call : ActiveCalls) {
        if (call.inUse() && (call.NumberA == number || call.NumberB == number))
            return &call;
    }
    return nullptr;
}

ActiveCall* CallTable::FindOrCreateCall(const std::string& id, CallLookup mode, const std::string& number,
                                        int pbxType, const QDateTime& now) {
    // A party is in one call at a time: its older calls are over.
    if (!number.empty()) {
        for (ActiveCall& call : ActiveCalls) {
            if (call.inUse() && call.CallId != id && (call.NumberA == number || call.NumberB == number))
                Release(call);
        }
    }
    const bool morva = pbxType == MorvaPbxType;
    for (ActiveCall& call : ActiveCalls) {
        if (!call.inUse() || call.CallId != id)
            continue;
        const bool stale = !morva && (mode == CallLookup::NewExternal ||
                                      (mode == CallLookup::OffHook && call.NumberB.empty()));
        if (!stale) {
            call.LastRecord = ++RecordsSeen;
            return &call;
        }
        if (base::Switches().chbPctiErrors.load())
            base::WriteLog(2, "Zniszczono istniejący identyfikator połączenia: %s", ShownInLog(id).c_str());
        Release(call);
        if (mode == CallLookup::OffHook)
            return nullptr;
    }
    if (mode == CallLookup::Find) {
        warnNotFound(id);
        return nullptr;
    }
    ActiveCall& call = freeSlot();
    call.CallId = id;
    call.NumberA = number;
    call.NumberB.clear();
    if (!morva)
        call.NumberTransfer.clear();
    // Stamped for both families, so that no sweep takes a live call for a
    // forgotten one.
    call.Created = now;
    call.LastRecord = ++RecordsSeen;
    call.Start = QDateTime();
    call.End = QDateTime();
    call.PartyCount = 0;
    call.TransferActive = 0;
    call.TransferFromA = 0;
    ++ActiveCallCount;
    if (base::Switches().chbLogDzwonienie.load())
        base::WriteLog(1, "Aktywnych połączeń: %i", ActiveCallCount);
    return &call;
}

// Calls that never end (a lost on-hook record, or ids made up by line noise)
// must not shut later calls out of the table.
ActiveCall& CallTable::freeSlot() {
    ActiveCall* silent = &ActiveCalls[0];
    for (ActiveCall& call : ActiveCalls) {
        if (!call.inUse())
            return call;
        if (call.LastRecord < silent->LastRecord)
            silent = &call;
    }
    base::WriteLog(2, "Tabela połączeń pełna: usunięto połączenie %s (%s - %s), utworzone %s",
                   ShownInLog(silent->CallId).c_str(), ShownInLog(silent->NumberA).c_str(),
                   ShownInLog(silent->NumberB).c_str(),
                   silent->Created.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toStdString().c_str());
    Release(*silent);
    return *silent;
}

void CallTable::Release(ActiveCall& call) {
    call.CallId.clear();
    if (ActiveCallCount > 0)
        --ActiveCallCount;
}

PhoneState* CallTable::FindPhoneState(const std::string& number) {
    for (PhoneState& row : StanTel) {
        if (row.state == 0)
            return nullptr;
        if (row.number == number)
            return &row;
    }
    return nullptr;
}

void CallTable::StanTelAdd(const std::string& number, std::int32_t state) {
    if (PhoneState* row = FindPhoneState(number)) {
        row->state = state;
        logPhoneStateChange(state == 1 ? "aktualizacja stanu - zajety" : "aktualizacja stanu - dzwoniacy",
                            number);
        return;
    }
    for (PhoneState& row : StanTel) {
        if (row.state != 0)
            continue;
        row.number = number;
        row.state = state;
        logPhoneStateChange(state == 1 ? "dodanie do listy zajetych" : "dodanie do listy dzwoniacych",
                            number);
        return;
    }
}

void CallTable::StanTelRemove(const std::string& number) {
    for (int i = 0; i < PhoneStateRows; ++i) {
        // A row moved up into place i is looked at again.
        while (StanTel[i].state != 0 && StanTel[i].number == number) {
            logPhoneStateChange("Usuwanie z listy zajetych i dzwoniacych", number);
            for (int j = i; j + 1 < PhoneStateRows; ++j)
                StanTel[j] = std::move(StanTel[j + 1]);
            StanTel[PhoneStateRows - 1] = PhoneState();
        }
        if (StanTel[i].state == 0)
            return;
    }
}

} // namespace pbx
