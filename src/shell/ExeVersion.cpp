#include "shell/ExeVersion.h"

#include "platform/Version.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The compiled-in block: per value its path, a NUL, its length in two bytes
// (low first) and its bytes.
constexpr const char* TranslationPath = "\\VarFileInfo\\Translation";

void appendValue(std::string& block, const std::string& path, const std::string& value) {
    block += path;
    block += '\0';
    block += char(value.size() & 0xff);
    block += char((value.size() >> 8) & 0xff);
    block += value;
}

const std::string& programBlock() {
    static const std::string block = [] {
        using namespace platform::version;
        std::string made;
        // Language 0415, code page 04e2, each a little-endian word.
        appendValue(made, TranslationPath, std::string("\x15\x04\xe2\x04", 4));
        const std::pair<const char*, const char*> strings[] = {
            {"CompanyName", CompanyName},           {"FileDescription", FileDescription},
            {"FileVersion", FileVersion},           {"InternalName", InternalName},
            {"LegalCopyright", LegalCopyright},     {"LegalTrademarks", LegalTrademarks},
            {"OriginalFilename", OriginalFilename}, {"ProductName", ProductName},
            {"ProductVersion", ProductVersion},     {"Comments", Comments},
        };
        for (const auto& [key, value] : strings)
            appendValue(made, std::string(TExeVersion::ProgramStringTable) + key, value);
        return made;
    }();
    return block;
}

// Only the running program carries the compiled-in block; a file is the
// program when its name is.
bool blockOf(const std::string& fileName, const std::string*& block, int& error) {
    const QFileInfo file(QString::fromStdString(fileName));
    if (file.fileName() == QFileInfo(QString::fromStdString(TExeVersion::ProgramPath())).fileName()) {
        block = &programBlock();
        return true;
    }
    error = file.exists() ? ENODATA : ENOENT;
    return false;
}

std::string trimmed(const std::string& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ')
        ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ')
        --end;
    return text.substr(begin, end - begin);
}

} // namespace

TExeVersion::TExeVersion(const QString& name, QObject* owner) : QObject(owner) {
    setObjectName(name);
    SetFilename(QString());
}

std::string TExeVersion::ProgramPath() {
    const QString path = QCoreApplication::applicationFilePath();
    return path.isEmpty() ? std::string("halvex") : path.toStdString();
}

void TExeVersion::SetFilename(const QString& name) {
    filename_ = useCurrent_ ? QString::fromStdString(ProgramPath()) : name;
}

void TExeVersion::SetUseCurrentApplication(bool on) {
    useCurrent_ = on;
    SetFilename(QString());
}

unsigned TExeVersion::VersionBlockSize(const std::string& fileName, int& error) {
    const std::string* block = nullptr;
    return blockOf(fileName, block, error) ? unsigned(block->size()) : 0;
}

bool TExeVersion::ReadVersionBlock(const std::string& fileName, std::string& block, int& error) {
    const std::string* found = nullptr;
    if (!blockOf(fileName, found, error))
        return false;
    block = *found;
    return true;
}

bool TExeVersion::QueryVersionValue(const std::string& block, const std::string& path, std::string& value,
                                    int& error) {
    std::size_t at = 0;
    while (at < block.size()) {
        const std::size_t end = block.find('\0', at);
        if (end == std::string::npos || end + 3 > block.size())
            break;
        const std::size_t length = std::size_t(static_cast<unsigned char>(block[end + 1])) |
                                   (std::size_t(static_cast<unsigned char>(block[end + 2])) << 8);
        const std::size_t start = end + 3;
        if (start + length > block.size())
            break;
        if (block.compare(at, end - at, path) == 0) {
            value = block.substr(start, length);
            return true;
        }
        at = start + length;
    }
    error = ENOENT;
    return false;
}

unsigned TExeVersion::GetFileVersionField(const std::string& fileName, const std::string& stringName,
                                          unsigned bufferSize, char* buffer) {
    if (bufferSize > 0)
        buffer[0] = '\0';
    int error = 0;
    std::string block, translation, value;
    if (bufferSize == 0 || !ReadVersionBlock(fileName, block, error) ||
        !QueryVersionValue(block, TranslationPath, translation, error) || translation.size() < 4)
        return 0;
    // The first entry: language and code page, as eight lower-case hex digits.
    const auto word = [&](int at) {
        return unsigned(static_cast<unsigned char>(translation[std::size_t(at)])) |
               unsigned(static_cast<unsigned char>(translation[std::size_t(at) + 1])) << 8;
    };
    char table[9];
    std::snprintf(table, sizeof table, "%04x%04x", word(0), word(2));
    if (!QueryVersionValue(block, "\\StringFileInfo\\" + std::string(table) + "\\" + stringName, value,
                           error))
        return 0;
    const std::size_t copied = std::min<std::size_t>(value.size(), bufferSize - 1);
    std::memcpy(buffer, value.data(), copied);
    buffer[copied] = '\0';
    return unsigned(value.size());
}

std::string TExeVersion::field(const char* name) const {
    char buffer[260];
    if (GetFileVersionField(filename_.toStdString(), name, sizeof buffer, buffer) == 0)
        return {};
    return trimmed(buffer);
}

std::string TExeVersion::VersionPart(const std::string& version, int index) {
    if (index == 0) {
        const auto dot = version.find('.');
        return dot == std::string::npos ? std::string() : version.substr(0, dot);
    }
    // Later parts: the text split at runs of ".", leading ones skipped.
    int part = 0;
    std::size_t pos = 0;
    while (pos < version.size()) {
        while (pos < version.size() && version[pos] == '.')
            ++pos;
        const std::size_t end = std::min(version.find('.', pos), version.size());
        if (pos < end && part++ == index)
            return version.substr(pos, end - pos);
        pos = end;
    }
    return {};
}
