// The callable objects through which logic classes (the SMS engine, the
// GSM-line table) log and look up user names without knowing who answers:
// the main window hands them objects implementing these.
#pragma once

#include <cstdarg>
#include <string>

class cCallbackLog {
  public:
    virtual ~cCallbackLog() = default;
    virtual void operator()(const std::string& text) = 0;
};

class cCallbackGetUserName {
  public:
    virtual ~cCallbackGetUserName() = default;
    virtual std::string operator()(const std::string& userId) = 0;
};

// A printf-style log line as the logic classes write it: at most 499
// characters.
std::string FormatCallbackLogLine(const char* format, va_list args);
