#include "db/RowJournal.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <atomic>

namespace db {

namespace {

std::atomic<int> connections{0};

QSqlDatabase database(const std::string& name) {
    return QSqlDatabase::database(QString::fromStdString(name), false);
}

// Made owner-only before SQLite opens it: its -wal and -shm files take the
// same mode.
bool makeOwnerOnly(const QString& path, std::string* error) {
    QFile file(path);
    if (!file.exists() && !file.open(QIODevice::WriteOnly)) {
        *error = file.errorString().toStdString();
        return false;
    }
    file.close();
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        *error = file.errorString().toStdString();
        return false;
    }
    return true;
}

} // namespace

RowJournal::RowJournal() : connection_("halvex-row-journal-" + std::to_string(++connections)) {}

RowJournal::~RowJournal() {
    {
        QSqlDatabase db = database(connection_);
        if (db.isValid())
            db.close();
    }
    if (QSqlDatabase::contains(QString::fromStdString(connection_)))
        QSqlDatabase::removeDatabase(QString::fromStdString(connection_));
}

bool RowJournal::Open(const std::string& path) {
    path_ = path;
    const QString file = QString::fromStdString(path);
    if (!makeOwnerOnly(file, &lastError_))
        return false;
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", QString::fromStdString(connection_));
    if (!db.isValid())
        return fail("the SQLite driver of Qt (QSQLITE) is not installed");
    db.setDatabaseName(file);
    db.setConnectOptions("QSQLITE_BUSY_TIMEOUT=5000");
    if (!db.open())
        return fail(db.lastError().text().toStdString());
    // WAL: a writer and a reader of the other thread do not wait for each
    // other; NORMAL: a commit survives the process's crash.
    open_ = run("PRAGMA journal_mode=WAL") && run("PRAGMA synchronous=NORMAL") &&
            run("CREATE TABLE IF NOT EXISTS rows (seq INTEGER PRIMARY KEY AUTOINCREMENT, statement TEXT NOT "
                "NULL, generator TEXT NOT NULL DEFAULT '', rowkey TEXT NOT NULL DEFAULT '', attempted "
                "INTEGER NOT NULL DEFAULT 0, token TEXT NOT NULL DEFAULT '')") &&
            run("CREATE TABLE IF NOT EXISTS rowkeys (token TEXT PRIMARY KEY, rowkey TEXT NOT NULL)");
    return open_;
}

bool RowJournal::run(const char* statement) {
    QSqlQuery query(database(connection_));
    if (!query.exec(QString::fromLatin1(statement)))
        return fail(query.lastError().text().toStdString());
    return true;
}

bool RowJournal::fail(const std::string& what) {
    lastError_ = what.empty() ? std::string("unknown error") : what;
    return false;
}

namespace {
const char* const EntryColumns = "SELECT seq, statement, generator, rowkey, attempted, token FROM rows ";
}

std::vector<RowJournal::Entry> RowJournal::Load() {
    std::vector<Entry> rows;
    if (!open_)
        return rows;
    QSqlQuery query(database(connection_));
    query.setForwardOnly(true);
    if (!query.prepare(QString::fromLatin1(EntryColumns) + "ORDER BY seq"))
        fail(query.lastError().text().toStdString());
    else
        readRows(query, rows);
    return rows;
}

bool RowJournal::LoadAfter(std::int64_t seq, std::size_t limit, std::vector<Entry>& rows) {
    if (!open_)
        return fail("the journal is not open");
    QSqlQuery query(database(connection_));
    query.setForwardOnly(true);
    if (!query.prepare(QString::fromLatin1(EntryColumns) + "WHERE seq > ? ORDER BY seq LIMIT ?"))
        return fail(query.lastError().text().toStdString());
    query.bindValue(0, qint64(seq));
    query.bindValue(1, qint64(limit));
    return readRows(query, rows);
}

std::vector<RowJournal::Entry> RowJournal::LoadNamingKeys(const std::string& reference) {
    std::vector<Entry> rows;
    if (!open_)
        return rows;
    QSqlQuery query(database(connection_));
    query.setForwardOnly(true);
    if (!query.prepare(QString::fromLatin1(EntryColumns) +
                       "WHERE token <> '' OR instr(statement, ?) > 0 ORDER BY seq")) {
        fail(query.lastError().text().toStdString());
        return rows;
    }
    query.bindValue(0, QString::fromStdString(reference));
    readRows(query, rows);
    return rows;
}

bool RowJournal::Extent(std::size_t& rows, std::int64_t& lastSeq) {
    QSqlQuery query(database(connection_));
    if (!open_ || !query.exec("SELECT COUNT(*), COALESCE(MAX(seq), 0) FROM rows") || !query.next())
        return fail(open_ ? query.lastError().text().toStdString() : "the journal is not open");
    rows = std::size_t(query.value(0).toLongLong());
    lastSeq = query.value(1).toLongLong();
    return true;
}

// Runs the prepared query and adds the rows it gives.
bool RowJournal::readRows(QSqlQuery& query, std::vector<Entry>& rows) {
    if (!query.exec())
        return fail(query.lastError().text().toStdString());
    while (query.next()) {
        Entry row;
        row.seq = query.value(0).toLongLong();
        row.statement = query.value(1).toString().toStdString();
        row.generatorQuery = query.value(2).toString().toStdString();
        row.key = query.value(3).toString().toStdString();
        row.attempted = query.value(4).toInt() != 0;
        row.token = query.value(5).toString().toStdString();
        rows.push_back(std::move(row));
    }
    return true;
}

bool RowJournal::Append(std::vector<Entry*>& rows) {
    if (!open_)
        return fail("the journal is not open");
    QSqlDatabase db = database(connection_);
    if (!db.transaction())
        return fail(db.lastError().text().toStdString());
    QSqlQuery query(db);
    query.prepare("INSERT INTO rows (statement, generator, rowkey, token) VALUES (?, ?, ?, ?)");
    for (Entry* row : rows) {
        query.bindValue(0, QString::fromStdString(row->statement));
        query.bindValue(1, QString::fromStdString(row->generatorQuery));
        query.bindValue(2, QString::fromStdString(row->key));
        query.bindValue(3, QString::fromStdString(row->token));
        if (!query.exec()) {
            const std::string error = query.lastError().text().toStdString();
            db.rollback();
            return fail(error);
        }
        row->seq = query.lastInsertId().toLongLong();
    }
    if (!db.commit()) {
        const std::string error = db.lastError().text().toStdString();
        db.rollback();
        for (Entry* row : rows)
            row->seq = 0;
        return fail(error);
    }
    return true;
}

bool RowJournal::SetKey(const Entry& row) {
    if (!open_ || row.seq == 0)
        return false;
    QSqlQuery query(database(connection_));
    query.prepare("UPDATE rows SET statement = ?, generator = ?, rowkey = ? WHERE seq = ?");
    query.bindValue(0, QString::fromStdString(row.statement));
    query.bindValue(1, QString::fromStdString(row.generatorQuery));
    query.bindValue(2, QString::fromStdString(row.key));
    query.bindValue(3, qint64(row.seq));
    return query.exec() || fail(query.lastError().text().toStdString());
}

bool RowJournal::MarkAttempted(const std::vector<std::int64_t>& seqs, bool attempted) {
    return forEach("UPDATE rows SET attempted = ? WHERE seq = ?", seqs, attempted ? 1 : 0);
}

bool RowJournal::Remove(const std::vector<std::int64_t>& seqs) {
    return forEach("DELETE FROM rows WHERE seq = ?", seqs);
}

bool RowJournal::RememberKey(const std::string& token, const std::string& key) {
    if (!open_ || token.empty())
        return false;
    QSqlQuery query(database(connection_));
    query.prepare("INSERT OR REPLACE INTO rowkeys (token, rowkey) VALUES (?, ?)");
    query.bindValue(0, QString::fromStdString(token));
    query.bindValue(1, QString::fromStdString(key));
    return query.exec() || fail(query.lastError().text().toStdString());
}

std::vector<std::pair<std::string, std::string>> RowJournal::Keys() {
    std::vector<std::pair<std::string, std::string>> keys;
    QSqlQuery query(database(connection_));
    if (!open_ || !query.exec("SELECT token, rowkey FROM rowkeys"))
        return keys;
    while (query.next())
        keys.emplace_back(query.value(0).toString().toStdString(), query.value(1).toString().toStdString());
    return keys;
}

bool RowJournal::ForgetKeys(const std::vector<std::string>& tokens) {
    if (!open_ || tokens.empty())
        return open_;
    return inTransaction(
        [&](QSqlQuery& query) { return execForEach(query, "DELETE FROM rowkeys WHERE token = ?", tokens); });
}

bool RowJournal::ForgetKeysExcept(const std::vector<std::string>& referred) {
    if (!open_)
        return false;
    return inTransaction([&](QSqlQuery& query) {
        return query.exec("CREATE TEMP TABLE IF NOT EXISTS referred (token TEXT PRIMARY KEY)") &&
               query.exec("DELETE FROM referred") &&
               execForEach(query, "INSERT OR IGNORE INTO referred (token) VALUES (?)", referred) &&
               query.exec("DELETE FROM rowkeys WHERE token NOT IN (SELECT token FROM referred)");
    });
}

// Runs `statement` once for each of `values`, bound to its one parameter;
// false at the first failure.
bool RowJournal::execForEach(QSqlQuery& query, const char* statement,
                             const std::vector<std::string>& values) {
    query.prepare(QString::fromLatin1(statement));
    for (const std::string& value : values) {
        query.bindValue(0, QString::fromStdString(value));
        if (!query.exec())
            return false;
    }
    return true;
}

// `work` in one transaction: committed when it succeeds, else rolled back
// with the query's error said.
bool RowJournal::inTransaction(const std::function<bool(QSqlQuery&)>& work) {
    QSqlDatabase db = database(connection_);
    if (!db.transaction())
        return fail(db.lastError().text().toStdString());
    QSqlQuery query(db);
    const bool done = work(query);
    return endTransaction(db, done ? std::string() : query.lastError().text().toStdString());
}

// One transaction for all the rows; rows never journaled (0) are skipped.
bool RowJournal::forEach(const char* statement, const std::vector<std::int64_t>& seqs, int flag) {
    if (!open_)
        return false;
    return inTransaction([&](QSqlQuery& query) {
        query.prepare(QString::fromLatin1(statement));
        for (std::int64_t seq : seqs) {
            if (seq == 0)
                continue;
            int at = 0;
            if (flag >= 0)
                query.bindValue(at++, flag);
            query.bindValue(at, qint64(seq));
            if (!query.exec())
                return false;
        }
        return true;
    });
}

// Commits when nothing failed (`failure` empty), else rolls back and says why.
bool RowJournal::endTransaction(QSqlDatabase& db, const std::string& failure) {
    if (failure.empty() && db.commit())
        return true;
    const std::string error = failure.empty() ? db.lastError().text().toStdString() : failure;
    db.rollback();
    return fail(error);
}

} // namespace db
