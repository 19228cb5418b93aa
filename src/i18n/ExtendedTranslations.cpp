// Extended translations: properties named by path, applied and taken back
// per language, and their "Extended" section of a language text file.
#include "i18n/LangComponent.h"

#include "i18n/MemIniFile.h"
#include "i18n/TranslationFileIo.h"
#include "i18n/Warnings.h"
#include "ui/PropertyPath.h"

#include <algorithm>

using i18n::TStrings;

namespace {

const char* const ExtendedSection = "Extended";
const char* const TypeKindSuffix = "_TypeKind";

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A text of several lines stays one line of the file.
std::string toFileText(std::string text) {
    std::replace(text.begin(), text.end(), '\r', '\x19');
    std::replace(text.begin(), text.end(), '\n', '\x1a');
    return text;
}

std::string fromFileText(std::string text) {
    std::replace(text.begin(), text.end(), '\x19', '\r');
    std::replace(text.begin(), text.end(), '\x1a', '\n');
    return text;
}

QStringList toQStringList(const TStrings& lines) {
    QStringList out;
    for (const auto& line : lines)
        out << QString::fromStdString(line);
    return out;
}

} // namespace

TTypeKind TlgCustomLang::GetPropTypeByPath(const std::string& path) const {
    return ui::PropertyByPath(parent(), OwnerClassName(), path).Kind();
}

std::string TlgCustomLang::GetPropValueByPath(const std::string& path) const {
    const ui::PropertyByPath property(parent(), OwnerClassName(), path);
    if (property.Kind() != tkClass)
        return property.Text();
    TStrings lines;
    for (const QString& line : property.Lines())
        lines.push_back(line.toStdString());
    return i18n::ToCommaText(lines);
}

void TlgCustomLang::SetPropValueByPath(const std::string& path, const std::string& value) {
    ui::PropertyByPath property(parent(), OwnerClassName(), path);
    try {
        if (property.Kind() == tkClass)
            property.SetLines(toQStringList(i18n::FromCommaText(value)));
        else
            property.SetText(value);
    } catch (const std::invalid_argument& e) {
        throw ELanguageError(std::string(e.what()) + " for " + path);
    }
}

void TlgCustomLang::ChangeLangForExtended() {
    const int language = ActiveLanguage();
    for (int i = 0; i < extended_.Count(); ++i) {
        const TlgExtendedItem& item = extended_.Items(i);
        std::string text = item.Piece(language, LangDelim());
        if (text.empty() && language >= 2 && DispatcherTestMode())
            text = i18n::UnicodeUpper(item.Piece(1, LangDelim()));
        if (text.empty() && TranslateType == ttGetDefault)
            text = item.Piece(1, LangDelim());
        if (text.empty())
            continue;
        try {
            SetPropValueByPath(item.Identifier(), text);
        } catch (const ELanguageError& e) {
            i18n::Warn(OwnerClassName() + ": extended translation not applied: " + e.what());
        }
    }
}

namespace {

// Values with text `text` for language `m` and the item's own texts for the others.
std::string valuesWith(const TlgExtendedItem& item, int count, int m, const std::string& text, char delim) {
    std::string values;
    for (int k = 1; k <= count; ++k)
        values += (k == m ? text : item.Piece(k, delim)) + delim;
    return values;
}

} // namespace

void TlgCustomLang::UpdateExtended() {
    const int language = ActiveLanguage();
    for (int i = 0; i < extended_.Count(); ++i) {
        TlgExtendedItem& item = extended_.Items(i);
        const std::string current = GetPropValueByPath(item.Identifier());
        const std::string stored = item.Piece(language, LangDelim());
        if (!stored.empty() && stored != current)
            item.Values = valuesWith(item, NumOfLanguages(), language, current, LangDelim());
    }
}

void TlgCustomLang::ChangeDelimOnExtended(char oldDelim, char newDelim) {
    for (int i = 0; i < extended_.Count(); ++i) {
        std::string& values = extended_.Items(i).Values;
        std::replace(values.begin(), values.end(), oldDelim, newDelim);
    }
}

void TlgCustomLang::SaveExtendedToStream(std::string& stream, const std::string& fileDelim) {
    i18n::TMemIniFile ini = i18n::IniFromText(stream);
    writeFileOptions(ini, fileDelim);
    const std::string delim(1, LangDelim());
    for (int i = 0; i < extended_.Count(); ++i) {
        const TlgExtendedItem& item = extended_.Items(i);
        const std::string key = OwnerClassName() + "." + item.Identifier();
        ini.WriteString(ExtendedSection, key,
                        toFileText(i18n::ReplaceStr(item.Values, delim, fileDelim, true)));
        ini.WriteString(ExtendedSection, key + TypeKindSuffix, ui::TypeKindName(item.PropertyType));
    }
    TStrings lines;
    ini.GetStrings(lines);
    stream = i18n::JoinLines(lines);
}

namespace {

// The keys of the "Extended" section that belong to a form, each with its
// identifier (the key without "<form class>.").
std::vector<std::pair<std::string, std::string>> extendedKeys(const i18n::TMemIniFile& ini,
                                                              const std::string& formClass) {
    TStrings keys;
    ini.ReadSection(ExtendedSection, keys);
    const std::string prefix = formClass + ".";
    std::vector<std::pair<std::string, std::string>> out;
    for (const std::string& key : keys)
        if (key.compare(0, prefix.size(), prefix) == 0 && !endsWith(key, TypeKindSuffix))
            out.emplace_back(key, key.substr(prefix.size()));
    return out;
}

TTypeKind kindOfKey(const i18n::TMemIniFile& ini, const std::string& key, const std::string& fileDelim) {
    const std::string name = ini.ReadString(ExtendedSection, key + TypeKindSuffix, "tkUnknown");
    return ui::TypeKindByName(name.substr(0, name.find(fileDelim)));
}

} // namespace

void TlgCustomLang::LoadExtendedFromStream(const std::string& stream, bool clearFirst) {
    if (clearFirst)
        extended_.Clear();
    const i18n::TMemIniFile ini = i18n::IniFromText(stream);
    const std::string fileDelim = fileDelimiter(ini);
    const std::string delim(1, LangDelim());
    for (const auto& [key, identifier] : extendedKeys(ini, OwnerClassName())) {
        TlgExtendedItem* item = extended_.Find(identifier);
        if (!item) {
            item = &extended_.Add();
            item->SetIdentifier(identifier);
        }
        item->Values =
            fromFileText(i18n::ReplaceStr(ini.ReadString(ExtendedSection, key, ""), fileDelim, delim, true));
        item->PropertyType = kindOfKey(ini, key, fileDelim);
    }
}

void TlgCustomLang::LoadLanguageByExt(const std::string& fileName, const std::string& langName) {
    i18n::TMemIniFile ini;
    std::string fileDelim;
    int m = 0;
    const int k = openLanguage(fileName, langName, ini, fileDelim, m);
    if (k == 0)
        return;
    for (const auto& [key, identifier] : extendedKeys(ini, OwnerClassName())) {
        const std::string text =
            fromFileText(i18n::FilePiece(ini.ReadString(ExtendedSection, key, ""), fileDelim, k));
        TlgExtendedItem* item = extended_.Find(identifier);
        if (!item) {
            item = &extended_.Add();
            item->SetIdentifier(identifier);
            item->PropertyType = kindOfKey(ini, key, fileDelim);
        }
        item->Values = valuesWith(*item, NumOfLanguages(), m, text, LangDelim());
    }
    if (!IsReadingFile())
        ChangeLanguage();
}

void TlgCustomLang::LoadExtendedFromFile(const std::string& fileName, bool clearFirst) {
    if (!i18n::FileExists(fileName))
        return;
    LoadExtendedFromStream(i18n::ReadTranslationText(fileName), clearFirst);
}

void TlgCustomLang::SaveExtendedToFile(const std::string& fileName, const std::string& fileDelim) {
    std::string text = i18n::FileExists(fileName) ? i18n::ReadTranslationText(fileName) : std::string();
    SaveExtendedToStream(text, fileDelim);
    i18n::WriteFileAtomically(fileName, text);
}
