#include "i18n/MemIniFile.h"

#include <QFile>
#include <QLocale>
#include <QSaveFile>
#include <algorithm>
#include <stdexcept>

namespace i18n {

void TMemIniEntry::divideKeyValue(const std::string& line, std::string& key, std::string& value) {
    const std::size_t eq = line.find('=');
    key = line.substr(0, eq);
    value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

int TMemIniEntry::Add(const std::string& key, const std::string& value) {
    auto at = std::upper_bound(keys_.begin(), keys_.end(), key, [](const std::string& k, const auto& item) {
        return CompareIgnoreCase(k, item.first) < 0;
    });
    at = keys_.insert(at, {key, value});
    return int(at - keys_.begin());
}

int TMemIniEntry::Add(const std::string& line) {
    std::string key, value;
    divideKeyValue(line, key, value);
    return Add(key, value);
}

void TMemIniEntry::Assign(const TStrings& lines) {
    keys_.clear();
    for (const auto& line : lines)
        Add(line);
}

bool TMemIniEntry::Find(const std::string& key, int& index) const {
    auto at = std::lower_bound(keys_.begin(), keys_.end(), key, [](const auto& item, const std::string& k) {
        return CompareIgnoreCase(item.first, k) < 0;
    });
    index = int(at - keys_.begin());
    return at != keys_.end() && EqualsIgnoreCase(at->first, key);
}

int TCustomIniFile::ReadInteger(const std::string& section, const std::string& ident,
                                int defaultValue) const {
    std::string text = ReadString(section, ident, "");
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text = text.substr(2);
        base = 16;
    }
    bool ok = false;
    const int value = QString::fromStdString(text).toInt(&ok, base);
    return ok ? value : defaultValue;
}

void TCustomIniFile::WriteInteger(const std::string& section, const std::string& ident, int value) {
    WriteString(section, ident, std::to_string(value));
}

bool TCustomIniFile::ReadBool(const std::string& section, const std::string& ident, bool defaultValue) const {
    return ReadInteger(section, ident, defaultValue ? 1 : 0) != 0;
}

void TCustomIniFile::WriteBool(const std::string& section, const std::string& ident, bool value) {
    WriteString(section, ident, value ? "1" : "0");
}

QDate TCustomIniFile::ReadDate(const std::string& section, const std::string& ident,
                               QDate defaultValue) const {
    const auto text = QString::fromStdString(ReadString(section, ident, ""));
    const QDate value = QLocale().toDate(text, QLocale::ShortFormat);
    return text.isEmpty() || !value.isValid() ? defaultValue : value;
}

QDateTime TCustomIniFile::ReadDateTime(const std::string& section, const std::string& ident,
                                       QDateTime defaultValue) const {
    const auto text = QString::fromStdString(ReadString(section, ident, ""));
    const QDateTime value = QLocale().toDateTime(text, QLocale::ShortFormat);
    return text.isEmpty() || !value.isValid() ? defaultValue : value;
}

double TCustomIniFile::ReadFloat(const std::string& section, const std::string& ident,
                                 double defaultValue) const {
    const auto text = QString::fromStdString(ReadString(section, ident, ""));
    bool ok = false;
    const double value = QLocale().toDouble(text, &ok);
    return ok ? value : defaultValue;
}

QTime TCustomIniFile::ReadTime(const std::string& section, const std::string& ident,
                               QTime defaultValue) const {
    const auto text = QString::fromStdString(ReadString(section, ident, ""));
    const QTime value = QLocale().toTime(text, QLocale::LongFormat);
    return text.isEmpty() || !value.isValid() ? defaultValue : value;
}

void TCustomIniFile::WriteDate(const std::string& section, const std::string& ident, QDate value) {
    WriteString(section, ident, QLocale().toString(value, QLocale::ShortFormat).toStdString());
}

void TCustomIniFile::WriteDateTime(const std::string& section, const std::string& ident,
                                   const QDateTime& value) {
    WriteString(section, ident, QLocale().toString(value, QLocale::ShortFormat).toStdString());
}

void TCustomIniFile::WriteFloat(const std::string& section, const std::string& ident, double value) {
    WriteString(section, ident, QLocale().toString(value, 'g', 15).toStdString());
}

void TCustomIniFile::WriteTime(const std::string& section, const std::string& ident, QTime value) {
    WriteString(section, ident, QLocale().toString(value, QLocale::LongFormat).toStdString());
}

bool TCustomIniFile::SectionExists(const std::string& section) const {
    TStrings keys;
    ReadSection(section, keys);
    return !keys.empty();
}

bool TCustomIniFile::ValueExists(const std::string& section, const std::string& ident) const {
    TStrings keys;
    ReadSection(section, keys);
    return std::any_of(keys.begin(), keys.end(),
                       [&](const std::string& k) { return EqualsIgnoreCase(k, ident); });
}

TMemIniFile::TMemIniFile(std::string fileName) : TCustomIniFile(std::move(fileName)) {
    LoadValues();
}

TMemIniEntry* TMemIniFile::find(const std::string& section) const {
    auto at = std::lower_bound(
        sections_.begin(), sections_.end(), section,
        [](const auto& s, const std::string& n) { return CompareIgnoreCase(s.first, n) < 0; });
    return at != sections_.end() && EqualsIgnoreCase(at->first, section) ? at->second.get() : nullptr;
}

TMemIniEntry* TMemIniFile::AddSection(const std::string& name) {
    // A repeated section header keeps the first section; its keys go on there.
    if (TMemIniEntry* existing = find(name))
        return existing;
    auto at =
        std::lower_bound(sections_.begin(), sections_.end(), name, [](const auto& s, const std::string& n) {
            return CompareIgnoreCase(s.first, n) < 0;
        });
    at = sections_.insert(at, {name, std::make_unique<TMemIniEntry>()});
    return at->second.get();
}

void TMemIniFile::GetStrings(TStrings& out) const {
    for (const auto& [name, entry] : sections_) {
        out.push_back("[" + name + "]");
        for (int i = 0; i < entry->GetStringCount(); ++i)
            out.push_back(entry->getEntry(i));
        out.emplace_back();
    }
}

void TMemIniFile::SetStrings(const TStrings& lines) {
    Clear();
    TMemIniEntry* current = nullptr;
    for (const auto& line : lines) {
        if (line.empty() || line[0] == ';')
            continue;
        if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
            current = AddSection(line.substr(1, line.size() - 2));
            continue;
        }
        if (current)
            current->Add(line);
    }
}

void TMemIniFile::LoadValues() {
    if (FileName.empty()) {
        Clear();
        return;
    }
    QFile file(QString::fromStdString(FileName));
    if (!file.exists()) {
        Clear();
        return;
    }
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("Cannot read " + FileName);
    SetStrings(SplitLines(file.readAll().toStdString()));
}

std::string TMemIniFile::ReadString(const std::string& section, const std::string& ident,
                                    const std::string& defaultValue) const {
    const TMemIniEntry* entry = find(section);
    int index = 0;
    if (entry && entry->Find(ident, index))
        return entry->GetValue(index);
    return defaultValue;
}

void TMemIniFile::WriteString(const std::string& section, const std::string& ident,
                              const std::string& value) {
    TMemIniEntry* entry = AddSection(section);
    int index = 0;
    if (entry->Find(ident, index))
        entry->Delete(index);
    entry->Add(ident + "=" + value);
}

void TMemIniFile::ReadSection(const std::string& section, TStrings& out) const {
    out.clear();
    if (const TMemIniEntry* entry = find(section))
        for (int i = 0; i < entry->GetStringCount(); ++i)
            out.push_back(entry->getKey(i));
}

void TMemIniFile::ReadSections(TStrings& out) const {
    out.clear();
    for (const auto& section : sections_)
        out.push_back(section.first);
}

void TMemIniFile::ReadSectionValues(const std::string& section, TStrings& out) const {
    out.clear();
    if (const TMemIniEntry* entry = find(section))
        for (int i = 0; i < entry->GetStringCount(); ++i)
            out.push_back(entry->GetValue(i));
}

void TMemIniFile::EraseSection(const std::string& section) {
    sections_.erase(std::remove_if(sections_.begin(), sections_.end(),
                                   [&](const auto& s) { return EqualsIgnoreCase(s.first, section); }),
                    sections_.end());
}

void TMemIniFile::DeleteKey(const std::string& section, const std::string& ident) {
    TMemIniEntry* entry = find(section);
    int index = 0;
    if (entry && entry->Find(ident, index))
        entry->Delete(index);
}

void TMemIniFile::UpdateFile() {
    TStrings lines;
    GetStrings(lines);
    QSaveFile file(QString::fromStdString(FileName));
    std::string text;
    for (const auto& line : lines)
        text += line + "\r\n";
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(text.data(), qint64(text.size())) != qint64(text.size()) || !file.commit())
        throw std::runtime_error("Cannot write " + FileName);
}

void TMemIniFile::Rename(const std::string& fileName, bool reload) {
    FileName = fileName;
    if (reload)
        LoadValues();
}

TMemIniFile IniFromText(std::string_view text) {
    TMemIniFile ini;
    ini.SetStrings(SplitLines(text));
    return ini;
}

std::string JoinLines(const TStrings& lines) {
    std::string text;
    for (const auto& line : lines)
        text += line + "\r\n";
    return text;
}

} // namespace i18n
