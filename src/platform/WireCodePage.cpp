#include "platform/WireCodePage.h"

#include <QLocale>
#include <QString>
#include <QStringDecoder>
#include <QStringEncoder>
#include <atomic>

namespace platform {
namespace {

WireCodePage pageFromLocale() {
    return QLocale::system().language() == QLocale::Russian ? WireCodePage::Cp1251 : WireCodePage::Cp1250;
}

std::atomic<int>& forcedPage() {
    static std::atomic<int> page{-1};
    return page;
}

// Both code pages keep ASCII as it is: most of the traffic (exchange records,
// protocol words, numbers) needs no converter, which is costly to open.
bool isAscii(const std::string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

} // namespace

WireCodePage wireCodePage() {
    const int forced = forcedPage().load();
    if (forced >= 0)
        return static_cast<WireCodePage>(forced);
    static const WireCodePage fromLocale = pageFromLocale();
    return fromLocale;
}

void setWireCodePage(WireCodePage page) {
    forcedPage() = static_cast<int>(page);
}

const char* wireCodePageName() {
    return wireCodePage() == WireCodePage::Cp1251 ? "windows-1251" : "windows-1250";
}

const char* wireCharsetName() {
    return wireCodePage() == WireCodePage::Cp1251 ? "WIN1251" : "WIN1250";
}

bool toWireExact(const std::string& utf8, std::string* wire) {
    if (isAscii(utf8)) {
        *wire = utf8;
        return true;
    }
    QStringEncoder encoder(wireCodePageName());
    const QByteArray bytes = encoder.encode(QString::fromUtf8(utf8.data(), qsizetype(utf8.size())));
    wire->assign(bytes.constData(), std::size_t(bytes.size()));
    return !encoder.hasError();
}

std::string toWire(const std::string& utf8) {
    std::string wire;
    toWireExact(utf8, &wire);
    return wire;
}

std::string fromWire(const std::string& bytes) {
    if (isAscii(bytes))
        return bytes;
    QStringDecoder decoder(wireCodePageName());
    const QString text = decoder.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    return text.toStdString();
}

std::size_t utf8Length(const std::string& utf8) {
    std::size_t count = 0;
    for (unsigned char c : utf8)
        if ((c & 0xC0) != 0x80)
            ++count;
    return count;
}

std::string utf8Left(const std::string& utf8, std::size_t maxChars) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) {
            if (chars == maxChars)
                return utf8.substr(0, i);
            ++chars;
        }
    }
    return utf8;
}

} // namespace platform
