// Reading and writing a published property of a form's component by a
// dot-separated path: "TForm1.Caption", "Label1.Font.Name",
// "StatusBar.Panels[7].Text". Every value travels as text; the kind of the
// property decides the conversion.
#pragma once

#include <QString>
#include <string>
#include <string_view>

class QObject;

// The kinds of published properties, in the platform's order.
enum TTypeKind {
    tkUnknown,
    tkInteger,
    tkChar,
    tkEnumeration,
    tkFloat,
    tkString,
    tkSet,
    tkClass,
    tkMethod,
    tkWChar,
    tkLString,
    tkWString,
    tkVariant,
    tkArray,
    tkRecord,
    tkInterface,
    tkInt64,
    tkDynArray
};
constexpr int TypeKindCount = tkDynArray + 1;

namespace ui {

// "tkUnknown" .. "tkDynArray"; "tkUnknown" for a value outside the enumeration.
const char* TypeKindName(TTypeKind kind);
// The kind of a name (ASCII case ignored); tkUnknown for any other text.
TTypeKind TypeKindByName(std::string_view name);

} // namespace ui
