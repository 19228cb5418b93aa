#include "platform/SqliteSetAside.h"

#include "platform/Clock.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

namespace platform {

std::string SetAsideSqliteFile(const std::string& path) {
    const QString file = QString::fromStdString(path);
    const QString stem = file + QStringLiteral(".unreadable-") +
                         processClock().dateTime().toString(QStringLiteral("yyyy-MM-dd-HHmmss"));
    QString aside = stem;
    for (int n = 2; QFileInfo::exists(aside); ++n)
        aside = stem + QLatin1Char('-') + QString::number(n);
    if (!QFile::rename(file, aside))
        return {};
    QFile::rename(file + QStringLiteral("-wal"), aside + QStringLiteral("-wal"));
    QFile::remove(file + QStringLiteral("-shm"));
    return aside.toStdString();
}

} // namespace platform
