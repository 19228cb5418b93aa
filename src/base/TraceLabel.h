// The current-routine label: each routine of note writes its name on entry and
// restores its caller's on exit; the exception message box shows it. Kept per
// thread, so no thread can tear another's label.
#pragma once

#include <string>

namespace base {

const char* TraceLabel();
const char* PreviousTraceLabel();
void SetTraceLabel(const char* name);

// Sets the label for its lifetime and restores the caller's afterwards,
// unless an exception leaves the routine: then the label keeps naming the
// routine that failed, for the exception box.
class TraceScope {
  public:
    explicit TraceScope(const char* name);
    ~TraceScope();
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

  private:
    std::string saved_;
    int uncaught_;
};

// The empty trace sink: start banners and lock time-out notes go here.
void DebugTrace(std::string text);

} // namespace base
