#include "i18n/ComponentStream.h"

#include "i18n/LangComponent.h"
#include "ui/PropertyPath.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

namespace i18n {

const char* const UnrecognizedStreamFormat = "Unrecognized stream format!";

namespace {

// Value types of the object format.
enum ValueType : unsigned char {
    vaNull = 0,
    vaList = 1,
    vaInt8 = 2,
    vaInt16 = 3,
    vaInt32 = 4,
    vaExtended = 5,
    vaString = 6,
    vaIdent = 7,
    vaFalse = 8,
    vaTrue = 9,
    vaBinary = 10,
    vaSet = 11,
    vaLString = 12,
    vaNil = 13,
    vaCollection = 14,
    vaSingle = 15,
    vaCurrency = 16,
    vaDate = 17,
    vaWString = 18,
    vaInt64 = 19,
    vaUTF8String = 20
};

const char Signature[] = "TPF0";
// Lists inside lists are legal but never this deep in a translation component.
constexpr int MaxNesting = 8;
constexpr int MaxLanguages = 255;

const char* const TranslateTypeNames[] = {"ttNoChange", "ttGetDefault"};
const std::pair<const char*, unsigned> OptionNames[] = {{"loUseExtUDStrings", loUseExtUDStrings},
                                                        {"loUseExtCommonStrings", loUseExtCommonStrings}};

std::map<std::string, TranslationClassFactory>& registry() {
    static std::map<std::string, TranslationClassFactory> classes{
        {"TlgLang", [] { return std::make_unique<TlgLang>(nullptr); }},
        {"TlgLangLinked", [] { return std::make_unique<TlgLangLinked>(nullptr); }}};
    return classes;
}

struct FormatError {};

class Writer {
  public:
    std::string out;
    void byte(unsigned char b) { out += char(b); }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            byte(static_cast<unsigned char>(v >> (8 * i)));
    }
    void shortString(std::string_view s) {
        byte(static_cast<unsigned char>(s.size()));
        out += s;
    }
    void name(std::string_view s) { shortString(s); }
    void string(std::string_view s) {
        if (s.size() <= 255) {
            byte(vaString);
            shortString(s);
        } else {
            byte(vaLString);
            u32(std::uint32_t(s.size()));
            out += s;
        }
    }
    void integer(std::int32_t v) {
        byte(vaInt32);
        u32(std::uint32_t(v));
    }
    void boolean(bool v) { byte(v ? vaTrue : vaFalse); }
    void ident(std::string_view s) {
        byte(vaIdent);
        shortString(s);
    }
    void list(const TStrings& lines) {
        byte(vaList);
        for (const auto& line : lines)
            string(line);
        byte(vaNull);
    }
    void binary(std::string_view bytes) {
        byte(vaBinary);
        u32(std::uint32_t(bytes.size()));
        out += bytes;
    }
};

class Reader {
  public:
    explicit Reader(std::string_view data) : data_(data) {}
    bool atEnd() const { return pos_ >= data_.size(); }
    unsigned char byte() {
        need(1);
        return static_cast<unsigned char>(data_[pos_++]);
    }
    unsigned char peek() {
        need(1);
        return static_cast<unsigned char>(data_[pos_]);
    }
    std::uint64_t unsignedLE(int size) {
        need(std::size_t(size));
        std::uint64_t v = 0;
        for (int i = 0; i < size; ++i)
            v |= std::uint64_t(static_cast<unsigned char>(data_[pos_ + std::size_t(i)])) << (8 * i);
        pos_ += std::size_t(size);
        return v;
    }
    std::string bytes(std::size_t size) {
        need(size);
        std::string s(data_.substr(pos_, size));
        pos_ += size;
        return s;
    }
    std::string shortString() { return bytes(byte()); }

    // One value of any type, passed over.
    void skipValue(int depth = 0) {
        if (depth > MaxNesting)
            throw FormatError{};
        switch (byte()) {
        case vaList:
            while (peek() != vaNull)
                skipValue(depth + 1);
            byte();
            return;
        case vaInt8:
            return skip(1);
        case vaInt16:
            return skip(2);
        case vaInt32:
        case vaSingle:
            return skip(4);
        case vaInt64:
        case vaCurrency:
        case vaDate:
            return skip(8);
        case vaExtended:
            return skip(10);
        case vaString:
        case vaIdent:
            return skip(byte());
        case vaFalse:
        case vaTrue:
        case vaNil:
        case vaNull:
            return;
        case vaBinary:
        case vaLString:
        case vaUTF8String:
            return skip(std::size_t(unsignedLE(4)));
        case vaWString:
            return skip(std::size_t(unsignedLE(4)) * 2);
        case vaSet:
            while (!shortString().empty()) {
            }
            return;
        case vaCollection:
            return collection([&] {
                while (!shortString().empty())
                    skipValue(depth + 1);
            });
        default:
            throw FormatError{};
        }
    }
    // The items of a collection (the type byte already read): each an
    // optional order number, then a list of properties.
    void collection(const std::function<void()>& item) {
        while (peek() != vaNull) {
            const unsigned char type = byte();
            if (type == vaInt8 || type == vaInt16 || type == vaInt32) {
                skip(type == vaInt8 ? 1 : type == vaInt16 ? 2 : 4);
                if (byte() != vaList)
                    throw FormatError{};
            } else if (type != vaList) {
                throw FormatError{};
            }
            item();
        }
        byte();
    }
    std::string string() {
        switch (byte()) {
        case vaString:
        case vaIdent:
            return shortString();
        case vaLString:
        case vaUTF8String:
            return bytes(std::size_t(unsignedLE(4)));
        default:
            throw FormatError{};
        }
    }
    std::int64_t integer() {
        switch (byte()) {
        case vaInt8:
            return std::int8_t(unsignedLE(1));
        case vaInt16:
            return std::int16_t(unsignedLE(2));
        case vaInt32:
            return std::int32_t(unsignedLE(4));
        case vaInt64:
            return std::int64_t(unsignedLE(8));
        default:
            throw FormatError{};
        }
    }
    int integerIn(std::int64_t low, std::int64_t high) {
        const std::int64_t v = integer();
        if (v < low || v > high)
            throw FormatError{};
        return int(v);
    }
    bool boolean() {
        const unsigned char type = byte();
        if (type != vaFalse && type != vaTrue)
            throw FormatError{};
        return type == vaTrue;
    }
    std::string ident() {
        if (byte() != vaIdent)
            throw FormatError{};
        return shortString();
    }
    TStrings list() {
        if (byte() != vaList)
            throw FormatError{};
        TStrings lines;
        while (peek() != vaNull)
            lines.push_back(string());
        byte();
        return lines;
    }
    TStrings set() {
        if (byte() != vaSet)
            throw FormatError{};
        TStrings names;
        for (std::string n; !(n = shortString()).empty();)
            names.push_back(n);
        return names;
    }
    std::string binary() {
        if (byte() != vaBinary)
            throw FormatError{};
        return bytes(std::size_t(unsignedLE(4)));
    }

  private:
    void need(std::size_t size) const {
        if (size > data_.size() - pos_)
            throw FormatError{};
    }
    void skip(std::size_t size) {
        need(size);
        pos_ += size;
    }
    std::string_view data_;
    std::size_t pos_ = 0;
};

bool publishesNeedAllDlgs(const TlgCustomLang& component) {
    return !qobject_cast<const TlgLangLinked*>(&component);
}

// One stored property: how it is written and read back.
struct Property {
    const char* name;
    std::function<void(Writer&, TlgCustomLang&)> write;
    std::function<void(Reader&, TlgCustomLang&)> read;
};

Property flag(const char* name, bool TlgCustomLang::*field) {
    return {name, [field](Writer& w, TlgCustomLang& c) { w.boolean(c.*field); },
            [field](Reader& r, TlgCustomLang& c) { c.*field = r.boolean(); }};
}

Property lines(const char* name, TStrings TlgCustomLang::*field) {
    return {name, [field](Writer& w, TlgCustomLang& c) { w.list(c.*field); },
            [field](Reader& r, TlgCustomLang& c) { c.*field = r.list(); }};
}

unsigned readOptions(Reader& r) {
    unsigned options = 0;
    for (const auto& element : r.set()) {
        const auto known = std::find_if(std::begin(OptionNames), std::end(OptionNames),
                                        [&](const auto& option) { return element == option.first; });
        if (known == std::end(OptionNames))
            throw FormatError{};
        options |= known->second;
    }
    return options;
}

// A collection of items, each the properties Identifier, PropertyType and,
// when there are values, ValuesEx: the Values bytes as they stand.
void writeExtended(Writer& w, const TlgExtendedItems& items) {
    w.byte(vaCollection);
    for (int i = 0; i < items.Count(); ++i) {
        const TlgExtendedItem& item = items.Items(i);
        w.byte(vaList);
        w.name("Identifier");
        w.string(item.Identifier());
        w.name("PropertyType");
        w.ident(ui::TypeKindName(item.PropertyType));
        if (!item.Values.empty()) {
            w.name("ValuesEx");
            w.binary(item.ValuesEx());
        }
        w.byte(vaNull);
    }
    w.byte(vaNull);
}

TlgExtendedItems readExtended(Reader& r) {
    if (r.byte() != vaCollection)
        throw FormatError{};
    TlgExtendedItems items;
    r.collection([&] {
        TlgExtendedItem& item = items.Add();
        for (std::string name; !(name = r.shortString()).empty();) {
            if (name == "Identifier") {
                item.SetIdentifier(r.string());
            } else if (name == "PropertyType") {
                const std::string kind = r.ident();
                item.PropertyType = ui::TypeKindByName(kind);
                if (kind != ui::TypeKindName(item.PropertyType))
                    throw FormatError{};
            } else if (name == "ValuesEx") {
                item.SetValuesEx(r.binary());
            } else if (name == "Values") {
                item.Values = r.string();
            } else {
                r.skipValue();
            }
        }
    });
    return items;
}

// The stored properties, in published order; values the property writers
// refuse end the read as a format error.
const std::vector<Property>& properties() {
    using W = Writer&;
    using R = Reader&;
    using C = TlgCustomLang&;
    static const std::vector<Property> list{
        {"version", [](W w, C c) { w.string(c.version()); }, [](R r, C) { r.string(); }},
        flag("IsInheritedOwner", &TlgCustomLang::IsInheritedOwner),
        lines("StringsTypes", &TlgCustomLang::StringsTypes),
        lines("SmartExcludeProps", &TlgCustomLang::SmartExcludeProps),
        flag("HandleResourceStrings", &TlgCustomLang::HandleResourceStrings),
        {"ResourceLanguageIndex", [](W w, C c) { w.integer(c.ResourceLanguageIndex); },
         [](R r, C c) { c.SetResourceLanguageIndex(r.integerIn(0, MaxLanguages)); }},
        flag("UseInheritedData", &TlgCustomLang::UseInheritedData),
        {"NumOfLanguages", [](W w, C c) { w.integer(c.NumOfLanguages()); },
         [](R r, C c) { c.SetNumLang(r.integerIn(1, MaxLanguages)); }},
        {"ActiveLanguage", [](W w, C c) { w.integer(c.ActiveLanguage()); },
         [](R r, C c) { c.SetActLang(r.integerIn(1, MaxLanguages)); }},
        flag("ChangeLocales", &TlgCustomLang::ChangeLocales),
        {"LangDelim", [](W w, C c) { w.string(std::string(1, c.LangDelim())); },
         [](R r, C c) {
             const std::string delim = r.string();
             if (delim.size() != 1)
                 throw FormatError{};
             c.SetLangDelim(delim[0]);
         }},
        lines("DoNotTranslate", &TlgCustomLang::DoNotTranslate),
        {"LangNames", [](W w, C c) { w.list(c.LangNames()); },
         [](R r, C c) {
             const TStrings names = r.list();
             if (names.size() > std::size_t(MaxLanguages))
                 throw FormatError{};
             c.SetLangNames(names);
         }},
        {"Language", [](W w, C c) { w.string(c.Language()); },
         [](R r, C c) {
             if (const std::string language = r.string(); !language.empty())
                 c.SetLanguage(language); // raises for a name not among LangNames
         }},
        {"TranslateType",
         [](W w, C c) { w.ident(TranslateTypeNames[c.TranslateType == ttGetDefault ? 1 : 0]); },
         [](R r, C c) {
             const std::string type = r.ident();
             if (type != TranslateTypeNames[0] && type != TranslateTypeNames[1])
                 throw FormatError{};
             c.TranslateType = type == TranslateTypeNames[1] ? ttGetDefault : ttNoChange;
         }},
        {"Options",
         [](W w, C c) {
             w.byte(vaSet);
             for (const auto& [optionName, bit] : OptionNames)
                 if (c.Options & bit)
                     w.shortString(optionName);
             w.shortString("");
         },
         [](R r, C c) { c.SetOptions(readOptions(r)); }},
        {"NeedAllDlgs", [](W w, C c) { w.boolean(c.NeedAllDlgs()); },
         [](R r, C c) { c.SetNeedAllDlgs(r.boolean()); }},
        {"ChangingCursor", [](W w, C c) { w.integer(c.ChangingCursor); },
         [](R r, C c) { c.ChangingCursor = r.integerIn(INT32_MIN, INT32_MAX); }},
        lines("ExcludedProperties", &TlgCustomLang::ExcludedProperties),
        flag("DoRaiseExceptions", &TlgCustomLang::DoRaiseExceptions),
        {"ExtendedTranslations", [](W w, C c) { writeExtended(w, c.ExtendedTranslations()); },
         [](R r, C c) { c.SetExtendedTranslations(readExtended(r)); }},
        {"TranslationData", [](W w, C c) { w.binary(c.WriteOurStrProps()); },
         [](R r, C c) { c.ReadOurStrProps(r.binary()); }},
    };
    return list;
}

bool published(const TlgCustomLang& c, const Property& property) {
    return publishesNeedAllDlgs(c) || std::string_view(property.name) != "NeedAllDlgs";
}

} // namespace

void RegisterTranslationClass(const std::string& className, TranslationClassFactory factory) {
    registry()[className] = std::move(factory);
}

std::unique_ptr<TlgCustomLang> CreateTranslationComponent(const std::string& className) {
    const auto it = registry().find(className);
    return it == registry().end() ? nullptr : it->second();
}

std::string WriteComponentBlock(TlgCustomLang& component) {
    Writer w;
    w.out = Signature;
    w.shortString(component.metaObject()->className());
    w.shortString(component.objectName().toStdString());
    for (const Property& property : properties())
        if (published(component, property)) {
            w.name(property.name);
            property.write(w, component);
        }
    w.byte(vaNull); // end of the properties
    w.byte(vaNull); // no children
    return w.out;
}

std::unique_ptr<TlgCustomLang> ReadComponentBlock(std::string_view block) {
    try {
        Reader r(block);
        if (r.bytes(4) != Signature)
            throw FormatError{};
        auto component = CreateTranslationComponent(r.shortString());
        if (!component)
            throw FormatError{};
        component->setObjectName(QString::fromStdString(r.shortString()));
        for (std::string name; !(name = r.shortString()).empty();) {
            const auto& all = properties();
            const auto property = std::find_if(all.begin(), all.end(), [&](const Property& p) {
                return p.name == name && published(*component, p);
            });
            if (property == all.end())
                r.skipValue(); // a property this class does not publish
            else
                property->read(r, *component);
        }
        if (r.byte() != vaNull) // a translation component owns no children
            throw FormatError{};
        component->Loaded();
        return component;
    } catch (const FormatError&) {
    } catch (const std::exception&) {
        // a property writer refusing a value read
    }
    throw ELanguageError(UnrecognizedStreamFormat);
}

} // namespace i18n
