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

#include <QMetaProperty>
#include <QPointer>
#include <QStringList>

namespace ui {

// A published property reached from a form by a dot-separated path. The
// first part is the form's class name or the name of one of its components;
// each middle part names an object-valued property ("Font" is walked as an
// object with Name, Size, Charset and Style) or a collection item
// ("Panels[7]"); the last part names the property. A path that does not
// resolve reads as tkUnknown and empty, and writing it changes nothing.
class PropertyByPath {
  public:
    PropertyByPath(QObject* form, std::string_view formClassName, std::string_view path);
    bool Resolved() const { return kind_ != tkUnknown; }
    TTypeKind Kind() const { return kind_; }
    // The value as text: integers in decimal, enumerations and sets by their
    // names, floats in the shortest exact form, strings as they stand. A
    // string list (tkClass) reads through Lines().
    std::string Text() const;
    // Throws std::invalid_argument when the text does not convert to the
    // property's kind; a path that does not resolve changes nothing.
    void SetText(const std::string& text);
    QStringList Lines() const;
    // Overwrites the list line by line, appending or dropping lines at the end.
    void SetLines(const QStringList& lines);

  private:
    enum FontField { NotFont, FontName, FontSize, FontCharset, FontStyle };
    QVariant read() const;
    void write(const QVariant& value);
    QPointer<QObject> object_;
    QMetaProperty property_;
    FontField fontField_ = NotFont;
    TTypeKind kind_ = tkUnknown;
};

// Sets the lines of a string-list property in place: changed lines
// overwritten, missing ones appended, surplus ones dropped from the end.
void UpdateLines(QObject* object, const QMetaProperty& property, const QStringList& lines);

// The kind of a property as paths see it: a string list is a class, a font or
// an object reference is tkUnknown (paths walk into them).
TTypeKind TypeKindOf(const QMetaProperty& property);

} // namespace ui
