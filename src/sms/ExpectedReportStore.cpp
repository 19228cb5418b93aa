#include "sms/ExpectedReportStore.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sms {

namespace {

int stores = 0;

QSqlDatabase database(const std::string& name) {
    return QSqlDatabase::database(QString::fromStdString(name), false);
}

// Made owner-only before SQLite opens it: its -wal and -shm files take the
// same mode. A link in its place is not followed.
bool makeOwnerOnly(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 || ::fchmod(fd, 0600) != 0) {
        error = std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

} // namespace

ExpectedReportStore::ExpectedReportStore() : connection_("halvex-reports-" + std::to_string(++stores)) {}

ExpectedReportStore::~ExpectedReportStore() {
    {
        QSqlDatabase db = database(connection_);
        if (db.isValid())
            db.close();
    }
    if (QSqlDatabase::contains(QString::fromStdString(connection_)))
        QSqlDatabase::removeDatabase(QString::fromStdString(connection_));
}

bool ExpectedReportStore::Open(const std::string& path) {
    path_ = path;
    if (!makeOwnerOnly(path, lastError_))
        return false;
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", QString::fromStdString(connection_));
    if (!db.isValid())
        return fail("the SQLite driver of Qt (QSQLITE) is not installed");
    db.setDatabaseName(QString::fromStdString(path));
    if (!db.open())
        return fail(db.lastError().text().toStdString());
    QSqlQuery query(db);
    // NORMAL in WAL mode: a commit survives the process's crash.
    for (const char* statement :
         {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL",
          "CREATE TABLE IF NOT EXISTS reports (line INTEGER NOT NULL, place INTEGER NOT NULL, rowkey INTEGER "
          "NOT NULL, idpc INTEGER NOT NULL, idr INTEGER NOT NULL, sender INTEGER NOT NULL, created INTEGER "
          "NOT NULL, number TEXT NOT NULL, token TEXT NOT NULL, PRIMARY KEY (line, place))"})
        if (!query.exec(QString::fromLatin1(statement)))
            return fail(query.lastError().text().toStdString());
    open_ = true;
    return true;
}

bool ExpectedReportStore::fail(const std::string& what) {
    lastError_ = what.empty() ? std::string("unknown error") : what;
    return false;
}

bool ExpectedReportStore::Load(Reports& reports) {
    if (!open_)
        return fail("the file is not open");
    QSqlQuery query(database(connection_));
    query.setForwardOnly(true);
    if (!query.exec("SELECT line, rowkey, idpc, idr, sender, created, number, token FROM reports ORDER BY "
                    "line, place"))
        return fail(query.lastError().text().toStdString());
    while (query.next()) {
        SMS_RAPORT report;
        report.nId = query.value(1).toInt();
        report.iIdPC = query.value(2).toInt();
        report.iIdR = query.value(3).toInt();
        report.iSrcId = query.value(4).toInt();
        report.tCreated = query.value(5).toLongLong();
        report.sNumber = query.value(6).toString().toStdString();
        report.rowToken = query.value(7).toString().toStdString();
        reports[query.value(0).toInt()].push_back(std::move(report));
    }
    return true;
}

bool ExpectedReportStore::Keep(std::int32_t lineNumber, const std::list<SMS_RAPORT>& reports) {
    if (!open_)
        return fail("the file is not open");
    QSqlDatabase db = database(connection_);
    if (!db.transaction())
        return fail(db.lastError().text().toStdString());
    QSqlQuery query(db);
    bool done = query.prepare("DELETE FROM reports WHERE line = ?");
    query.addBindValue(lineNumber);
    done =
        done && query.exec() &&
        query.prepare("INSERT INTO reports (line, place, rowkey, idpc, idr, sender, created, number, token) "
                      "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    int place = 0;
    for (auto report = reports.begin(); done && report != reports.end(); ++report) {
        int at = 0;
        for (const QVariant& value :
             {QVariant(lineNumber), QVariant(place++), QVariant(report->nId < 0 ? -1 : report->nId),
              QVariant(report->iIdPC), QVariant(report->iIdR), QVariant(report->iSrcId),
              QVariant(qint64(report->tCreated)), QVariant(QString::fromStdString(report->sNumber)),
              QVariant(QString::fromStdString(report->rowToken))})
            query.bindValue(at++, value);
        done = query.exec();
    }
    if (done && db.commit())
        return true;
    const std::string error = (done ? db.lastError() : query.lastError()).text().toStdString();
    db.rollback();
    return fail(error);
}

} // namespace sms
