// Looking after the call tables: the sweep of ended calls, the list of the
// extensions' states and the dump of the active calls to the log.
#include "base/DiagnosticLog.h"
#include "pbx/PbxLink.h"
#include "pbx/RecordText.h"
#include "ui/Components.h"

namespace pbx {
namespace {

// An ended call keeps its record this long, for the exchange's late records.
constexpr qint64 EndedCallKeptMs = 9000;

std::string dateTimeText(const QDateTime& at) {
    return at.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toStdString();
}

} // namespace

void PbxLink::TimerUsunPolaczeniaTimer() {
    // By full date and time: a call ended just before midnight goes too.
    const QDateTime now = platform::processClock().dateTime();
    for (ActiveCall& call : Calls.ActiveCalls) {
        if (!call.inUse() || call.End.isNull() || call.End.msecsTo(now) <= EndedCallKeptMs)
            continue;
        base::WriteLog(1, "Zwolniono łącznik: %s", ShownInLog(call.CallId).c_str());
        Calls.Release(call);
        call.End = QDateTime();
        if (base::Switches().chbLogDzwonienie.load())
            base::WriteLog(1, "Aktywnych połączeń: %i", Calls.ActiveCallCount);
    }
}

void PbxLink::ShowPhoneStates() {
    QStringList lines;
    for (int row = 0; row < CallTable::PhoneStateRows && Calls.StanTel[row].state != 0; ++row) {
        const PhoneState& phone = Calls.StanTel[row];
        lines << QStringLiteral("%1 Tel:%2, stan: %3")
                     .arg(row)
                     .arg(QString::fromStdString(phone.number))
                     .arg(phone.state);
    }
    ui::TListBox& list = host_.PhoneStateList();
    list.clear();
    list.addItems(lines);
}

void PbxLink::btnShowActiveCallsClick() {
    const std::string stars(66, '*');
    base::WriteLog(1, "*********************** AKTYWNE POŁĄCZENIA ***********************");
    for (const ActiveCall& call : Calls.ActiveCalls) {
        if (!call.inUse())
            continue;
        base::WriteLog(1, "%s", stars.c_str());
        base::WriteLog(1, "ID połączenia: %s, utworzony: %s", ShownInLog(call.CallId).c_str(),
                       dateTimeText(call.Created).c_str());
        base::WriteLog(1, "Numer A: %s, numer B: %s, numer przekazujący: %s",
                       ShownInLog(call.NumberA).c_str(), ShownInLog(call.NumberB).c_str(),
                       ShownInLog(call.NumberTransfer).c_str());
        if (call.Start.isNull())
            base::WriteLog(1, "Czas rozpoczęcia rozmowy: ------------");
        else
            base::WriteLog(1, "Czas rozpoczęcia rozmowy: %s", dateTimeText(call.Start).c_str());
    }
    base::WriteLog(1, "%s", stars.c_str());
}

} // namespace pbx
