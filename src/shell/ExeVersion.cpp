#include "shell/ExeVersion.h"

#include "platform/Version.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <cstring>

namespace {

const char* resourceString(const std::string& name) {
    using namespace platform::version;
    static const std::pair<const char*, const char*> strings[] = {
        {"CompanyName", CompanyName},           {"FileDescription", FileDescription},
        {"FileVersion", FileVersion},           {"InternalName", InternalName},
        {"LegalCopyright", LegalCopyright},     {"LegalTrademarks", LegalTrademarks},
        {"OriginalFilename", OriginalFilename}, {"ProductName", ProductName},
        {"ProductVersion", ProductVersion},     {"Comments", Comments},
    };
    for (const auto& [key, value] : strings)
        if (name == key)
            return value;
    return nullptr;
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

unsigned TExeVersion::GetFileVersionField(const std::string& fileName, const std::string& stringName,
                                          unsigned bufferSize, char* buffer) {
    if (bufferSize > 0)
        buffer[0] = '\0';
    // Only the running program carries the compiled-in resource.
    const bool isProgram = QFileInfo(QString::fromStdString(fileName)).fileName() ==
                           QFileInfo(QString::fromStdString(ProgramPath())).fileName();
    const char* value = isProgram ? resourceString(stringName) : nullptr;
    if (!value || bufferSize == 0)
        return 0;
    const std::size_t length = std::strlen(value);
    const std::size_t copied = std::min<std::size_t>(length, bufferSize - 1);
    std::memcpy(buffer, value, copied);
    buffer[copied] = '\0';
    return unsigned(length);
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
