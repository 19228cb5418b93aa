// Small helpers shared by the client service's files.
#pragma once

#include "base/DiagnosticLog.h"
#include "platform/Clock.h"
#include "platform/WireCodePage.h"

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace clients::detail {

inline bool clientTrace() {
    return base::Switches().chbLogKlienci.load();
}

// The notification queue's drain writes its lines to the second pane.
inline bool queueTrace() {
    return base::Switches().chbKolejka.load();
}

inline std::time_t nowSeconds() {
    return std::time_t(platform::processClock().dateTime().toSecsSinceEpoch());
}

// The password field of a log-in request's fields ("version&login&password"
// up to its CR) as "***", and those of the requests after it: a password
// digest is as good as the password.
std::string withoutLoginPassword(std::string_view fields);
// The same for every log-in request in `bytes` ("!KL&...", "!KLA&..."), and
// the database password of a log-in reply ("!LP&user&password&..."), which a
// key every copy of the program has deciphers.
std::string withoutSecrets(std::string_view bytes);

// Received or sent wire bytes as a log text: bounded, in UTF-8, with the
// line ends made visible and no password in it.
inline std::string logText(std::string_view bytes) {
    constexpr std::size_t Limit = 1024;
    std::string visible;
    for (char c : withoutSecrets(bytes.substr(0, Limit))) {
        if (c == '\r')
            visible += "\\r";
        else if (c == '\n')
            visible += "\\n";
        else if (c == '\0')
            visible += "\\0";
        else
            visible += c;
    }
    if (bytes.size() > Limit)
        visible += "...";
    return platform::fromWire(visible);
}

// The position after the first `end` in `text` and an LF right after it
// (within the text); nothing when `end` is not there.
inline std::optional<std::size_t> afterLineEnd(std::string_view text, std::string_view end) {
    std::size_t at = text.find(end);
    if (at == std::string_view::npos)
        return std::nullopt;
    at += end.size();
    if (at < text.size() && text[at] == '\n')
        ++at;
    return at;
}

} // namespace clients::detail
