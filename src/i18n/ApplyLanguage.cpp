// Applying the active language to the owner form: every list line names a
// component (found by name among the form's children) and a property (found
// by name through QMetaObject); an empty text never overwrites anything.
#include "i18n/LangComponent.h"

#include "i18n/FormProperties.h"

#include "i18n/LangDispatcher.h"
#include "ui/PropInfoList.h"
#include "ui/PropertyPath.h"

#include <QFileInfo>
#include <QFont>
#include <QMetaProperty>
#include <QStringList>
#include <algorithm>
#include <map>

using i18n::TStrings;

namespace {

const std::map<std::string, int>& charsetTable() {
    static const std::map<std::string, int> table{
        {"ANSI_CHARSET", 0},      {"DEFAULT_CHARSET", 1},    {"SYMBOL_CHARSET", 2},
        {"MAC_CHARSET", 77},      {"SHIFTJIS_CHARSET", 128}, {"HANGEUL_CHARSET", 129},
        {"JOHAB_CHARSET", 130},   {"GB2312_CHARSET", 134},   {"CHINESEBIG5_CHARSET", 136},
        {"GREEK_CHARSET", 161},   {"TURKISH_CHARSET", 162},  {"VIETNAMESE_CHARSET", 163},
        {"HEBREW_CHARSET", 177},  {"ARABIC_CHARSET", 178},   {"BALTIC_CHARSET", 186},
        {"RUSSIAN_CHARSET", 204}, {"THAI_CHARSET", 222},     {"EASTEUROPE_CHARSET", 238},
        {"OEM_CHARSET", 255}};
    return table;
}

int charsetOf(const std::string& name, bool ignoreCase) {
    for (const auto& [key, value] : charsetTable())
        if (ignoreCase ? i18n::EqualsIgnoreCase(key, name) : key == name)
            return value;
    return -1;
}

bool isStringList(const QMetaProperty& p) {
    return p.metaType() == QMetaType::fromType<QStringList>();
}

// The parts of a collection line: component.Collection[index].ItemProperty
struct CollectionKey {
    std::string component, collection, itemProperty;
    int index = -1;
};

bool parseCollectionKey(const std::string& key, CollectionKey& out) {
    const std::size_t dot = key.find('.');
    const std::size_t open = key.find('[', dot);
    const std::size_t close = key.find(']', open);
    if (dot == std::string::npos || open == std::string::npos || close == std::string::npos ||
        close + 1 >= key.size() || key[close + 1] != '.')
        return false;
    out.component = key.substr(0, dot);
    out.collection = key.substr(dot + 1, open - dot - 1);
    out.itemProperty = key.substr(close + 2);
    const std::string digits = key.substr(open + 1, close - open - 1);
    if (digits.empty() || digits.size() > 6 || !std::all_of(digits.begin(), digits.end(), ::isdigit))
        return false;
    out.index = std::stoi(digits);
    return true;
}

QObject* collectionOf(QObject* component, const std::string& property) {
    const QMetaProperty p = ui::FindProperty(component, property);
    return p.isValid() ? p.read(component).value<QObject*>() : nullptr;
}

int collectionCount(QObject* collection) {
    const QVariant count = collection ? collection->property("Count") : QVariant();
    return count.isValid() ? count.toInt() : -1;
}

QObject* collectionItem(QObject* collection, int index) {
    QObject* item = nullptr;
    if (collection)
        QMetaObject::invokeMethod(collection, "Item", Q_RETURN_ARG(QObject*, item), Q_ARG(int, index));
    return item;
}

} // namespace

const char* FixedListProperty(int type) {
    static const char* const names[] = {"Caption", "Hint", "DisplayLabel", "Font"};
    return type >= stCaptions && type <= stFonts ? names[type] : "";
}

bool TlgCustomLang::GetTranslateOwner() const {
    return !i18n::ContainsName(DoNotTranslate, OwnerClassName());
}

std::string TlgCustomLang::lineText(const std::string& line, bool testMode, bool withTestMode) const {
    std::string text = i18n::ExtractTranslation(line, LangDelim(), ActiveLanguage());
    if (withTestMode && testMode && text.empty() && ActiveLanguage() >= 2)
        text = i18n::ExtractDefaultUpper(line, LangDelim());
    if (text.empty() && TranslateType == ttGetDefault)
        text = i18n::ExtractTranslation(line, LangDelim(), 1);
    return text;
}

void TlgCustomLang::applyOwnText(const TStrings& list, const char* property, bool testMode) {
    QObject* form = parent();
    const std::string className = OwnerClassName();
    if (list.empty() || !GetTranslateOwner() ||
        i18n::ContainsName(SmartExcludeProps, className + "." + property))
        return;
    const QMetaProperty p = ui::FindProperty(form, property);
    if (!p.isValid() || p.metaType() != QMetaType::fromType<QString>() || !p.isWritable() ||
        i18n::BoundToAction(form))
        return;
    if (!i18n::EqualsIgnoreCase(i18n::KeyOf(list.front(), LangDelim()), className))
        return;
    const std::string text = lineText(list.front(), testMode, true);
    if (!text.empty() && p.read(form).toString().toStdString() != text)
        p.write(form, QString::fromStdString(text));
}

void TlgCustomLang::applyOwnFont() {
    QObject* form = parent();
    const std::string className = OwnerClassName();
    if (Fonts.empty() || ownerHasNoFont_ || !GetTranslateOwner() ||
        i18n::ContainsName(SmartExcludeProps, className + ".Font"))
        return;
    if (!i18n::EqualsIgnoreCase(i18n::KeyOf(Fonts.front(), LangDelim()), className))
        return;
    const std::string name = lineText(Fonts.front(), false, false);
    QFont font = form->property("Font").value<QFont>();
    if (!name.empty())
        font.setFamily(QString::fromStdString(name));
    form->setProperty("Font", font);
    const int charset = charsetOf(GetStringValue(CharSets, className, ActiveLanguage()), false);
    if (charset >= 0)
        form->setProperty("FontCharset", charset);
}

void TlgCustomLang::ChangeLanguage() {
    if (IsReadingFile() || !parent())
        return;
    const bool testMode = DispatcherTestMode();
    const int only = ChangedStringsType;
    auto selected = [only](std::initializer_list<int> types) {
        return only == -1 || std::find(types.begin(), types.end(), only) != types.end();
    };
    applyOwnText(Captions, "Caption", testMode);
    applyOwnText(Hints, "Hint", testMode);
    if (selected({stCaptions}))
        applyList(Captions, stCaptions, testMode);
    if (selected({stHints}))
        applyList(Hints, stHints, testMode);
    if (selected({stDisplayLabels}))
        applyList(DisplayLabels, stDisplayLabels, testMode);
    if (selected({stFonts, stCharSets}) && !ownerHasNoFont_)
        applyList(Fonts, stFonts, testMode);
    applyOwnFont();
    if (selected({stMultiLines}))
        applyList(MultiLines, stMultiLines, testMode);
    if (selected({stOtherStrings}))
        applyList(OtherStrings, stOtherStrings, testMode);
    if (selected({stLocales}) && ChangeLocales)
        applyList(Locales, stLocales, testMode);
    if (selected({stCollections}))
        applyCollections(testMode);
    if (only == -1)
        ChangeLangForExtended();
    if (OnChangeLanguage)
        OnChangeLanguage(this);
}

void TlgCustomLang::DelOldNames(TStrings& list, int type) {
    if (type == stDlgsCaptions || type == stStrings || type == stLocales || list.empty())
        return;
    QObject* form = parent();
    if (!form)
        return;
    const std::string className = OwnerClassName();
    const char delim = LangDelim();
    auto owned = [form](const std::string& name) {
        return !name.empty() && form->findChild<QObject*>(QString::fromStdString(name)) != nullptr;
    };
    auto remove = [&](std::size_t i) {
        RemovedProps.push_back(list[i]);
        list.erase(list.begin() + std::ptrdiff_t(i));
    };
    if (type == stCollections) {
        for (std::size_t i = list.size(); i-- > 0;) {
            CollectionKey key;
            if (!parseCollectionKey(i18n::KeyOf(list[i], delim), key) || !owned(key.component)) {
                remove(i);
                continue;
            }
            QObject* collection = collectionOf(
                form->findChild<QObject*>(QString::fromStdString(key.component)), key.collection);
            if (collection && key.index >= collectionCount(collection))
                remove(i);
        }
        return;
    }
    const bool formLine = i18n::EqualsIgnoreCase(i18n::KeyOf(list.front(), delim), className);
    const std::size_t first = formLine ? 1 : 0;
    for (std::size_t i = list.size(); i-- > first;) {
        const std::string key = i18n::KeyOf(list[i], delim);
        if (type == stMultiLines || type == stOtherStrings) {
            const std::string component = key.substr(0, key.find('.'));
            if (!i18n::EqualsIgnoreCase(component, className) && !owned(component))
                remove(i);
        } else if (!owned(key)) {
            remove(i);
        } else if ((type == stCaptions || type == stHints) &&
                   i18n::BoundToAction(form->findChild<QObject*>(QString::fromStdString(key)))) {
            // Its text comes from its action: the line is dropped, not kept.
            list.erase(list.begin() + std::ptrdiff_t(i));
        }
    }
}

void TlgCustomLang::ExcludeProperties() {
    if (i18n::ContainsName(ExcludedProperties, "Caption"))
        Captions.clear();
    if (i18n::ContainsName(ExcludedProperties, "Hint"))
        Hints.clear();
    if (i18n::ContainsName(ExcludedProperties, "DisplayLabel"))
        DisplayLabels.clear();
    if (i18n::ContainsName(ExcludedProperties, "Font")) {
        Fonts.clear();
        CharSets.clear();
    }
    if (i18n::ContainsName(ExcludedProperties, "Charset"))
        CharSets.clear();
    auto notHandled = [this](const std::string& component, const std::string& property) {
        return NotHandledProperty(component, property);
    };
    // The lists of one property: each line is a component's, keyed by its name.
    const std::pair<TStrings*, const char*> fixed[] = {{&Captions, "Caption"},
                                                       {&Hints, "Hint"},
                                                       {&DisplayLabels, "DisplayLabel"},
                                                       {&Fonts, "Font"},
                                                       {&CharSets, "Font"}};
    for (const auto& [list, property] : fixed)
        list->erase(std::remove_if(list->begin(), list->end(),
                                   [&](const std::string& line) {
                                       return notHandled(i18n::KeyOf(line, LangDelim()), property);
                                   }),
                    list->end());
    for (TStrings* list : {&MultiLines, &OtherStrings, &Collections})
        list->erase(std::remove_if(list->begin(), list->end(),
                                   [&](const std::string& line) {
                                       const std::string key = i18n::KeyOf(line, LangDelim());
                                       const std::string component = key.substr(0, key.find('.'));
                                       if (list == &Collections) {
                                           CollectionKey parts;
                                           return parseCollectionKey(key, parts) &&
                                                  (notHandled(component, parts.collection) ||
                                                   notHandled(component, parts.itemProperty));
                                       }
                                       const std::size_t dot = key.find('.');
                                       return dot != std::string::npos &&
                                              notHandled(component, key.substr(dot + 1));
                                   }),
                    list->end());
}

void TlgCustomLang::applyList(TStrings& list, int type, bool testMode) {
    DelOldNames(list, type);
    QObject* form = parent();
    const std::string className = OwnerClassName();
    const char delim = LangDelim();
    std::size_t first = 0;
    if ((type == stCaptions || type == stHints || type == stFonts) && !list.empty() && GetTranslateOwner() &&
        list.front().find(className + delim) != std::string::npos)
        first = 1;
    for (std::size_t i = first; i < list.size(); ++i) {
        const std::string& line = list[i];
        const std::string key = i18n::KeyOf(line, delim);
        std::string component = key, property;
        if (type == stMultiLines || type == stOtherStrings) {
            const std::size_t dot = key.find('.');
            component = key.substr(0, dot);
            property = dot == std::string::npos ? std::string() : key.substr(dot + 1);
        } else if (type <= stFonts) {
            property = FixedListProperty(type);
        }
        if (i18n::ContainsName(DoNotTranslate, component))
            continue;
        const bool withTestMode = type != stFonts && type != stLocales && type != stCharSets;
        const std::string text = lineText(line, testMode, withTestMode);
        if (type == stLocales) {
            applyLocale(key, text);
            continue;
        }
        QObject* target = form->findChild<QObject*>(QString::fromStdString(component));
        if (!target && (component == className || QString::fromStdString(component) == form->objectName()))
            target = form;
        const QMetaProperty p = ui::FindProperty(target, property);
        if (!target || !p.isValid() || !p.isReadable() || !p.isWritable())
            continue;
        if (type == stFonts) {
            const QMetaProperty parentFont = ui::FindProperty(target, "ParentFont");
            if (parentFont.isValid() && parentFont.read(target).toBool())
                continue;
            const int charset = charsetOf(GetStringValue(CharSets, component, ActiveLanguage()), true);
            if (charset >= 0)
                target->setProperty("FontCharset", charset);
            if (!text.empty()) {
                QFont font = p.read(target).value<QFont>();
                if (font.family().toStdString() != text) {
                    font.setFamily(QString::fromStdString(text));
                    p.write(target, font);
                }
            }
            continue;
        }
        if (text.empty())
            continue;
        if (type == stMultiLines) {
            if (!isStringList(p) ||
                i18n::ToCommaText(i18n::FromQStringList(p.read(target).toStringList())) == text)
                continue;
            ui::UpdateLines(target, p, i18n::ToQStringList(i18n::FromCommaText(text)));
            continue;
        }
        if ((type == stCaptions || type == stHints) && i18n::BoundToAction(target))
            continue;
        const QString value = QString::fromStdString(text);
        const QString current = p.read(target).toString();
        if (current == value)
            continue;
        if ((type == stDisplayLabels || type == stOtherStrings) &&
            (text.find("..") != std::string::npos || text.find(".\\") != std::string::npos) &&
            current == QFileInfo(value).absoluteFilePath())
            continue;
        p.write(target, value);
    }
}

void TlgCustomLang::applyLocale(const std::string& key, const std::string& text) {
    if (text.empty())
        return;
    const TStrings& names = LocaleSettingNames();
    const auto at = std::find(names.begin(), names.end(), key);
    if (at == names.end())
        return;
    const std::size_t index = std::size_t(at - names.begin());
    TFormatSettings& settings = FormatSettings();
    static const std::size_t singleCharacter[] = {1, 2, 3, 6};
    if (index < settings.values.size()) {
        const bool single = std::find(std::begin(singleCharacter), std::end(singleCharacter), index) !=
                            std::end(singleCharacter);
        settings.values[index] = single ? QString::fromStdString(text).left(1).toStdString() : text;
        return;
    }
    TStrings* target[] = {&settings.shortMonthNames, &settings.longMonthNames, &settings.shortDayNames,
                          &settings.longDayNames};
    TStrings& list = *target[index - settings.values.size()];
    const TStrings parsed = i18n::FromCommaText(text);
    for (std::size_t i = 0; i < parsed.size() && i < list.size(); ++i)
        list[i] = parsed[i];
}

void TlgCustomLang::applyCollections(bool testMode) {
    DelOldNames(Collections, stCollections);
    QObject* form = parent();
    for (std::size_t i = 0; i < Collections.size();) {
        const std::string& line = Collections[i];
        CollectionKey key;
        if (!parseCollectionKey(i18n::KeyOf(line, LangDelim()), key) ||
            i18n::ContainsName(DoNotTranslate, key.component)) {
            ++i;
            continue;
        }
        const std::string text = lineText(line, testMode, true);
        QObject* item = collectionItem(
            collectionOf(form->findChild<QObject*>(QString::fromStdString(key.component)), key.collection),
            key.index);
        std::string property = key.itemProperty;
        const std::size_t dot = property.find('.');
        if (item && dot != std::string::npos) {
            const QMetaProperty holder = ui::FindProperty(item, property.substr(0, dot));
            item = holder.isValid() && holder.isWritable() ? holder.read(item).value<QObject*>() : nullptr;
            property = property.substr(dot + 1);
        }
        const QMetaProperty p = ui::FindProperty(item, property);
        if (!item || !p.isValid() || !p.isReadable() || !p.isWritable()) {
            // A line that names no settable property of an existing item is dropped.
            Collections.erase(Collections.begin() + std::ptrdiff_t(i));
            continue;
        }
        if (!text.empty()) {
            if (isStringList(p)) {
                const QStringList lines = QString::fromStdString(text).split(QStringLiteral("\r\n"));
                if (p.read(item).toStringList() != lines)
                    ui::UpdateLines(item, p, lines);
            } else if (p.read(item).toString().toStdString() != text) {
                p.write(item, QString::fromStdString(text));
            }
        }
        ++i;
    }
}
