#include "base/EventLock.h"

#include "base/DiagnosticLog.h"
#include "base/TraceLabel.h"

namespace base {
namespace {

bool take(platform::Event* event, EventLock::Nested nested) {
    if (!event)
        return false;
    if (nested == EventLock::Nested::Covered && event->heldByCurrentThread())
        return false;
    const std::string note = event->name() + " timeout\n";
    const auto result = event->take([&note] { DebugTrace(note); });
    if (result == platform::Event::TakeResult::NestedOnOwnerThread) {
        WriteLog(2, "%s: ponowne zajęcie przez ten sam wątek", event->name().c_str());
        return false;
    }
    return true;
}

} // namespace

bool TakeEvent(platform::Event* event) {
    return take(event, EventLock::Nested::Refused);
}

void ReleaseEvent(platform::Event* event) {
    if (event)
        event->release();
}

EventLock::EventLock(platform::Event* event, Nested nested) : event_(event), owns_(take(event, nested)) {}

EventLock::~EventLock() {
    if (owns_)
        ReleaseEvent(event_);
}

} // namespace base
