#include "db/DbErrorText.h"

#include "db/DatabaseHost.h"

#include <initializer_list>
#include <string_view>

namespace {

std::string joined(std::initializer_list<const char*> keys) {
    std::string text;
    for (const char* key : keys)
        text += db::Text(key);
    return text;
}

// Fills the first "%d" with the code and the first "%s" with the name; the
// translation is data, so it is never handed to printf as a format.
std::string withCodeAndName(std::string text, int code, const std::string& name) {
    if (const auto at = text.find("%d"); at != std::string::npos)
        text.replace(at, 2, std::to_string(code));
    if (const auto at = text.find("%s"); at != std::string::npos)
        text.replace(at, 2, name);
    return text;
}

} // namespace

std::string GetDbErrorText(int code) {
    switch (code) {
    case 335544323:
        return joined({"IDS_734", "IDS_737"});
    case 335544324:
        return joined({"IDS_718"});
    case 335544344:
        return joined({"IDS_709"});
    case 335544373:
        return joined({"IDS_719", "IDS_720"});
    case 335544375:
        return joined({"IDS_707"});
    case 335544379:
        return joined({"IDS_725", "IDS_726"});
    case 335544472:
        return joined({"IDS_708"});
    case 335544510:
        return joined({"IDS_721", "IDS_722"});
    case 335544653:
        return joined({"IDS_727", "IDS_728", "IDS_729", "IDS_730", "IDS_731", "IDS_732"});
    case 335544721:
        return joined({"IDS_710", "IDS_714", "IDS_715", "IDS_716", "IDS_717"});
    case 336330985:
        return joined({"IDS_723", "IDS_724"});
    default:
        return withCodeAndName(db::Text("IDS_739"), code, IscStatusName(code));
    }
}
