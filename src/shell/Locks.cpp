// The three locks the GUI thread shares with the exchange link thread and
// with its own re-entrant handlers.
#include "shell/MainForm.h"

#include "base/TraceLabel.h"

std::unique_ptr<platform::Event> event_bufor;

namespace {

std::string timeoutNote(const TForm1& form, const platform::Event* event) {
    if (event == form.event_obslugi.get())
        return "event_obslugi timeout\n";
    if (event == form.event_kolejka.get())
        return "event_kolejka timeout\n";
    if (event == event_bufor.get())
        return "event_bufor timeout\n";
    return "event (other) timeout\n";
}

} // namespace

bool TForm1::CzekajNaEvent(platform::Event* event) {
    if (!event)
        return false;
    const std::string note = timeoutNote(*this, event);
    const auto result = event->take([&note] { base::DebugTrace(note); });
    if (result == platform::Event::TakeResult::NestedOnOwnerThread) {
        WriteLog(2, "%s: ponowne zajęcie przez ten sam wątek", event->name().c_str());
        return false;
    }
    return true;
}

void TForm1::ZwolnijEvent(platform::Event* event) {
    if (event)
        event->release();
}

namespace shell {

EventLock::EventLock(TForm1* form, platform::Event* event)
    : form_(form), event_(event), owns_(form->CzekajNaEvent(event)) {}

EventLock::~EventLock() {
    if (owns_)
        form_->ZwolnijEvent(event_);
}

} // namespace shell
