#include "i18n/TranslationFileIo.h"

#include "i18n/LangComponent.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

namespace i18n {

namespace {
// Far above any translation file; keeps a wrong path from filling memory.
constexpr qint64 MaxFileSize = 64 * 1024 * 1024;

[[noreturn]] void refuse(const std::string& fileName, const std::string& reason) {
    throw ELanguageError(fileName + ": " + reason);
}
} // namespace

bool FileExists(const std::string& fileName) {
    return QFileInfo(QString::fromStdString(fileName)).isFile();
}

std::string ReadFileBytes(const std::string& fileName) {
    QFile file(QString::fromStdString(fileName));
    if (!file.open(QIODevice::ReadOnly))
        refuse(fileName, "cannot be read (" + file.errorString().toStdString() + ")");
    if (file.size() > MaxFileSize)
        refuse(fileName, "is too large for a translation file");
    const QByteArray bytes = file.read(MaxFileSize + 1);
    if (file.error() != QFileDevice::NoError)
        refuse(fileName, "cannot be read (" + file.errorString().toStdString() + ")");
    if (bytes.size() > MaxFileSize)
        refuse(fileName, "is too large for a translation file");
    return bytes.toStdString();
}

std::string ReadTranslationText(const std::string& fileName) {
    std::string text = ReadFileBytes(fileName);
    if (text.find('\0') != std::string::npos)
        refuse(fileName, "holds a NUL byte");
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    // The decoding runs when its result is taken.
    const QString decoded = decoder.decode(QByteArrayView(text.data(), qsizetype(text.size())));
    if (decoder.hasError())
        refuse(fileName, "is not valid UTF-8");
    return text;
}

void WriteFileAtomically(const std::string& fileName, std::string_view bytes) {
    QSaveFile file(QString::fromStdString(fileName));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size()) || !file.commit())
        refuse(fileName, "cannot be written (" + file.errorString().toStdString() + ")");
}

} // namespace i18n
