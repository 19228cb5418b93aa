#include "i18n/LangComponent.h"

#include "i18n/LangDispatcher.h"
#include "i18n/ResourceStrings.h"
#include "i18n/Warnings.h"

#include <QCursor>
#include <QFont>
#include <QGuiApplication>
#include <QLocale>
#include <QMetaProperty>
#include <algorithm>

using i18n::TStrings;

namespace {

const char* const TypeNames[StringsTypeCount] = {
    "stCaptions",   "stHints",        "stDisplayLabels", "stFonts",
    "stMultiLines", "stDlgsCaptions", "stStrings",       "stOtherStrings",
    "stLocales",    "stCollections",  "stCharSets",      "stListView_TreeView_Items"};

QObject* checkedOwner(QObject* owner) {
    if (owner && !owner->findChildren<TlgCustomLang*>(Qt::FindDirectChildrenOnly).isEmpty())
        throw std::runtime_error("Only one TlgCustomLang component per Form/DataModule allowed!");
    return owner;
}

std::string keyOf(const std::string& line, char delim) {
    return line.substr(0, line.find(delim));
}

} // namespace

const char* StringsTypeName(int type) {
    return type >= 0 && type < StringsTypeCount ? TypeNames[type] : "";
}

const TStrings& LocaleSettingNames() {
    static const TStrings names{
        "Currency String",  "Thousand Separator", "Decimal Separator", "Date Separator",  "Short Date Format",
        "Long Date Format", "Time Separator",     "Time AM String",    "Time PM String",  "Short Time Format",
        "Long Time Format", "Short Month Names",  "Long Month Names",  "Short Day Names", "Long Day Names"};
    return names;
}

TlgCustomLang::TlgCustomLang(QObject* owner, const QString& name)
    : QObject(checkedOwner(owner)), SavedFormatSettings(FormatSettings()) {
    setObjectName(name);
    if (owner)
        SetOwnerNames(owner->metaObject()->className(), owner->objectName().toStdString());
    language_ = langNames_.front();
    FillDialogs();
    const TFormatSettings& format = FormatSettings();
    auto addLocale = [this](const std::string& key, const std::string& value) {
        Locales.push_back(key + langDelim_ + value + langDelim_);
    };
    for (std::size_t i = 0; i < format.values.size(); ++i)
        addLocale(LocaleSettingNames()[i], format.values[i]);
    addLocale("Short Month Names", i18n::ToCommaText(format.shortMonthNames));
    addLocale("Long Month Names", i18n::ToCommaText(format.longMonthNames));
    addLocale("Short Day Names", i18n::ToCommaText(format.shortDayNames));
    addLocale("Long Day Names", i18n::ToCommaText(format.longDayNames));
    if (owner) {
        const int index = owner->metaObject()->indexOfProperty("Font");
        ownerHasNoFont_ =
            index < 0 || owner->metaObject()->property(index).metaType() != QMetaType::fromType<QFont>();
    }
}

TlgCustomLang::~TlgCustomLang() {
    if (dispatcher_)
        dispatcher_->RemovePossibleReference(this);
}

void TlgCustomLang::SetOwnerNames(std::string className, std::string instanceName) {
    ownerClassName_ = std::move(className);
    ownerName_ = std::move(instanceName);
}

bool TlgCustomLang::publishesList(int type) const {
    return type >= stCaptions && type <= stCharSets;
}

TStrings* TlgCustomLang::listOfType(int type) {
    return const_cast<TStrings*>(static_cast<const TlgCustomLang*>(this)->listOfType(type));
}

const TStrings* TlgCustomLang::listOfType(int type) const {
    switch (type) {
    case stCaptions:
        return &Captions;
    case stHints:
        return &Hints;
    case stDisplayLabels:
        return &DisplayLabels;
    case stFonts:
        return &Fonts;
    case stMultiLines:
        return &MultiLines;
    case stDlgsCaptions:
        return &DlgsCaptions;
    case stStrings:
        return &Strings;
    case stOtherStrings:
        return &OtherStrings;
    case stLocales:
        return &Locales;
    case stCollections:
        return &Collections;
    case stCharSets:
        return &CharSets;
    default:
        return nullptr;
    }
}

TStrings* TlgCustomLang::GetPropListByType(int type) {
    return publishesList(type) ? listOfType(type) : nullptr;
}

TStrings* TlgCustomLang::GetPropListByName(const std::string& name) {
    for (int type = 0; type < StringsTypeCount; ++type)
        if (i18n::EqualsIgnoreCase(TypeNames[type] + 2, name))
            return GetPropListByType(type);
    return nullptr;
}

void TlgCustomLang::SetList(int type, const TStrings& lines) {
    TStrings* list = GetPropListByType(type);
    if (!list || list == &lines)
        return;
    *list = lines;
    if (type == stDlgsCaptions)
        return;
    if (type == stStrings)
        UpdateStrCollections();
    ChangedStringsType = type;
    ChangeLanguage();
    ChangedStringsType = -1;
}

// ---- look-up ----

bool TlgCustomLang::DispatcherTestMode() const {
    return dispatcher_ && dispatcher_->TestMode;
}

std::string TlgCustomLang::searchAsText(const TStrings& list, const std::string& id, bool orDefault) const {
    const std::string prefix = id + langDelim_;
    for (const std::string& line : list) {
        if (!i18n::StartsWithIgnoreCase(line, prefix))
            continue;
        std::string result = i18n::ExtractTranslation(line, langDelim_, activeLanguage_);
        if (result.empty() && activeLanguage_ >= 2 && DispatcherTestMode())
            result = i18n::ExtractDefaultUpper(line, langDelim_);
        if (result.empty() && orDefault)
            result = i18n::ExtractTranslation(line, langDelim_, 1);
        return result;
    }
    if (DoRaiseExceptions)
        throw ELanguageError("String identifier \"" + id + "\" not found!");
    return {};
}

std::string TlgCustomLang::GetTextFrom(const TStrings& list, const std::string& id, bool orDefault) const {
    const bool shared = (Options & loUseExtCommonStrings) && (&list == &DlgsCaptions || &list == &Locales);
    const bool sharedStrings = (Options & loUseExtUDStrings) && &list == &Strings;
    // Shared dialog captions and locales need a dispatcher; shared message
    // strings without one fall back to the own strings below.
    if (shared && !dispatcher_)
        return {};
    if ((shared || sharedStrings) && dispatcher_) {
        for (TlgCustomLang* other : dispatcher_->Snapshot()) {
            const TStrings& candidate = &list == &DlgsCaptions ? other->DlgsCaptions
                                        : &list == &Locales    ? other->Locales
                                                               : other->Strings;
            if (!candidate.empty())
                return searchAsText(candidate, id, orDefault);
        }
    }
    if (&list != &Strings)
        return searchAsText(list, id, orDefault);
    if (DoRaiseExceptions && strings_.GetIDIndex(id) < 0)
        throw ELanguageError("String identifier \"" + id + "\" not found!");
    std::string result = strings_.GetTranslationByID(id, activeLanguage_);
    if (result.empty() && activeLanguage_ >= 2 && DispatcherTestMode())
        result = i18n::UnicodeUpper(strings_.GetTranslationByID(id, 1));
    if (result.empty() && orDefault)
        result = strings_.GetTranslationByID(id, 1);
    return result;
}

std::string TlgCustomLang::GetTextOrDefault(const std::string& id) const {
    return i18n::ExpandEscapes(GetTextFrom(Strings, id, true));
}

std::string TlgCustomLang::GetText(const std::string& id) const {
    return i18n::ExpandEscapes(GetTextFrom(Strings, id, TranslateType == ttGetDefault));
}

std::string TlgCustomLang::GetTextFromByIndex(const TStrings& list, int index, bool orDefault) const {
    const TStrings* source = &list;
    if ((Options & loUseExtCommonStrings) && (&list == &DlgsCaptions || &list == &Locales)) {
        if (!dispatcher_)
            return {};
        for (TlgCustomLang* other : dispatcher_->Snapshot()) {
            const TStrings& candidate = &list == &DlgsCaptions ? other->DlgsCaptions : other->Locales;
            if (!candidate.empty()) {
                source = &candidate;
                break;
            }
        }
    }
    if (index < 0 || index >= int(source->size()))
        return {};
    const std::string& line = (*source)[std::size_t(index)];
    std::string result = i18n::ExtractTranslation(line, langDelim_, activeLanguage_);
    if (result.empty() && orDefault)
        result = i18n::ExtractTranslation(line, langDelim_, 1);
    return result;
}

std::string TlgCustomLang::GetStringID(int index) const {
    if (index < 0 || index >= int(Strings.size()))
        throw std::out_of_range("List index is out of bonds!");
    return keyOf(Strings[std::size_t(index)], langDelim_);
}

int TlgCustomLang::GetIDIndex(const std::string& id) const {
    for (std::size_t i = 0; i < Strings.size(); ++i)
        if (i18n::EqualsIgnoreCase(keyOf(Strings[i], langDelim_), id))
            return int(i);
    return -1;
}

bool TlgCustomLang::AddString(const std::string& id, const TStrings& texts) {
    DeleteString(id);
    std::string line = id + langDelim_;
    for (const auto& text : texts)
        line += text + langDelim_;
    for (int k = int(texts.size()) + 1; k <= numOfLanguages_; ++k)
        line += langDelim_;
    Strings.push_back(line);
    TStrings values = texts;
    values.resize(std::size_t(std::max<int>(numOfLanguages_, int(texts.size()))));
    const int index = strings_.GetIDIndex(id);
    if (index >= 0) {
        strings_.Items(index).SetValues(values);
    } else {
        auto& item = strings_.Add();
        item.ID = id;
        item.Values = values;
        strings_.Sort();
    }
    return true;
}

bool TlgCustomLang::DeleteString(const std::string& id) {
    const std::string prefix = id + langDelim_;
    for (auto it = Strings.begin(); it != Strings.end(); ++it)
        if (it->compare(0, prefix.size(), prefix) == 0) {
            Strings.erase(it);
            return true;
        }
    return false;
}

std::string TlgCustomLang::GetStringValue(const TStrings& list, const std::string& name, int language) const {
    for (const auto& line : list)
        if (i18n::EqualsIgnoreCase(keyOf(line, langDelim_), name))
            return i18n::ExtractTranslation(line, langDelim_, language);
    return {};
}

void TlgCustomLang::ReplaceStringValue(TStrings& list, const std::string& value, int language,
                                       const std::string& key) {
    if (language < 1)
        return;
    for (auto& line : list) {
        if (!i18n::EqualsIgnoreCase(keyOf(line, langDelim_), key))
            continue;
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (std::size_t at; (at = line.find(langDelim_, start)) != std::string::npos; start = at + 1)
            fields.push_back(line.substr(start, at - start));
        fields.push_back(line.substr(start));
        while (int(fields.size()) < language + 2)
            fields.emplace_back();
        fields[std::size_t(language)] = value;
        std::string rebuilt = fields[0];
        for (std::size_t i = 1; i < fields.size(); ++i)
            rebuilt += langDelim_ + fields[i];
        line = rebuilt;
        if (&list == &Strings && !loading_)
            for (auto* collection : {&strings_, &resourceStrings_}) {
                const int index = collection->GetIDIndex(key);
                if (index >= 0 && language <= int(collection->Items(index).Values.size()))
                    collection->Items(index).Values[std::size_t(language - 1)] = value;
            }
        return;
    }
}

// ---- language ----

void TlgCustomLang::SetActLang(int language) {
    if (language == activeLanguage_)
        return;
    if (language < 1 || language > numOfLanguages_) {
        if (loading_)
            return;
        throw ELanguageError(std::to_string(language) +
                             " - is not a valid property value!\rValue must be within [1.." +
                             std::to_string(numOfLanguages_) + "]!");
    }
    ChangedStringsType = -1;
    // The busy cursor while the forms change, given back also when applying fails.
    struct BusyCursor {
        bool shown;
        explicit BusyCursor(bool show) : shown(show) {
            if (shown)
                QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        }
        ~BusyCursor() {
            if (shown)
                QGuiApplication::restoreOverrideCursor();
        }
    } busy(ChangingCursor != -1 && !QGuiApplication::overrideCursor() &&
           qobject_cast<QGuiApplication*>(QCoreApplication::instance()));
    activeLanguage_ = language;
    if (!loading_ && int(langNames_.size()) >= language)
        language_ = langNames_[std::size_t(language - 1)];
    if (dispatcher_ || !loading_)
        ChangeLanguage();
}

void TlgCustomLang::SetNumLang(int count) {
    if (count == numOfLanguages_)
        return;
    if (count < 1)
        throw ELanguageError(std::to_string(count) +
                             " - is not a valid property value !\rValue must be more than ZERO !");
    if (count < numOfLanguages_)
        for (int type = 0; type < StringsTypeCount; ++type)
            if (TStrings* list = listOfType(type))
                for (auto& line : *list) {
                    // Keep the key and `count` texts, each with its delimiter.
                    int seen = 0;
                    for (std::size_t i = 0; i < line.size(); ++i)
                        if (line[i] == langDelim_ && ++seen == count + 1) {
                            line.resize(i + 1);
                            break;
                        }
                }
    numOfLanguages_ = count;
    while (int(langNames_.size()) < count)
        langNames_.push_back("Language N" + std::to_string(langNames_.size() + 1));
    langNames_.resize(std::size_t(count));
    activeLanguage_ = std::clamp(activeLanguage_, 1, numOfLanguages_);
    if (!loading_) {
        NormalizeStrings();
        UpdateStrCollections();
    }
}

void TlgCustomLang::SetLanguage(const std::string& name) {
    if (name == language_)
        return;
    const int number = i18n::LanguageNumberOf(langNames_, name);
    language_ = name;
    if (!loading_)
        SetActLang(number);
}

void TlgCustomLang::SetLangNames(const TStrings& names) {
    if (&names == &langNames_)
        return;
    langNames_ = names.empty() ? TStrings{"Language N1"} : names;
    numOfLanguages_ = int(langNames_.size());
    activeLanguage_ = std::clamp(activeLanguage_, 1, numOfLanguages_);
    language_ = langNames_[std::size_t(activeLanguage_ - 1)];
}

void TlgCustomLang::changeLangDelim(char from, char to) {
    for (int type = 0; type < StringsTypeCount; ++type)
        if (TStrings* list = listOfType(type))
            for (auto& line : *list)
                std::replace(line.begin(), line.end(), from, to);
    ChangeDelimOnExtended(from, to);
}

void TlgCustomLang::SetLangDelim(char delim) {
    if (delim != langDelim_ && !loading_)
        changeLangDelim(langDelim_, delim);
    langDelim_ = delim;
}

void TlgCustomLang::SetLangDispatcher(TlgLangDispatcher* dispatcher) {
    if (dispatcher_ && dispatcher_ != dispatcher)
        dispatcher_->RemovePossibleReference(this);
    dispatcher_ = dispatcher;
    if (!dispatcher)
        return;
    if (loading_)
        numOfLanguages_ = dispatcher->NumOfLanguages();
    else if (parent() && !readingFile_)
        dispatcher->AddReference(this);
}

void TlgCustomLang::SetNeedAllDlgs(bool on) {
    if (on == needAllDlgs_)
        return;
    needAllDlgs_ = on;
    if (!loading_)
        FillNewDialogs();
}

void TlgCustomLang::SetOptions(unsigned options) {
    Options = options;
}

void TlgCustomLang::SetResourceLanguageIndex(int index) {
    if (index == ResourceLanguageIndex)
        return;
    if (!loading_ && (index == 0 || index > numOfLanguages_))
        throw ELanguageError(std::to_string(index) +
                             " - is not a valid property value!\rValue must be within [1.." +
                             std::to_string(numOfLanguages_) + "]!");
    ResourceLanguageIndex = index;
    if (!loading_) {
        resourceStrings_.SetSortLanguage(index);
        resourceStrings_.Sort();
    }
}

std::string TlgCustomLang::TranslateResourceString(const std::string& text) const {
    if (ResourceLanguageIndex == activeLanguage_)
        return {};
    const std::string translated = resourceStrings_.GetTranslationByLang(text, activeLanguage_);
    return translated == text ? std::string() : translated;
}

// ---- life cycle ----

void TlgCustomLang::Loaded() {
    loading_ = false;
    if (readingFile_ || !parent())
        return;
    FillNewDialogs();
    if (Options & loUseExtCommonStrings) {
        DlgsCaptions.clear();
        Locales.clear();
    }
    if (langDelim_ == '\t') {
        langDelim_ = 1;
        changeLangDelim('\t', 1);
    }
    if (HasTabDelimiters()) {
        // Old tab-delimited data only: data that already holds our delimiter keeps its tabs as text.
        bool holdsDelim = false;
        for (int type = 0; type < StringsTypeCount && !holdsDelim; ++type)
            if (const TStrings* list = listOfType(type))
                for (const auto& line : *list)
                    holdsDelim = holdsDelim || line.find(langDelim_) != std::string::npos;
        if (!holdsDelim)
            changeLangDelim('\t', langDelim_);
    }
    if (Locales.size() == 11) {
        const TFormatSettings& format = SavedFormatSettings;
        Locales.push_back("Short Month Names" + std::string(1, langDelim_) +
                          i18n::ToCommaText(format.shortMonthNames) + langDelim_);
        Locales.push_back("Long Month Names" + std::string(1, langDelim_) +
                          i18n::ToCommaText(format.longMonthNames) + langDelim_);
        Locales.push_back("Short Day Names" + std::string(1, langDelim_) +
                          i18n::ToCommaText(format.shortDayNames) + langDelim_);
        Locales.push_back("Long Day Names" + std::string(1, langDelim_) +
                          i18n::ToCommaText(format.longDayNames) + langDelim_);
    }
    if (dispatcher_)
        dispatcher_->AddReference(this);
    ExcludeProperties();
    watchComponents();
    UpdateStrCollections();
    if (IsInheritedOwner)
        ChangeLanguage();
    if (HandleResourceStrings)
        i18n::InstallResourceStringTranslator(this);
}

bool TlgCustomLang::HasTabDelimiters() const {
    auto tabs = [](const TStrings& list) {
        return list.empty() ? -1 : int(std::count(list[0].begin(), list[0].end(), '\t'));
    };
    const int expected = numOfLanguages_ + 1;
    return tabs(DlgsCaptions) > 0 || tabs(Locales) > 0 || tabs(Captions) == expected ||
           tabs(Locales) == expected || tabs(Hints) == expected;
}

void TlgCustomLang::NormalizeStrings() {
    for (TStrings* list : {&Strings, &DlgsCaptions, &Locales})
        for (auto& line : *list) {
            const int count = int(std::count(line.begin(), line.end(), langDelim_));
            if (numOfLanguages_ >= count)
                line.append(std::size_t(numOfLanguages_ - count + 1), langDelim_);
        }
}

// ---- translation data block ----

void TlgCustomLang::ReadOurStrProps(std::string_view block) {
    TStrings* current = nullptr;
    bool inSection = false;
    for (const std::string& line : i18n::SplitLines(block)) {
        bool isName = false;
        for (int type = 0; type < StringsTypeCount && !isName; ++type)
            if (i18n::EqualsIgnoreCase(line, TypeNames[type])) {
                isName = true;
                current = GetPropListByName(line.substr(2));
                if (current)
                    current->clear();
            }
        if (isName) {
            inSection = true;
            continue;
        }
        if (!inSection || !current)
            continue;
        std::string entry = line;
        std::replace(entry.begin(), entry.end(), '\x19', '\r');
        std::replace(entry.begin(), entry.end(), '\x1a', '\n');
        current->push_back(entry);
    }
}

std::string TlgCustomLang::WriteOurStrProps() {
    std::string block;
    for (int type = 0; type < StringsTypeCount; ++type) {
        const TStrings* list = GetPropListByType(type);
        if (!list)
            continue;
        block += TypeNames[type];
        block += "\r\n";
        for (std::string entry : *list) {
            std::replace(entry.begin(), entry.end(), '\r', '\x19');
            std::replace(entry.begin(), entry.end(), '\n', '\x1a');
            block += entry + "\r\n";
        }
    }
    return block;
}

void TlgCustomLang::ClearTranslations() {
    for (int type = 0; type < StringsTypeCount; ++type)
        if (TStrings* list = GetPropListByType(type))
            list->clear();
    UpdateStrCollections();
}

void TlgCustomLang::UpdateStrCollections() {
    LoadStringsColl(strings_, 0);
    if (HandleResourceStrings && parent())
        LoadStringsColl(resourceStrings_, ResourceLanguageIndex);
}

void TlgCustomLang::LoadStringsColl(i18n::TlgStringsCollection& collection, int sortLanguage) {
    collection.Clear();
    for (const auto& entry : Strings) {
        auto& item = collection.Add();
        item.ID = i18n::ExtractTranslation(entry, langDelim_, 0);
        for (int k = 1; k <= numOfLanguages_; ++k)
            item.Values.push_back(i18n::ExtractTranslation(entry, langDelim_, k));
        // A translation used as a printf format must take the arguments the
        // Polish text takes; one that does not gives way to the Polish text.
        const auto conversions = i18n::FormatConversions(i18n::ExpandEscapes(item.Values.front()));
        for (std::size_t k = 1; k < item.Values.size(); ++k)
            if (!item.Values[k].empty() &&
                i18n::FormatConversions(i18n::ExpandEscapes(item.Values[k])) != conversions) {
                i18n::Warn("Translation " + std::to_string(k + 1) + " of " + OwnerClassName() + "." +
                           item.ID +
                           " has other printf conversions than the Polish text; the Polish text is used");
                item.Values[k] = item.Values.front();
            }
    }
    collection.SetSortLanguage(sortLanguage);
    collection.Sort();
}

std::string TlgCustomLang::BuildStringByOne(const std::string& text, int index) const {
    std::string out;
    for (int k = 1; k <= numOfLanguages_; ++k) {
        out += langDelim_;
        if (k == index)
            out += text;
    }
    return out;
}

// ---- the linked component ----

TlgLangLinked::TlgLangLinked(QObject* owner, const QString& name) : TlgCustomLang(owner, name) {}

bool TlgLangLinked::publishesList(int type) const {
    return TlgCustomLang::publishesList(type) && type != stDlgsCaptions && type != stLocales;
}

void TlgLangLinked::copySharedLists() {
    if (!container_)
        return;
    DlgsCaptions = container_->DlgsCaptions;
    Locales = container_->Locales;
    const char from = container_->LangDelim();
    if (from != LangDelim())
        for (TStrings* list : {&DlgsCaptions, &Locales})
            for (auto& line : *list)
                std::replace(line.begin(), line.end(), from, LangDelim());
}

void TlgLangLinked::Loaded() {
    TlgCustomLang::Loaded();
    copySharedLists();
}

void TlgLangLinked::SetCommonContainer(TlgCustomLang* container) {
    if (container == container_ || container == this)
        return;
    container_ = container;
    if (!loading_)
        copySharedLists();
}

namespace i18n {

int LanguageNumberOf(const std::vector<std::string>& languageNames, const std::string& name) {
    auto it = std::find_if(languageNames.begin(), languageNames.end(),
                           [&](const std::string& n) { return i18n::EqualsIgnoreCase(n, name); });
    if (it == languageNames.end())
        throw ELanguageError("Language name shall be included in LangNames property!");
    return int(it - languageNames.begin()) + 1;
}

} // namespace i18n
