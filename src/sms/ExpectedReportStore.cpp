#include "sms/ExpectedReportStore.h"

#include "platform/SqliteSetAside.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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

// SQLite's own verdict of damage (SQLITE_CORRUPT, SQLITE_NOTADB, in any of
// their extended forms); every other failure may pass.
bool namesDamage(const std::string& nativeCode) {
    bool number = false;
    const int code = QString::fromStdString(nativeCode).toInt(&number) & 0xff;
    return number && (code == 11 || code == 26);
}

} // namespace

ExpectedReportStore::ExpectedReportStore() : connection_("halvex-reports-" + std::to_string(++stores)) {}

ExpectedReportStore::~ExpectedReportStore() {
    Close();
}

void ExpectedReportStore::Close() {
    {
        QSqlDatabase db = database(connection_);
        if (db.isValid())
            db.close();
    }
    if (QSqlDatabase::contains(QString::fromStdString(connection_)))
        QSqlDatabase::removeDatabase(QString::fromStdString(connection_));
    open_ = false;
}

bool ExpectedReportStore::Open(const std::string& path) {
    Close();
    path_ = path;
    damaged_ = false;
    if (!makeOwnerOnly(path, lastError_))
        return Close(), false;
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", QString::fromStdString(connection_));
    if (!db.isValid())
        return Close(), fail("the SQLite driver of Qt (QSQLITE) is not installed");
    db.setDatabaseName(QString::fromStdString(path));
    db.setConnectOptions("QSQLITE_BUSY_TIMEOUT=5000");
    if (!db.open()) {
        const QSqlError error = db.lastError();
        Close();
        return fail(error.text().toStdString(), error.nativeErrorCode().toStdString());
    }
    // FULL: each commit is synced, so it survives a power cut too.
    open_ = run("PRAGMA journal_mode=WAL") && run("PRAGMA synchronous=FULL") &&
            run("CREATE TABLE IF NOT EXISTS reports (line INTEGER NOT NULL, place INTEGER NOT NULL, rowkey "
                "INTEGER NOT NULL, idpc INTEGER NOT NULL, idr INTEGER NOT NULL, sender INTEGER NOT NULL, "
                "created INTEGER NOT NULL, number TEXT NOT NULL, token TEXT NOT NULL, PRIMARY KEY (line, "
                "place))") &&
            addDatabaseColumn();
    if (!open_) {
        const std::string error = lastError_;
        const bool damaged = damaged_;
        Close();
        lastError_ = error;
        damaged_ = damaged;
    }
    return open_;
}

bool ExpectedReportStore::run(const char* statement) {
    QSqlQuery query(database(connection_));
    if (!query.exec(QString::fromLatin1(statement)))
        return fail(query.lastError().text().toStdString(),
                    query.lastError().nativeErrorCode().toStdString());
    return true;
}

// The database each report's message is in; an earlier version's file has
// none, and its reports name none ("").
bool ExpectedReportStore::addDatabaseColumn() {
    QSqlQuery query(database(connection_));
    if (!query.exec(QStringLiteral("PRAGMA table_info(reports)")))
        return fail(query.lastError().text().toStdString(),
                    query.lastError().nativeErrorCode().toStdString());
    while (query.next())
        if (query.value(1).toString() == QLatin1String("home"))
            return true;
    return run("ALTER TABLE reports ADD COLUMN home TEXT NOT NULL DEFAULT ''");
}

bool ExpectedReportStore::fail(const std::string& what, const std::string& code) {
    lastError_ = what.empty() ? std::string("unknown error") : what;
    damaged_ = namesDamage(code);
    return false;
}

bool ExpectedReportStore::Load(Reports& reports) {
    std::optional<std::size_t> claimed;
    return Load(reports, claimed);
}

bool ExpectedReportStore::Load(Reports& reports, std::optional<std::size_t>& claimed) {
    claimed.reset();
    if (!open_)
        return fail("the file is not open");
    QSqlQuery query(database(connection_));
    if (query.exec(QStringLiteral("SELECT COUNT(*) FROM reports")) && query.next())
        claimed = std::size_t(query.value(0).toLongLong());
    if (!query.exec(QStringLiteral("PRAGMA quick_check")) || !query.next())
        return readAll(reports), fail(query.lastError().text().toStdString(),
                                      query.lastError().nativeErrorCode().toStdString());
    const QString verdict = query.value(0).toString();
    if (!readAll(reports))
        return false;
    if (verdict == QLatin1String("ok"))
        return true;
    fail(verdict.toStdString());
    damaged_ = true;
    return false;
}

// Every row that can be read, in the file's order of rows (no index: a
// damaged one would hide rows the table still holds), then put in place.
bool ExpectedReportStore::readAll(Reports& reports) {
    QSqlQuery query(database(connection_));
    query.setForwardOnly(true);
    std::map<std::pair<std::int32_t, std::int64_t>, SMS_RAPORT> read;
    if (!query.exec(
            "SELECT line, place, rowkey, idpc, idr, sender, created, number, token, home FROM reports "
            "NOT INDEXED"))
        return fail(query.lastError().text().toStdString(),
                    query.lastError().nativeErrorCode().toStdString());
    while (query.next()) {
        SMS_RAPORT report;
        report.nId = query.value(2).toInt();
        report.iIdPC = query.value(3).toInt();
        report.iIdR = query.value(4).toInt();
        report.iSrcId = query.value(5).toInt();
        report.tCreated = query.value(6).toLongLong();
        report.sNumber = query.value(7).toString().toStdString();
        report.rowToken = query.value(8).toString().toStdString();
        report.database = query.value(9).toString().toStdString();
        read[{query.value(0).toInt(), query.value(1).toLongLong()}] = std::move(report);
    }
    for (auto& [place, report] : read)
        reports[place.first].push_back(std::move(report));
    // A row the file could not give ends the reading early.
    if (query.lastError().isValid())
        return fail(query.lastError().text().toStdString(),
                    query.lastError().nativeErrorCode().toStdString());
    return true;
}

bool ExpectedReportStore::Keep(std::int32_t lineNumber, const std::list<SMS_RAPORT>& reports) {
    if (!open_)
        return fail("the file is not open");
    QSqlDatabase db = database(connection_);
    if (!db.transaction())
        return fail(db.lastError().text().toStdString(), db.lastError().nativeErrorCode().toStdString());
    QSqlQuery query(db);
    bool done = query.prepare("DELETE FROM reports WHERE line = ?");
    query.addBindValue(lineNumber);
    done =
        done && query.exec() &&
        query.prepare("INSERT INTO reports (line, place, rowkey, idpc, idr, sender, created, number, token, "
                      "home) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    int place = 0;
    for (auto report = reports.begin(); done && report != reports.end(); ++report) {
        int at = 0;
        for (const QVariant& value :
             {QVariant(lineNumber), QVariant(place++), QVariant(report->nId < 0 ? -1 : report->nId),
              QVariant(report->iIdPC), QVariant(report->iIdR), QVariant(report->iSrcId),
              QVariant(qint64(report->tCreated)), QVariant(QString::fromStdString(report->sNumber)),
              QVariant(QString::fromStdString(report->rowToken)),
              QVariant(QString::fromStdString(report->database))})
            query.bindValue(at++, value);
        done = query.exec();
    }
    if (done && db.commit())
        return true;
    const QSqlError error = done ? db.lastError() : query.lastError();
    db.rollback();
    return fail(error.text().toStdString(), error.nativeErrorCode().toStdString());
}

std::string ExpectedReportStore::SetAside() {
    Close();
    return platform::SetAsideSqliteFile(path_);
}

} // namespace sms
