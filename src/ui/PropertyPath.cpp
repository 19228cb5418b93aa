#include "ui/PropertyPath.h"
#include "ui/PropInfoList.h"

#include <QFont>
#include <QLocale>
#include <QMetaEnum>
#include <QObject>
#include <cctype>
#include <limits>
#include <stdexcept>
#include <vector>

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

// The platform's font style set, bit k for element k.
const char* const FontStyleNames[] = {"fsBold", "fsItalic", "fsUnderline", "fsStrikeOut"};
constexpr int DefaultCharset = 1;

std::vector<std::string_view> splitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t dot; (dot = path.find('.', start)) != std::string_view::npos; start = dot + 1)
        parts.push_back(path.substr(start, dot - start));
    parts.push_back(path.substr(start));
    return parts;
}

// "Panels[7]": the property name and the index; false for a part without brackets.
bool splitIndexed(std::string_view part, std::string_view& name, int& index) {
    const std::size_t open = part.find('[');
    if (open == std::string_view::npos || part.back() != ']')
        return false;
    name = part.substr(0, open);
    const std::string_view digits = part.substr(open + 1, part.size() - open - 2);
    index = -1;
    if (digits.empty() || digits.size() > 9)
        return true;
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return true;
        value = value * 10 + (c - '0');
    }
    index = value;
    return true;
}

QObject* collectionItem(QObject* collection, int index) {
    QObject* item = nullptr;
    if (collection && index >= 0 && collection->metaObject()->indexOfMethod("Item(int)") >= 0)
        QMetaObject::invokeMethod(collection, "Item", Q_RETURN_ARG(QObject*, item), Q_ARG(int, index));
    return item;
}

TTypeKind kindOf(const QMetaProperty& p) {
    if (p.isFlagType())
        return tkSet;
    if (p.isEnumType())
        return tkEnumeration;
    switch (p.metaType().id()) {
    case QMetaType::Bool:
        return tkEnumeration;
    case QMetaType::Int:
    case QMetaType::UInt:
        return tkInteger;
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return tkInt64;
    case QMetaType::Double:
    case QMetaType::Float:
        return tkFloat;
    case QMetaType::QChar:
        return tkWChar;
    case QMetaType::QString:
        return tkLString;
    case QMetaType::QStringList:
        return tkClass;
    default:
        return tkUnknown;
    }
}

[[noreturn]] void notConvertible(const std::string& text, const char* what) {
    throw std::invalid_argument("'" + text + "' is not a valid " + what);
}

qint64 parseInteger(const std::string& text, qint64 low, qint64 high) {
    bool ok = false;
    const qint64 value = QString::fromStdString(text).trimmed().toLongLong(&ok, 10);
    if (!ok || value < low || value > high)
        notConvertible(text, "integer value");
    return value;
}

// Element names of a set, each a single bit; the names without brackets.
std::string setText(qint64 value, const std::vector<std::pair<std::string, qint64>>& elements) {
    std::string out;
    for (const auto& [name, bit] : elements)
        if (bit != 0 && (bit & (bit - 1)) == 0 && (value & bit) == bit)
            out += (out.empty() ? "" : ",") + name;
    return out;
}

qint64 parseSet(const std::string& text, const std::vector<std::pair<std::string, qint64>>& elements) {
    QString body = QString::fromStdString(text).trimmed();
    if (body.startsWith('[') && body.endsWith(']'))
        body = body.mid(1, body.size() - 2);
    qint64 value = 0;
    for (const QString& word : body.split(',', Qt::SkipEmptyParts)) {
        const std::string name = word.trimmed().toStdString();
        bool found = false;
        for (const auto& [element, bit] : elements)
            if (sameAscii(element, name)) {
                value |= bit;
                found = true;
                break;
            }
        if (!found)
            notConvertible(text, "set");
    }
    return value;
}

std::vector<std::pair<std::string, qint64>> enumerators(const QMetaEnum& e) {
    std::vector<std::pair<std::string, qint64>> out;
    for (int i = 0; i < e.keyCount(); ++i)
        out.emplace_back(e.key(i), qint64(e.value(i)));
    return out;
}

std::vector<std::pair<std::string, qint64>> fontStyles() {
    std::vector<std::pair<std::string, qint64>> out;
    for (int i = 0; i < 4; ++i)
        out.emplace_back(FontStyleNames[i], qint64(1) << i);
    return out;
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

PropertyByPath::PropertyByPath(QObject* form, std::string_view formClassName, std::string_view path) {
    const std::vector<std::string_view> parts = splitPath(path);
    if (!form || parts.size() < 2 || parts.front().empty()) // an empty name would match any child
        return;
    QObject* object = parts.front() == formClassName
                          ? form
                          : form->findChild<QObject*>(
                                QString::fromUtf8(parts.front().data(), qsizetype(parts.front().size())));
    for (std::size_t i = 1; object && i + 1 < parts.size(); ++i) {
        std::string_view name;
        int index = -1;
        if (splitIndexed(parts[i], name, index)) {
            const QMetaProperty p = FindProperty(object, name);
            object = p.isReadable() ? collectionItem(p.read(object).value<QObject*>(), index) : nullptr;
            continue;
        }
        const QMetaProperty p = FindProperty(object, parts[i]);
        if (!p.isReadable()) {
            object = nullptr;
        } else if (p.metaType() == QMetaType::fromType<QFont>()) {
            // The font is a value: its fields are read from and written back to its holder.
            if (i + 2 != parts.size())
                return;
            static const char* const fields[] = {"Name", "Size", "Charset", "Style"};
            for (int f = 0; f < 4; ++f)
                if (sameAscii(fields[f], parts.back())) {
                    object_ = object;
                    property_ = p;
                    fontField_ = FontField(f + 1);
                    kind_ = f == 0 ? tkLString : f == 3 ? tkSet : tkInteger;
                }
            return;
        } else {
            object = p.read(object).value<QObject*>();
        }
    }
    const QMetaProperty p = FindProperty(object, parts.back());
    if (!p.isReadable())
        return;
    object_ = object;
    property_ = p;
    kind_ = kindOf(p);
}

QVariant PropertyByPath::read() const {
    return object_ ? property_.read(object_) : QVariant();
}

void PropertyByPath::write(const QVariant& value) {
    if (object_ && property_.isWritable())
        property_.write(object_, value);
}

std::string PropertyByPath::Text() const {
    if (!object_)
        return {};
    const QVariant value = read();
    switch (fontField_) {
    case FontName:
        return value.value<QFont>().family().toStdString();
    case FontSize:
        return std::to_string(value.value<QFont>().pointSize());
    case FontCharset: {
        const QVariant charset = object_->property("FontCharset");
        return std::to_string(charset.isValid() ? charset.toInt() : DefaultCharset);
    }
    case FontStyle: {
        const QFont font = value.value<QFont>();
        return setText((font.bold() ? 1 : 0) | (font.italic() ? 2 : 0) | (font.underline() ? 4 : 0) |
                           (font.strikeOut() ? 8 : 0),
                       fontStyles());
    }
    case NotFont:
        break;
    }
    switch (kind_) {
    case tkInteger:
    case tkInt64:
        return value.metaType().id() == QMetaType::ULongLong ? std::to_string(value.toULongLong())
                                                             : std::to_string(value.toLongLong());
    case tkEnumeration:
        if (property_.isEnumType()) {
            const char* key = property_.enumerator().valueToKey(value.toInt());
            return key ? key : std::to_string(value.toInt());
        }
        return value.toBool() ? "True" : "False";
    case tkSet:
        return setText(value.toLongLong(), enumerators(property_.enumerator()));
    case tkFloat:
        return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest).toStdString();
    case tkWChar:
    case tkLString:
        return value.toString().toStdString();
    default:
        return {};
    }
}

void PropertyByPath::SetText(const std::string& text) {
    if (!object_ || !property_.isWritable())
        return;
    if (fontField_ != NotFont) {
        QFont font = read().value<QFont>();
        switch (fontField_) {
        case FontName:
            font.setFamily(QString::fromStdString(text));
            break;
        case FontSize:
            font.setPointSize(int(parseInteger(text, 1, 4096)));
            break;
        case FontCharset:
            object_->setProperty("FontCharset", int(parseInteger(text, 0, 255)));
            return;
        case FontStyle: {
            const qint64 styles = parseSet(text, fontStyles());
            font.setBold(styles & 1);
            font.setItalic(styles & 2);
            font.setUnderline(styles & 4);
            font.setStrikeOut(styles & 8);
            break;
        }
        case NotFont:
            break;
        }
        write(font);
        return;
    }
    const int type = property_.metaType().id();
    switch (kind_) {
    case tkInteger:
        if (type == QMetaType::UInt)
            write(uint(parseInteger(text, 0, std::numeric_limits<uint>::max())));
        else
            write(int(parseInteger(text, std::numeric_limits<int>::min(), std::numeric_limits<int>::max())));
        return;
    case tkInt64:
        if (type == QMetaType::ULongLong) {
            bool ok = false;
            const qulonglong value = QString::fromStdString(text).trimmed().toULongLong(&ok, 10);
            if (!ok)
                notConvertible(text, "integer value");
            write(value);
        } else {
            write(parseInteger(text, std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max()));
        }
        return;
    case tkEnumeration:
        if (property_.isEnumType()) {
            const QMetaEnum e = property_.enumerator();
            for (const auto& [name, value] : enumerators(e))
                if (sameAscii(name, text)) {
                    write(int(value));
                    return;
                }
            notConvertible(text, "enumeration value");
        }
        if (sameAscii(text, "True") || sameAscii(text, "False")) {
            write(sameAscii(text, "True"));
            return;
        }
        notConvertible(text, "boolean value");
    case tkSet:
        write(int(parseSet(text, enumerators(property_.enumerator()))));
        return;
    case tkFloat: {
        bool ok = false;
        const double value = QString::fromStdString(text).trimmed().toDouble(&ok);
        if (!ok)
            notConvertible(text, "floating point value");
        write(type == QMetaType::Float ? QVariant(float(value)) : QVariant(value));
        return;
    }
    case tkWChar: {
        const QString value = QString::fromStdString(text);
        write(value.isEmpty() ? QChar() : value.front());
        return;
    }
    case tkLString:
        write(QString::fromStdString(text));
        return;
    default:
        return;
    }
}

QStringList PropertyByPath::Lines() const {
    return kind_ == tkClass ? read().toStringList() : QStringList();
}

void PropertyByPath::SetLines(const QStringList& lines) {
    if (kind_ == tkClass && object_ && property_.isWritable())
        UpdateLines(object_, property_, lines);
}

TTypeKind TypeKindOf(const QMetaProperty& property) {
    return kindOf(property);
}

void UpdateLines(QObject* object, const QMetaProperty& property, const QStringList& lines) {
    QStringList target = property.read(object).toStringList();
    for (int i = 0; i < lines.size(); ++i) {
        if (i < target.size())
            target[i] = lines[i];
        else
            target << lines[i];
    }
    while (target.size() > lines.size())
        target.removeLast();
    property.write(object, target);
}

} // namespace ui
