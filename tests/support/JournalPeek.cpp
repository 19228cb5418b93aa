#include "support/JournalPeek.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

namespace testing_support {

int JournalRowsWhere(const std::string& path, const std::string& condition, const std::string& text) {
    int count = -1;
    {
        QSqlDatabase journal = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("peek"));
        journal.setDatabaseName(QString::fromStdString(path));
        journal.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (journal.open()) {
            QSqlQuery query(journal);
            query.prepare(QString::fromStdString(
                "SELECT COUNT(*) FROM rows" + (condition.empty() ? std::string() : " WHERE " + condition)));
            if (condition.find('?') != std::string::npos)
                query.addBindValue(QString::fromStdString(text));
            if (query.exec() && query.next())
                count = query.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("peek"));
    return count;
}

} // namespace testing_support
