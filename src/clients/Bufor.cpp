#include "clients/Bufor.h"

std::unique_ptr<platform::Event> event_bufor;

Bufor::Bufor(const char* text, std::size_t count, std::int32_t timeToLiveMs) : TTL(timeToLiveMs) {
    if (count > 0 && text[count - 1] == '\0')
        --count;
    data.assign(text, count);
}

Bufor::Bufor(std::string_view line, std::int32_t timeToLiveMs) : data(line), TTL(timeToLiveMs) {}
