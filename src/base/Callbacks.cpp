#include "base/Callbacks.h"

#include <cstdio>

std::string FormatCallbackLogLine(const char* format, va_list args) {
    char text[500];
    std::vsnprintf(text, sizeof text, format, args);
    return text;
}
