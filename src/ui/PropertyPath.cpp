#include "ui/PropertyPath.h"

#include <cctype>

namespace ui {

namespace {

const char* const KindNames[TypeKindCount] = {
    "tkUnknown", "tkInteger", "tkChar",   "tkEnumeration", "tkFloat",   "tkString",
    "tkSet",     "tkClass",   "tkMethod", "tkWChar",       "tkLString", "tkWString",
    "tkVariant", "tkArray",   "tkRecord", "tkInterface",   "tkInt64",   "tkDynArray"};

bool sameAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

} // namespace

const char* TypeKindName(TTypeKind kind) {
    return kind >= 0 && kind < TypeKindCount ? KindNames[kind] : KindNames[tkUnknown];
}

TTypeKind TypeKindByName(std::string_view name) {
    for (int kind = 0; kind < TypeKindCount; ++kind)
        if (sameAscii(KindNames[kind], name))
            return TTypeKind(kind);
    return tkUnknown;
}

} // namespace ui
