// The two files of the calendar program that the server reads: the list of
// shared calendars it answers calendar clients with, and the service's
// settings file, of which it keeps the port and the calendar folder.
#include "clients/SharedCalendars.h"

#include "base/DiagnosticLog.h"

#include <QDomDocument>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringEncoder>
#include <optional>

namespace clients {
namespace {

// Both files are small; a bigger one is not read at all.
constexpr qint64 FileSizeLimit = 4 * 1024 * 1024;

// The whole file, or nothing when it cannot be read or is too big.
std::optional<QByteArray> readSmallFile(const QString& path, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return std::nullopt;
    }
    QByteArray bytes = file.read(FileSizeLimit + 1);
    if (bytes.size() > FileSizeLimit) {
        error = QStringLiteral("file too big");
        return std::nullopt;
    }
    return bytes;
}

// The encoding named by the document's declaration; else the one its byte
// order mark gives; else UTF-8.
QByteArray documentEncoding(const QDomDocument& document, const QByteArray& bytes) {
    const QDomNode first = document.firstChild();
    if (first.isProcessingInstruction() && first.nodeName() == QLatin1String("xml")) {
        static const QRegularExpression encoding(QStringLiteral(R"(encoding\s*=\s*["']([^"']+)["'])"));
        const QRegularExpressionMatch match = encoding.match(first.toProcessingInstruction().data());
        if (match.hasMatch())
            return match.captured(1).toLatin1();
    }
    if (auto fromMark = QStringConverter::encodingForData(bytes))
        return QStringConverter::nameForEncoding(*fromMark);
    return "UTF-8";
}

// Replaces the element's content by one text, as a text property does;
// true when that changed it.
bool setText(QDomElement element, const QString& text) {
    const QDomNode only = element.firstChild();
    if (element.childNodes().count() == 1 && only.isText() && only.nodeValue() == text)
        return false;
    while (element.hasChildNodes())
        element.removeChild(element.firstChild());
    element.appendChild(element.ownerDocument().createTextNode(text));
    return true;
}

} // namespace

QByteArray SharedCalendars::CalendarList(const QString& localAddress) const {
    QJsonArray list;
    QString error;
    const QString path = QString::fromStdString(ProgramFolder) + QStringLiteral("/shared_cals.xml");
    // A missing or unreadable list answers as an empty one.
    if (const auto bytes = readSmallFile(path, error)) {
        QDomDocument document;
        int line = 0;
        if (!document.setContent(*bytes, &error, &line)) {
            base::WriteLog(2, "Błąd pliku %s w wierszu %d: %s", path.toUtf8().constData(), line,
                           error.toUtf8().constData());
        } else if (const QDomElement root = document.documentElement();
                   root.tagName() == QLatin1String("calendars")) {
            const QString server = QStringLiteral("ftp://cti:qzx@") + localAddress + QLatin1Char(':') +
                                   QString::number(settings_().PortTCPCalSend);
            for (QDomElement calendar = root.firstChildElement(QStringLiteral("calendar"));
                 !calendar.isNull(); calendar = calendar.nextSiblingElement(QStringLiteral("calendar"))) {
                QJsonObject item;
                item.insert(QStringLiteral("label"), calendar.attribute(QStringLiteral("name")));
                item.insert(QStringLiteral("url"), server + calendar.attribute(QStringLiteral("location")));
                list.append(item);
            }
        }
    }
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
}

void SharedCalendars::ZapiszKonfiguracjeKalendarza(const std::string& port) {
    const QString path = QString::fromStdString(ProgramFolder) + QStringLiteral("/Ormbell.xml");
    const QByteArray pathText = path.toUtf8();
    // The file belongs to the calendar program: it is never made here.
    if (!QFile::exists(path)) {
        base::WriteLog(2, "Brak pliku %s", pathText.constData());
        return;
    }
    QString error;
    const auto bytes = readSmallFile(path, error);
    if (!bytes) {
        base::WriteLog(2, "Błąd odczytu pliku %s: %s", pathText.constData(), error.toUtf8().constData());
        return;
    }
    QDomDocument document;
    int line = 0;
    if (!document.setContent(*bytes, &error, &line)) {
        base::WriteLog(2, "Błąd pliku %s w wierszu %d: %s", pathText.constData(), line,
                       error.toUtf8().constData());
        return;
    }
    const QDomElement root = document.documentElement();
    if (root.tagName() != QLatin1String("Ormbell"))
        return;

    bool changed = false;
    const QString portText = QString::fromStdString(port);
    for (QDomElement item =
             root.firstChildElement(QStringLiteral("Settings")).firstChildElement(QStringLiteral("Item"));
         !item.isNull(); item = item.nextSiblingElement(QStringLiteral("Item"))) {
        if (item.attribute(QStringLiteral("name")) == QLatin1String("Serverports"))
            changed |= setText(item, portText);
    }
    QDomElement permission = root.firstChildElement(QStringLiteral("Users"))
                                 .firstChildElement(QStringLiteral("User"))
                                 .firstChildElement(QStringLiteral("Permissions"))
                                 .firstChildElement(QStringLiteral("Permission"));
    const QString folder = QString::fromStdString(ProgramFolder) + QStringLiteral("/shared_cals/");
    if (!permission.isNull() && permission.attribute(QStringLiteral("Dir")) != folder) {
        permission.setAttribute(QStringLiteral("Dir"), folder);
        changed = true;
    }
    // An unchanged file keeps its bytes and its time.
    if (!changed)
        return;

    const QByteArray encodingName = documentEncoding(document, *bytes);
    const bool byteOrderMark = QStringConverter::encodingForData(*bytes).has_value();
    QStringEncoder encoder(encodingName.constData(), byteOrderMark ? QStringConverter::Flag::WriteBom
                                                                   : QStringConverter::Flag::Default);
    if (!encoder.isValid()) {
        base::WriteLog(2, "Nieznane kodowanie %s pliku %s", encodingName.constData(), pathText.constData());
        return;
    }
    // The declaration is written by hand: the document writer knows only the
    // Unicode encodings and would warn about any other.
    QString declaration;
    if (const QDomNode first = document.firstChild();
        first.isProcessingInstruction() && first.nodeName() == QLatin1String("xml")) {
        declaration =
            QStringLiteral("<?xml ") + first.toProcessingInstruction().data() + QStringLiteral("?>\n");
        document.removeChild(first);
    }
    const QByteArray text = encoder.encode(declaration + document.toString(2));
    if (encoder.hasError()) {
        base::WriteLog(2, "Tekstu nie da się zapisać w kodowaniu %s pliku %s", encodingName.constData(),
                       pathText.constData());
        return;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        base::WriteLog(2, "Błąd zapisu pliku %s: %s", pathText.constData(),
                       file.errorString().toUtf8().constData());
}

} // namespace clients
