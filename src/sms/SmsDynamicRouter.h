// Dynamic reply routing: which user last wrote to a number through a line.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace sms {

class SmsDynamicRouter {
  public:
    struct S_KEY {
        std::string number; // the remote party, national form
        std::string line;   // the GSM line's own number
    };
    struct ltKey {
        bool operator()(const S_KEY& a, const S_KEY& b) const {
            return a.number != b.number ? a.number < b.number : a.line < b.line;
        }
    };
    struct S_ENTRY {
        std::int32_t userId = 0;
        std::int64_t stamp = 0; // seconds since 1970
    };
    using RouteMap = std::map<S_KEY, S_ENTRY, ltKey>;

    void SetValidity(std::int32_t seconds) { validity_ = seconds; }
    std::int32_t Validity() const { return validity_; }
    void Clear() { routes_.clear(); }
    // The route of (number, line) becomes (user, now).
    void Store(const std::string& number, const std::string& line, std::int32_t userId);
    // The user of the route of (number, line) while it is live, else 0.
    std::int32_t Find(const std::string& number, const std::string& line) const;
    // True when more than the validity has passed since `stamp`.
    bool IsExpired(std::int64_t stamp) const;
    // Every route, expired ones too (they stay until replaced or cleared).
    const RouteMap& Routes() const { return routes_; }

  private:
    std::int32_t validity_ = 3600;
    RouteMap routes_;
};

} // namespace sms
