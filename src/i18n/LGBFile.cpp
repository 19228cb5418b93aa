#include "i18n/LGBFile.h"

#include "i18n/ComponentStream.h"
#include "i18n/LangComponent.h"
#include "i18n/TranslationFileIo.h"

#include <QFileInfo>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>

using i18n::TStrings;

namespace {

const char HeaderText[] = "LGB file: TlgLang binary translation data";
constexpr std::size_t HeaderSize = sizeof HeaderText; // the text and its 0x00
constexpr std::size_t MaxOwnerName = 255;

[[noreturn]] void unrecognized() {
    throw ELanguageError(i18n::UnrecognizedStreamFormat);
}

struct Cursor {
    std::string_view data;
    std::size_t pos = 0;
    std::uint32_t read(int size) {
        if (std::size_t(size) > data.size() - pos)
            unrecognized();
        std::uint32_t v = 0;
        for (int i = 0; i < size; ++i)
            v |= std::uint32_t(static_cast<unsigned char>(data[pos + std::size_t(i)])) << (8 * i);
        pos += std::size_t(size);
        return v;
    }
    std::string_view take(std::size_t size) {
        if (size > data.size() - pos)
            unrecognized();
        const std::string_view s = data.substr(pos, size);
        pos += size;
        return s;
    }
};

// The checked frame of a file: fixed languages and each entry's owner name and block.
struct Frame {
    TStrings fixedLanguages;
    std::vector<std::pair<std::string, std::string_view>> entries;
};

void addSorted(TStrings& list, const std::string& line) {
    const auto at = std::lower_bound(list.begin(), list.end(), line, [](const auto& a, const auto& b) {
        return i18n::CompareIgnoreCase(a, b) < 0;
    });
    if (at == list.end() || !i18n::EqualsIgnoreCase(*at, line))
        list.insert(at, line);
}

Frame readFrame(std::string_view bytes) {
    Cursor c{bytes};
    if (c.take(HeaderSize) != std::string_view(HeaderText, HeaderSize))
        unrecognized();
    const std::uint32_t count = c.read(2);
    const std::uint32_t fixedSize = c.read(2);
    Frame frame;
    for (const auto& line : i18n::SplitLines(c.take(fixedSize)))
        addSorted(frame.fixedLanguages, line);
    std::vector<std::pair<std::string, std::uint32_t>> directory;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t nameSize = c.read(2);
        if (nameSize > MaxOwnerName)
            unrecognized();
        const std::string name(c.take(nameSize));
        directory.emplace_back(name, c.read(4));
    }
    const std::size_t directoryEnd = c.pos;
    std::vector<std::uint32_t> starts;
    for (const auto& [name, offset] : directory) {
        if (offset < directoryEnd || offset >= bytes.size())
            unrecognized();
        starts.push_back(offset);
    }
    std::sort(starts.begin(), starts.end());
    for (const auto& [name, offset] : directory) {
        // A block ends where the next one begins, or at the file's end.
        const auto next = std::upper_bound(starts.begin(), starts.end(), offset);
        const std::size_t end = next == starts.end() ? bytes.size() : *next;
        frame.entries.emplace_back(name, bytes.substr(offset, end - offset));
    }
    return frame;
}

void putLE(std::string& out, std::uint32_t v, int size) {
    for (int i = 0; i < size; ++i)
        out += char(static_cast<unsigned char>(v >> (8 * i)));
}

std::uint16_t checked16(std::size_t v, const char* what) {
    if (v > 0xFFFF)
        throw ELanguageError(std::string("Too many ") + what + " for a binary translation file");
    return std::uint16_t(v);
}

} // namespace

bool lgIsBinaryFile(const std::string& fileName) {
    return QFileInfo(QString::fromStdString(fileName)).suffix().toUpper() == QLatin1String("LGB");
}

TLGBFileManager::TLGBFileManager() : header_(HeaderText, HeaderSize) {}

TLGBFileManager::TLGBFileManager(const std::string& fileName) : TLGBFileManager() {
    if (i18n::FileExists(fileName))
        ReadFileContent(fileName);
}

TLGBFileManager::~TLGBFileManager() {
    ClearList();
}

void TLGBFileManager::release(Entry& entry) {
    if (entry.owned)
        delete entry.component.data();
    entry.component = nullptr;
}

TLGBFileManager::Entry& TLGBFileManager::at(int index) {
    if (index < 0 || index >= GetCompCount())
        throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    return entries_[std::size_t(index)];
}

const TLGBFileManager::Entry& TLGBFileManager::at(int index) const {
    return const_cast<TLGBFileManager*>(this)->at(index);
}

int TLGBFileManager::Add(TlgCustomLang* component) {
    const std::string name = component->parent() ? component->OwnerClassName() : std::string();
    if (!name.empty())
        for (std::size_t i = 0; i < entries_.size(); ++i)
            if (entries_[i].ownerName == name) {
                release(entries_[i]);
                entries_[i].component = component;
                entries_[i].owned = false;
                return int(i);
            }
    entries_.push_back({name, component, false});
    return GetCompCount() - 1;
}

void TLGBFileManager::Clear() {
    ClearList();
}

void TLGBFileManager::ClearList() {
    for (Entry& entry : entries_)
        release(entry);
    entries_.clear();
}

void TLGBFileManager::Remove(int index) {
    release(at(index));
    entries_.erase(entries_.begin() + index);
}

void TLGBFileManager::Move(int from, int to) {
    at(to);
    Entry moved = std::move(at(from));
    entries_.erase(entries_.begin() + from);
    entries_.insert(entries_.begin() + to, std::move(moved));
}

const std::string& TLGBFileManager::GetOwnerNames(int index) const {
    return at(index).ownerName;
}

void TLGBFileManager::SetOwnerNames(int index, const std::string& name) {
    at(index).ownerName = name;
}

TlgCustomLang* TLGBFileManager::GetlgComponents(int index) const {
    return at(index).component;
}

void TLGBFileManager::SetlgComponents(int index, TlgCustomLang* component) {
    Entry& entry = at(index);
    if (entry.component == component)
        return;
    release(entry);
    entry.component = component;
    entry.owned = false;
}

int TLGBFileManager::GetComponentSize(int index) const {
    TlgCustomLang* component = GetlgComponents(index);
    return component ? int(i18n::WriteComponentBlock(*component).size()) : 0;
}

void TLGBFileManager::SetFixedLanguages(const TStrings& languages) {
    TStrings sorted;
    for (const auto& language : languages)
        addSorted(sorted, language);
    fixedLanguages_ = std::move(sorted);
}

void TLGBFileManager::LoadFromFile(TlgCustomLang* target, const std::string& ownerName,
                                   const std::string& fileName) {
    LoadFromStream(target, ownerName, i18n::ReadFileBytes(fileName));
}

void TLGBFileManager::LoadFromStream(TlgCustomLang* target, const std::string& ownerName,
                                     std::string_view stream) {
    Frame frame = readFrame(stream);
    const auto entry = std::find_if(frame.entries.begin(), frame.entries.end(),
                                    [&](const auto& e) { return e.first == ownerName; });
    std::unique_ptr<TlgCustomLang> read;
    if (entry != frame.entries.end())
        read = i18n::ReadComponentBlock(entry->second);
    // Everything checked out: from here on nothing can fail halfway.
    fixedLanguages_ = std::move(frame.fixedLanguages);
    if (!read)
        return;
    const bool wasReading = target->IsReadingFile();
    target->SetReadingFile(true);
    const char from = read->LangDelim(), to = target->LangDelim();
    for (int type = 0; type < StringsTypeCount; ++type) {
        const TStrings* source = read->GetPropListByType(type);
        TStrings* list = target->GetPropListByType(type);
        if (!source || !list)
            continue;
        *list = *source;
        if (from != to)
            for (auto& line : *list)
                std::replace(line.begin(), line.end(), from, to);
        if (type != stCaptions && type != stHints && type != stFonts && type != stCharSets)
            continue;
        // The owner's own line goes first, where applying a language looks for it.
        const std::string prefix = ownerName + to;
        for (std::size_t i = 1; i < list->size(); ++i)
            if ((*list)[i].compare(0, prefix.size(), prefix) == 0) {
                std::string line = std::move((*list)[i]);
                list->erase(list->begin() + std::ptrdiff_t(i));
                list->insert(list->begin(), std::move(line));
                break;
            }
    }
    target->SetLangNames(read->LangNames());
    target->SetExtendedTranslations(read->ExtendedTranslations());
    if (from != to)
        for (int i = 0; i < target->ExtendedTranslations().Count(); ++i) {
            std::string& values = target->ExtendedTranslations().Items(i).Values;
            std::replace(values.begin(), values.end(), from, to);
        }
    target->SetReadingFile(wasReading);
}

void TLGBFileManager::LoadPropFromFile(int type, const std::string& fileName, const std::string& ownerName,
                                       TlgCustomLang* target) {
    TlgCustomLang read(nullptr);
    LoadFromFile(&read, ownerName, fileName);
    const TStrings* source = read.GetPropListByType(type);
    TStrings* list = target->GetPropListByType(type);
    if (source && list)
        *list = *source;
}

void TLGBFileManager::LoadAllFromFile(const std::string& fileName) {
    Clear();
    ReadFileContent(fileName);
}

void TLGBFileManager::ReadFileContent(const std::string& fileName) {
    ReadStreamContent(i18n::ReadFileBytes(fileName));
}

void TLGBFileManager::ReadStreamContent(std::string_view stream) {
    Frame frame = readFrame(stream);
    std::vector<std::unique_ptr<TlgCustomLang>> read;
    for (const auto& entry : frame.entries)
        read.push_back(i18n::ReadComponentBlock(entry.second));
    Clear();
    fixedLanguages_ = std::move(frame.fixedLanguages);
    for (std::size_t i = 0; i < read.size(); ++i)
        entries_.push_back({frame.entries[i].first, read[i].release(), true});
}

void TLGBFileManager::dropVanished() {
    entries_.erase(
        std::remove_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.component; }),
        entries_.end());
}

void TLGBFileManager::SaveToFile(const std::string& fileName) {
    std::string bytes;
    SaveToStream(bytes);
    i18n::WriteFileAtomically(fileName, bytes);
}

void TLGBFileManager::SaveToStream(std::string& stream) {
    dropVanished(); // a form destroyed meanwhile takes its component along
    std::string fixed;
    for (const auto& line : fixedLanguages_)
        fixed += line + "\r\n";
    std::string out = header_;
    putLE(out, checked16(entries_.size(), "components"), 2);
    putLE(out, checked16(fixed.size(), "fixed languages"), 2);
    out += fixed;
    std::vector<std::size_t> placeholders;
    for (const Entry& entry : entries_) {
        const std::string name = entry.ownerName.substr(0, MaxOwnerName);
        putLE(out, std::uint32_t(name.size()), 2);
        out += name;
        placeholders.push_back(out.size());
        putLE(out, 0, 4);
    }
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const std::size_t offset = out.size();
        out += i18n::WriteComponentBlock(*entries_[i].component);
        for (int b = 0; b < 4; ++b)
            out[placeholders[i] + std::size_t(b)] = char(static_cast<unsigned char>(offset >> (8 * b)));
    }
    stream = std::move(out);
}

void TLGBFileManager::AssignTo(TLGBFileManager& destination) {
    if (&destination == this)
        return;
    dropVanished();
    std::vector<std::unique_ptr<TlgCustomLang>> copies;
    for (const Entry& entry : entries_)
        copies.push_back(i18n::ReadComponentBlock(i18n::WriteComponentBlock(*entry.component)));
    destination.ClearList();
    destination.header_ = header_;
    destination.fixedLanguages_ = fixedLanguages_;
    for (std::size_t i = 0; i < entries_.size(); ++i)
        destination.entries_.push_back({entries_[i].ownerName, copies[i].release(), true});
}
