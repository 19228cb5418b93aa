// What the benchmarks read from a database on a Firebird server.
#pragma once

#include "support/FirebirdFixtures.h"

#include <cstdlib>
#include <string>

namespace bench {

// The first number in isql's output after "N=".
inline long isqlNumber(const testfb::Connection& c, const std::string& select) {
    const std::string out = testfb::Isql(c, "SELECT 'N=' || (" + select + ") FROM RDB$DATABASE;");
    const std::size_t at = out.find("N=");
    return at == std::string::npos ? -1 : std::atol(out.c_str() + at + 2);
}

} // namespace bench
