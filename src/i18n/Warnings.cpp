#include "i18n/Warnings.h"

#include <cstdio>
#include <mutex>

namespace i18n {
namespace {
std::mutex sinkMutex;
std::function<void(const std::string&)>& sink() {
    static std::function<void(const std::string&)> s;
    return s;
}
} // namespace

void SetWarningSink(std::function<void(const std::string&)> newSink) {
    std::lock_guard lock(sinkMutex);
    sink() = std::move(newSink);
}

void Warn(const std::string& text) {
    std::function<void(const std::string&)> current;
    {
        std::lock_guard lock(sinkMutex);
        current = sink();
    }
    if (current)
        current(text);
    else
        std::fprintf(stderr, "%s\n", text.c_str());
}
} // namespace i18n
