#include "base/TraceLabel.h"

#include <cstring>
#include <exception>

namespace base {
namespace {

constexpr std::size_t LabelSize = 512;
thread_local char currentLabel[LabelSize] = "";
thread_local char previousLabel[LabelSize] = "";

void copyLabel(char* target, const char* source) {
    if (target == source)
        return;
    const std::size_t length = source ? strnlen(source, LabelSize - 1) : 0;
    std::memmove(target, source ? source : "", length);
    target[length] = '\0';
}

} // namespace

const char* TraceLabel() {
    return currentLabel;
}
const char* PreviousTraceLabel() {
    return previousLabel;
}

void SetTraceLabel(const char* name) {
    copyLabel(previousLabel, currentLabel);
    copyLabel(currentLabel, name);
}

TraceScope::TraceScope(const char* name) : saved_(currentLabel), uncaught_(std::uncaught_exceptions()) {
    SetTraceLabel(name);
}

TraceScope::~TraceScope() {
    if (std::uncaught_exceptions() > uncaught_)
        return;
    copyLabel(currentLabel, saved_.c_str());
}

void DebugTrace(std::string) {}

} // namespace base
