// Language text files: an INI text with one section per kind of text, keys
// "<form class>.<entry key>", and the languages of a value separated by the
// file delimiter. This is also the authoring format of translations/.
#include "i18n/LangComponent.h"

#include "i18n/MemIniFile.h"
#include "i18n/TranslationFileIo.h"

#include <algorithm>
#include <functional>

using i18n::TStrings;

namespace {

const char* const DefaultFileDelim = "~!@#";
const char* const LanguageNamesSection = "Language names - for internal use only!";
const char* const OldLanguageNamesSection = "Language names - for intenal use only!";

bool bracketedKind(int type) {
    return type == stCollections || type == stListView_TreeView_Items;
}

std::string keyOf(const std::string& line, char delim) {
    return line.substr(0, line.find(delim));
}

// Restores the reading-file flag on every exit.
class ReadingFileScope {
  public:
    explicit ReadingFileScope(TlgCustomLang& component)
        : component_(component), saved_(component.IsReadingFile()) {
        component_.SetReadingFile(true);
    }
    ~ReadingFileScope() { component_.SetReadingFile(saved_); }

  private:
    TlgCustomLang& component_;
    bool saved_;
};

} // namespace

void TlgCustomLang::SaveToStream(int type, std::string& stream, const std::string& fileDelim) {
    const TStrings* list = GetPropListByType(type);
    if (!list)
        return;
    i18n::TMemIniFile ini = i18n::IniFromText(stream);
    writeFileOptions(ini, fileDelim);
    const std::string& section = i18n::IniSectionNames()[std::size_t(type)];
    const std::string delim(1, LangDelim());
    for (const std::string& entry : *list) {
        std::string key = keyOf(entry, LangDelim());
        if (bracketedKind(type)) {
            std::replace(key.begin(), key.end(), '[', '-');
            std::replace(key.begin(), key.end(), ']', '+');
        }
        std::string value = key.size() < entry.size() ? entry.substr(key.size() + 1) : std::string();
        value = i18n::ReplaceStr(value, delim, fileDelim, true);
        std::replace(value.begin(), value.end(), '\r', '\x19');
        std::replace(value.begin(), value.end(), '\n', '\x1a');
        ini.WriteString(section, OwnerClassName() + "." + key, value);
    }
    TStrings lines;
    ini.GetStrings(lines);
    // Keys written under the instance name by older files give way to the class-name keys.
    const auto heading = std::find(lines.begin(), lines.end(), "[" + section + "]");
    if (heading != lines.end() && !OwnerName().empty()) {
        auto it = heading + 1;
        while (it != lines.end() && (it->empty() || (*it)[0] != '[')) {
            if (it->compare(0, OwnerName().size() + 1, OwnerName() + ".") == 0)
                it = lines.erase(it);
            else
                ++it;
        }
    }
    stream = i18n::JoinLines(lines);
}

void TlgCustomLang::LoadFromStream(int type, const std::string& stream, bool clearFirst) {
    TStrings* list = GetPropListByType(type);
    if (!list)
        return;
    if (clearFirst)
        list->clear();
    const i18n::TMemIniFile ini = i18n::IniFromText(stream);
    const std::string fileDelim = fileDelimiter(ini);
    if (ini.SectionExists(LanguageNamesSection)) {
        TStrings names;
        for (int n = 1;; ++n) {
            const std::string name =
                ini.ReadString(LanguageNamesSection, "Language_" + std::to_string(n), "");
            if (name.empty())
                break;
            names.push_back(name);
        }
        SetLangNames(names);
    }
    FixedLanguages.clear();
    for (int n = 1; n <= NumOfLanguages(); ++n)
        if (ini.ReadBool("OPTIONS", "Language_Fixed" + std::to_string(n), false))
            FixedLanguages.push_back(LangNames()[std::size_t(n - 1)]);

    const std::string& section = i18n::IniSectionNames()[std::size_t(type)];
    TStrings keys;
    ini.ReadSection(section, keys);
    const std::string delim(1, LangDelim());
    for (const std::string& fileKey : keys) {
        std::string entry = fileKey;
        if (bracketedKind(type)) {
            // The item index's brackets were written as "-" and "+".
            if (const auto minus = entry.find('-'); minus != std::string::npos)
                entry[minus] = '[';
            if (const auto plus = entry.find('+'); plus != std::string::npos)
                entry[plus] = ']';
        }
        std::string prefixName;
        if (!OwnerName().empty() && i18n::StartsWithIgnoreCase(entry, OwnerName() + "."))
            prefixName = OwnerName();
        else if (i18n::StartsWithIgnoreCase(entry, OwnerClassName() + "."))
            prefixName = OwnerClassName();
        else
            continue;
        entry = entry.substr(prefixName.size() + 1);
        const std::string component = entry.substr(0, entry.find('.'));
        if (std::any_of(DoNotTranslate.begin(), DoNotTranslate.end(),
                        [&](const std::string& n) { return i18n::EqualsIgnoreCase(n, component); }))
            continue;
        std::string value = ini.ReadString(section, fileKey, "");
        // A value without any file delimiter is the language-1 text alone.
        value = value.find(fileDelim) == std::string::npos ? value + delim
                                                           : i18n::ReplaceStr(value, fileDelim, delim, true);
        std::replace(value.begin(), value.end(), '\x19', '\r');
        std::replace(value.begin(), value.end(), '\x1a', '\n');
        const bool ownEntry =
            i18n::EqualsIgnoreCase(entry, prefixName) || i18n::EqualsIgnoreCase(entry, OwnerClassName());
        entry += delim + value;
        if (ownEntry)
            list->insert(list->begin(), entry);
        else
            list->push_back(entry);
    }
    afterListLoaded(*list, type);
}

bool TlgCustomLang::MergeFromStream(int type, const std::string& stream) {
    return mergeList(type, [&] { LoadFromStream(type, stream, true); });
}

bool TlgCustomLang::mergeList(int type, const std::function<void()>& load) {
    TStrings* list = GetPropListByType(type);
    if (!list)
        return false;
    const TStrings previous = *list;
    {
        ReadingFileScope scope(*this);
        load();
    }
    for (const std::string& entry : previous) {
        const std::string key = keyOf(entry, LangDelim());
        const bool present = std::any_of(list->begin(), list->end(), [&](const std::string& line) {
            return i18n::EqualsIgnoreCase(keyOf(line, LangDelim()), key);
        });
        if (!present)
            list->push_back(entry);
    }
    if (!IsReadingFile()) {
        DelOldNames(*list, type);
        if (type == stStrings)
            UpdateStrCollections();
        ChangeLanguage();
    }
    return true;
}

void TlgCustomLang::SaveAllToStream(std::string& stream, const std::string& fileDelim) {
    for (int type = 0; type < StringsTypeCount; ++type)
        SaveToStream(type, stream, fileDelim);
    SaveExtendedToStream(stream, fileDelim);
}

// Loads every kind of list while the reading-file flag is set (it is
// restored on every way out), then drops names the form no longer has.
void TlgCustomLang::loadEveryKind(const std::function<void(int type)>& loadOne) {
    ReadingFileScope scope(*this);
    for (int type = 0; type < StringsTypeCount; ++type) {
        loadOne(type);
        if (TStrings* list = GetPropListByType(type))
            DelOldNames(*list, type);
    }
    UpdateStrCollections();
}

void TlgCustomLang::LoadAllFromStream(const std::string& stream, bool clearFirst, bool applyLanguage) {
    loadEveryKind([&](int type) { LoadFromStream(type, stream, clearFirst); });
    LoadExtendedFromStream(stream, clearFirst);
    if (applyLanguage)
        ChangeLanguage();
}

bool TlgCustomLang::MergeAllFromStreamDNC(const std::string& stream) {
    return mergeEveryKind([&](int type) { return MergeFromStream(type, stream); });
}

bool TlgCustomLang::mergeEveryKind(const std::function<bool(int type)>& mergeOne) {
    ReadingFileScope scope(*this);
    for (int type = 0; type < StringsTypeCount; ++type)
        if (mergeOne(type))
            DelOldNames(*GetPropListByType(type), type);
    UpdateStrCollections();
    return true;
}

bool TlgCustomLang::MergeAllFromStream(const std::string& stream) {
    MergeAllFromStreamDNC(stream);
    ChangeLanguage();
    return true;
}

void TlgCustomLang::LoadLanguageByProp(int type, const std::string& fileName, const std::string& langName) {
    TStrings* list = GetPropListByType(type);
    i18n::TMemIniFile ini;
    std::string fileDelim;
    int m = 0;
    const int k = list ? openLanguage(fileName, langName, ini, fileDelim, m) : 0;
    if (k == 0)
        return;
    const std::string& section = i18n::IniSectionNames()[std::size_t(type)];
    TStrings keys;
    ini.ReadSection(section, keys);
    const std::string prefix = OwnerClassName() + ".";
    for (const std::string& fileKey : keys) {
        if (fileKey.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string text = i18n::FilePiece(ini.ReadString(section, fileKey, ""), fileDelim, k);
        const std::string key = fileKey.substr(prefix.size());
        const bool present = std::any_of(list->begin(), list->end(), [&](const std::string& line) {
            return line.compare(0, key.size() + 1, key + LangDelim()) == 0;
        });
        if (present)
            ReplaceStringValue(*list, text, m, key);
        else
            list->push_back(key + BuildStringByOne(text, m) + LangDelim());
    }
    afterListLoaded(*list, type);
}

void TlgCustomLang::LoadLanguage(const std::string& fileName, const std::string& langName) {
    loadEveryKind([&](int type) { LoadLanguageByProp(type, fileName, langName); });
    {
        ReadingFileScope scope(*this);
        LoadLanguageByExt(fileName, langName);
    }
    ChangeLanguage();
}

void TlgCustomLang::writeFileOptions(i18n::TMemIniFile& ini, const std::string& fileDelim) const {
    ini.WriteString("OPTIONS", "DELIMITER", fileDelim);
    ini.EraseSection(LanguageNamesSection);
    for (int n = 1; n <= NumOfLanguages(); ++n) {
        const bool named = n <= int(LangNames().size()) && !LangNames()[std::size_t(n - 1)].empty();
        ini.WriteString(LanguageNamesSection, "Language_" + std::to_string(n),
                        named ? LangNames()[std::size_t(n - 1)] : "Language N" + std::to_string(n));
    }
    ini.EraseSection(OldLanguageNamesSection);
}

std::string TlgCustomLang::fileDelimiter(const i18n::TMemIniFile& ini) {
    const std::string fileDelim = ini.ReadString("OPTIONS", "DELIMITER", DefaultFileDelim);
    return fileDelim.empty() ? DefaultFileDelim : fileDelim; // an empty one would never move on
}

int TlgCustomLang::openLanguage(const std::string& fileName, const std::string& langName,
                                i18n::TMemIniFile& ini, std::string& fileDelim, int& m) {
    if (langName.empty() || !i18n::FileExists(fileName))
        return 0;
    ini = i18n::IniFromText(i18n::ReadTranslationText(fileName));
    fileDelim = fileDelimiter(ini);
    int k = 0;
    for (int n = 1; k == 0; ++n) {
        const std::string name = ini.ReadString(LanguageNamesSection, "Language_" + std::to_string(n), "");
        if (name.empty())
            break;
        if (name == langName)
            k = n;
    }
    if (k == 0) {
        if (DoRaiseExceptions)
            throw std::runtime_error(langName + " not found in " + fileName);
        return 0;
    }
    const auto at = std::find(LangNames().begin(), LangNames().end(), langName);
    m = int(at - LangNames().begin()) + 1;
    if (at == LangNames().end()) {
        TStrings names = LangNames();
        names.push_back(langName);
        SetLangNames(names);
        m = NumOfLanguages();
    }
    return k;
}

// A list read by itself (not as part of a whole file) takes effect at once.
void TlgCustomLang::afterListLoaded(TStrings& list, int type) {
    if (IsReadingFile())
        return;
    DelOldNames(list, type);
    if (type == stStrings)
        UpdateStrCollections();
    ChangeLanguage();
}
