#include "db/RowJournal.h"

#include "db/DrawnKeys.h"
#include "platform/Clock.h"
#include "platform/SqliteSetAside.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <string_view>

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
    close();
}

void RowJournal::close() {
    {
        QSqlDatabase db = database(connection_);
        if (db.isValid())
            db.close();
    }
    if (QSqlDatabase::contains(QString::fromStdString(connection_)))
        QSqlDatabase::removeDatabase(QString::fromStdString(connection_));
    open_ = false;
}

namespace {

std::string moveAside(const std::string& path) {
    return platform::SetAsideSqliteFile(path);
}

} // namespace

bool RowJournal::OpenOrSetAside(const std::string& path) {
    unreadable_ = false;
    if (Open(path) && readable())
        return true;
    close();
    // A full disk, an I/O error, a lock or a file that cannot be opened now
    // passes: the file stays as it is, rows and all.
    if (!unreadable_)
        return false;
    const std::string reason = lastError_;
    setAside_ = moveAside(path);
    if (setAside_.empty())
        return fail(reason + "; it cannot be moved aside");
    const bool opened = Open(path);
    lastError_ = reason;
    return opened;
}

namespace {

// SQLite's own verdict that the file is damaged or no database: only that
// sets a journal aside. Every other failure (full, I/O error, busy, locked,
// cannot open, read-only) may pass.
bool damaged(const QSqlError& error) {
    bool number = false;
    const int code = error.nativeErrorCode().toInt(&number) & 0xff;
    constexpr int Corrupt = 11, NotADatabase = 26;
    return number && (code == Corrupt || code == NotADatabase);
}

} // namespace

bool RowJournal::failed(const QSqlError& error) {
    unreadable_ = unreadable_ || damaged(error);
    return fail(error.text().toStdString());
}

// Every page of the file can be read, and its rows.
bool RowJournal::readable() {
    QSqlQuery query(database(connection_));
    if (!query.exec(QStringLiteral("PRAGMA quick_check")) || !query.next())
        return failed(query.lastError());
    if (query.value(0).toString() != QStringLiteral("ok"))
        return unreadable_ = true, fail(query.value(0).toString().toStdString());
    // Every row's text is read, none kept: the file may hold millions.
    if (!query.exec(QStringLiteral("SELECT COUNT(*), SUM(LENGTH(statement) + LENGTH(generator) + "
                                   "LENGTH(rowkey) + LENGTH(token)) FROM rows")) ||
        !query.next())
        return failed(query.lastError());
    return true;
}

namespace {
// The columns later versions added: how an opened journal gets each, and
// what a journal made before it reads in its place (the column's default).
// The rows' columns stand in the order an entry is read.
struct LaterColumn {
    const char* table;
    const char* column;
    const char* definition;
    const char* earlier;
};
constexpr const char* LaterText = "TEXT NOT NULL DEFAULT ''";
constexpr std::array<LaterColumn, 8> LaterColumns{{{"rows", "home", LaterText, "''"},
                                                   {"rows", "unkeyed", LaterText, "''"},
                                                   {"rows", "keygenerator", LaterText, "''"},
                                                   {"rows", "commitjournal", LaterText, "''"},
                                                   {"rows", "commitno", "INTEGER NOT NULL DEFAULT 0", "0"},
                                                   {"rows", "subject", LaterText, "''"},
                                                   {"rowkeys", "home", LaterText, "''"},
                                                   {"drawnkeys", "home", LaterText, "''"}}};
} // namespace

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
    unreadable_ = false;
    if (!db.open())
        return failed(db.lastError());
    // WAL: a writer and a reader of the other thread do not wait for each
    // other; FULL: each commit is synced, so it survives a power cut too (a
    // batch of rows is one commit, which keeps that cheap).
    open_ = run("PRAGMA journal_mode=WAL") && run("PRAGMA synchronous=FULL") &&
            run("CREATE TABLE IF NOT EXISTS rows (seq INTEGER PRIMARY KEY AUTOINCREMENT, statement TEXT NOT "
                "NULL, generator TEXT NOT NULL DEFAULT '', rowkey TEXT NOT NULL DEFAULT '', attempted "
                "INTEGER NOT NULL DEFAULT 0, token TEXT NOT NULL DEFAULT '')") &&
            run("CREATE TABLE IF NOT EXISTS rowkeys (token TEXT PRIMARY KEY, rowkey TEXT NOT NULL)") &&
            run("CREATE TABLE IF NOT EXISTS drawnkeys (home TEXT NOT NULL, generator TEXT NOT NULL, highest "
                "INTEGER NOT NULL, PRIMARY KEY (home, generator))") &&
            addLaterColumns() &&
            run("CREATE INDEX IF NOT EXISTS rows_out ON rows (commitno) WHERE attempted = 1") &&
            keepIdentity();
    return open_;
}

bool RowJournal::OpenToRead(const std::string& path) {
    path_ = path;
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", QString::fromStdString(connection_));
    if (!db.isValid())
        return fail("the SQLite driver of Qt (QSQLITE) is not installed");
    db.setDatabaseName(QString::fromStdString(path));
    db.setConnectOptions("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000");
    if (!db.open())
        return failed(db.lastError());
    // A file cut short is refused as a whole unless the schema is taken as
    // it is: then its pages are read as far as they go. Nothing is written.
    open_ = run("PRAGMA writable_schema=ON");
    if (open_)
        noteMissingColumns();
    return open_;
}

// A file read as it is, of an earlier version: the columns it lacks are
// read as their defaults. A table whose schema cannot be read is taken as
// whole.
void RowJournal::noteMissingColumns() {
    missingColumns_.clear();
    QSqlQuery query(database(connection_));
    for (const LaterColumn& later : LaterColumns) {
        if (!query.exec(QString::fromLatin1("PRAGMA table_info(%1)").arg(QLatin1String(later.table))))
            continue;
        bool found = false, any = false;
        while (query.next()) {
            any = true;
            found = found || query.value(1).toString() == QLatin1String(later.column);
        }
        if (any && !found)
            missingColumns_.insert(std::string(later.table) + "." + later.column);
    }
}

// `column` of `table`, or what an earlier version's file reads in its place.
QString RowJournal::columnOf(const char* table, const char* column) const {
    if (missingColumns_.contains(std::string(table) + "." + column))
        for (const LaterColumn& later : LaterColumns)
            if (std::string_view(later.table) == table && std::string_view(later.column) == column)
                return QString::fromLatin1("%1 AS %2")
                    .arg(QLatin1String(later.earlier), QLatin1String(column));
    return QString::fromLatin1(column);
}

bool RowJournal::run(const char* statement) {
    QSqlQuery query(database(connection_));
    if (!query.exec(QString::fromLatin1(statement)))
        return failed(query.lastError());
    return true;
}

bool RowJournal::keepIdentity() {
    QSqlQuery query(database(connection_));
    if (!run("CREATE TABLE IF NOT EXISTS journal (one INTEGER PRIMARY KEY CHECK (one = 1), identity TEXT NOT "
             "NULL, lastcommit INTEGER NOT NULL DEFAULT 0)") ||
        !query.prepare("INSERT OR IGNORE INTO journal (one, identity) VALUES (1, ?)"))
        return fail(query.lastError().text().toStdString());
    query.bindValue(0, QUuid::createUuid().toRfc4122().toHex());
    if (!query.exec() || !query.exec("SELECT identity FROM journal") || !query.next())
        return fail(query.lastError().text().toStdString());
    identity_ = query.value(0).toString().toStdString();
    return !identity_.empty() || fail("the journal has no identity");
}

// One number read, from a query that gives one row.
namespace {
bool readNumber(QSqlQuery& query, const char* text, std::int64_t& number) {
    if (!query.exec(QString::fromLatin1(text)) || !query.next())
        return false;
    number = query.value(0).toLongLong();
    return true;
}
} // namespace

bool RowJournal::LastCommit(std::int64_t& number) {
    QSqlQuery query(database(connection_));
    if (!open_ || !readNumber(query, "SELECT COALESCE(MAX(lastcommit), 0) FROM journal", number))
        return fail(open_ ? query.lastError().text().toStdString() : "the journal is not open");
    return true;
}

bool RowJournal::OldestCommitOut(std::int64_t& number) {
    QSqlQuery query(database(connection_));
    if (!open_ || !query.prepare("SELECT COALESCE(MIN(commitno), 0) FROM rows WHERE attempted = 1 AND "
                                 "commitjournal = ?"))
        return fail(open_ ? query.lastError().text().toStdString() : "the journal is not open");
    query.bindValue(0, QString::fromStdString(identity_));
    if (!query.exec() || !query.next())
        return fail(query.lastError().text().toStdString());
    number = query.value(0).toLongLong();
    return true;
}

bool RowJournal::addLaterColumns() {
    for (const LaterColumn& later : LaterColumns)
        if (!addColumn(later.table, later.column, later.definition))
            return false;
    return true;
}

bool RowJournal::addColumn(const char* table, const char* column, const char* definition) {
    QSqlQuery query(database(connection_));
    if (!query.exec(QString::fromLatin1("PRAGMA table_info(%1)").arg(QLatin1String(table))))
        return failed(query.lastError());
    while (query.next())
        if (query.value(1).toString() == QLatin1String(column))
            return true;
    const QString alter =
        QString::fromLatin1("ALTER TABLE %1 ADD COLUMN %2 %3").arg(table, column, definition);
    return run(alter.toLatin1().constData());
}

bool RowJournal::fail(const std::string& what) {
    lastError_ = what.empty() ? std::string("unknown error") : what;
    return false;
}

// The columns an entry is read from, in readRows' order.
QString RowJournal::entrySelect() const {
    QStringList columns{"seq", "statement", "generator", "rowkey", "attempted", "token"};
    for (const LaterColumn& later : LaterColumns)
        if (std::string_view(later.table) == "rows")
            columns << columnOf("rows", later.column);
    return QStringLiteral("SELECT ") + columns.join(QStringLiteral(", ")) + QStringLiteral(" FROM rows ");
}

bool RowJournal::Load(std::vector<Entry>& rows) {
    rows.clear();
    if (!open_)
        return fail("the journal is not open");
    QSqlQuery query(database(connection_));
    query.setForwardOnly(true);
    if (!query.prepare(entrySelect() + "ORDER BY seq"))
        return fail(query.lastError().text().toStdString());
    return readRows(query, rows);
}

bool RowJournal::LoadAfter(std::int64_t seq, std::size_t limit, std::vector<Entry>& rows) {
    if (!open_)
        return fail("the journal is not open");
    QSqlQuery query(database(connection_));
    query.setForwardOnly(true);
    if (!query.prepare(entrySelect() + "WHERE seq > ? ORDER BY seq LIMIT ?"))
        return fail(query.lastError().text().toStdString());
    query.bindValue(0, qint64(seq));
    query.bindValue(1, qint64(limit));
    return readRows(query, rows);
}

bool RowJournal::LoadNamingKeys(const std::string& reference, std::vector<Entry>& rows) {
    rows.clear();
    if (!open_)
        return fail("the journal is not open");
    QSqlQuery query(database(connection_));
    query.setForwardOnly(true);
    if (!query.prepare(entrySelect() + "WHERE token <> '' OR instr(statement, ?) > 0 ORDER BY seq"))
        return fail(query.lastError().text().toStdString());
    query.bindValue(0, QString::fromStdString(reference));
    return readRows(query, rows);
}

bool RowJournal::Extent(std::size_t& rows, std::int64_t& lastSeq) {
    QSqlQuery query(database(connection_));
    if (!open_ || !query.exec("SELECT COUNT(*), COALESCE(MAX(seq), 0) FROM rows") || !query.next())
        return fail(open_ ? query.lastError().text().toStdString() : "the journal is not open");
    rows = std::size_t(query.value(0).toLongLong());
    lastSeq = query.value(1).toLongLong();
    return true;
}

bool RowJournal::CountByHome(std::map<std::string, std::size_t>& rows) {
    rows.clear();
    QSqlQuery query(database(connection_));
    if (!open_ || !query.exec("SELECT home, COUNT(*) FROM rows GROUP BY home"))
        return fail(open_ ? query.lastError().text().toStdString() : "the journal is not open");
    while (query.next())
        rows[query.value(0).toString().toStdString()] = std::size_t(query.value(1).toLongLong());
    return !query.lastError().isValid() || fail(query.lastError().text().toStdString());
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
        row.home = query.value(6).toString().toStdString();
        row.unkeyed = query.value(7).toString().toStdString();
        row.keyGenerator = query.value(8).toString().toStdString();
        row.commitJournal = query.value(9).toString().toStdString();
        row.commitNumber = query.value(10).toLongLong();
        row.subject = query.value(11).toString().toStdString();
        rows.push_back(std::move(row));
    }
    // A row the file could not give ends the reading early.
    return !query.lastError().isValid() || fail(query.lastError().text().toStdString());
}

bool RowJournal::Append(std::vector<Entry*>& rows, const std::function<bool()>& mayCommit) {
    if (!open_)
        return fail("the journal is not open");
    QSqlDatabase db = database(connection_);
    if (!db.transaction())
        return fail(db.lastError().text().toStdString());
    QSqlQuery query(db);
    query.prepare("INSERT INTO rows (statement, generator, rowkey, token, home, unkeyed, keygenerator, "
                  "attempted, commitjournal, commitno, subject) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (Entry* row : rows) {
        query.bindValue(0, QString::fromStdString(row->statement));
        query.bindValue(1, QString::fromStdString(row->generatorQuery));
        query.bindValue(2, QString::fromStdString(row->key));
        query.bindValue(3, QString::fromStdString(row->token));
        query.bindValue(4, QString::fromStdString(row->home));
        query.bindValue(5, QString::fromStdString(row->unkeyed));
        query.bindValue(6, QString::fromStdString(row->keyGenerator));
        query.bindValue(7, row->attempted ? 1 : 0);
        query.bindValue(8, QString::fromStdString(row->commitJournal));
        query.bindValue(9, qint64(row->commitNumber));
        query.bindValue(10, QString::fromStdString(row->subject));
        if (!query.exec())
            return unplaced(rows, query.lastError().text().toStdString());
        row->seq = query.lastInsertId().toLongLong();
    }
    if (mayCommit && !mayCommit())
        return unplaced(rows, "not committed: the rows were given up");
    if (!db.commit())
        return unplaced(rows, db.lastError().text().toStdString());
    return true;
}

// The batch is rolled back: none of its rows has a place, which SQLite
// hands to the next batch's rows.
bool RowJournal::unplaced(std::vector<Entry*>& rows, const std::string& error) {
    database(connection_).rollback();
    for (Entry* row : rows)
        row->seq = 0;
    return fail(error);
}

bool RowJournal::SetKeys(const std::vector<const Entry*>& rows, bool remembered) {
    if (!open_)
        return false;
    QSqlDatabase db = database(connection_);
    if (!db.transaction())
        return fail(db.lastError().text().toStdString());
    QSqlQuery keyed(db), named(db);
    keyed.prepare("UPDATE rows SET statement = ?, generator = ?, rowkey = ?, home = ?, unkeyed = ?, "
                  "keygenerator = ? WHERE seq = ?");
    named.prepare("INSERT OR REPLACE INTO rowkeys (token, rowkey, home) VALUES (?, ?, ?)");
    for (const Entry* row : rows) {
        if (remembered && !keepDrawn(db, *row))
            return endTransaction(db, lastError_);
        if (row->seq != 0) {
            keyed.bindValue(0, QString::fromStdString(row->statement));
            keyed.bindValue(1, QString::fromStdString(row->generatorQuery));
            keyed.bindValue(2, QString::fromStdString(row->key));
            keyed.bindValue(3, QString::fromStdString(row->home));
            keyed.bindValue(4, QString::fromStdString(row->unkeyed));
            keyed.bindValue(5, QString::fromStdString(row->keyGenerator));
            keyed.bindValue(6, qint64(row->seq));
            if (!keyed.exec())
                return endTransaction(db, keyed.lastError().text().toStdString());
        }
        if (remembered && !row->token.empty()) {
            named.bindValue(0, QString::fromStdString(row->token));
            named.bindValue(1, QString::fromStdString(row->key));
            named.bindValue(2, QString::fromStdString(row->home));
            if (!named.exec())
                return endTransaction(db, named.lastError().text().toStdString());
        }
    }
    return endTransaction(db, {});
}

// The highest key drawn from the row's generator in its database, kept
// with its key: a restore of that database sets the generator back.
bool RowJournal::keepDrawn(QSqlDatabase& db, const Entry& row) {
    const std::string generator = GeneratorOfQuery(row.keyGenerator);
    if (generator.empty() || row.key.empty() || row.home.empty())
        return true;
    QSqlQuery query(db);
    return keepDrawn(query, row.home, QString::fromStdString(generator).toUpper().remove(QLatin1Char(' ')),
                     std::atoll(row.key.c_str())) ||
           fail(query.lastError().text().toStdString());
}

bool RowJournal::keepDrawn(QSqlQuery& query, const std::string& home, const QString& generator,
                           std::int64_t highest) {
    query.prepare("INSERT INTO drawnkeys (home, generator, highest) VALUES (?, ?, ?) ON CONFLICT (home, "
                  "generator) DO UPDATE SET highest = MAX(highest, excluded.highest)");
    query.bindValue(0, QString::fromStdString(home));
    query.bindValue(1, generator);
    query.bindValue(2, qint64(highest));
    return query.exec();
}

bool RowJournal::KeepKeysDrawn(const DrawnKeys& keys) {
    if (!open_)
        return fail("the journal is not open");
    return inTransaction([&](QSqlQuery& query) {
        for (const auto& [home, generators] : keys)
            for (const auto& [generator, highest] : generators)
                if (!keepDrawn(query, home, QString::fromStdString(generator), highest))
                    return false;
        return true;
    });
}

bool RowJournal::KeysDrawn(DrawnKeyTable& keys) {
    QSqlQuery query(database(connection_));
    if (!open_ || !query.exec(QStringLiteral("SELECT ") + columnOf("drawnkeys", "home") +
                              QStringLiteral(", generator, highest FROM drawnkeys")))
        return fail(open_ ? query.lastError().text().toStdString() : std::string("not open"));
    while (query.next())
        keys[query.value(0).toString().toStdString()][query.value(1).toString().toStdString()] =
            query.value(2).toLongLong();
    return query.lastError().type() == QSqlError::NoError || fail(query.lastError().text().toStdString());
}

bool RowJournal::MarkAttempted(const std::vector<std::int64_t>& seqs, std::int64_t commit) {
    if (!open_)
        return false;
    // Rows outside the journal: nothing to write (the disk may be full). A
    // number given out then and used again later is refused by the database.
    if (std::all_of(seqs.begin(), seqs.end(), [](std::int64_t seq) { return seq == 0; }))
        return true;
    return inTransaction([&](QSqlQuery& query) {
        if (commit != 0) {
            query.prepare("UPDATE journal SET lastcommit = MAX(lastcommit, ?)");
            query.bindValue(0, qint64(commit));
            if (!query.exec())
                return false;
        }
        query.prepare("UPDATE rows SET attempted = ?, commitjournal = ?, commitno = ? WHERE seq = ?");
        for (std::int64_t seq : seqs) {
            if (seq == 0)
                continue;
            query.bindValue(0, commit != 0 ? 1 : 0);
            query.bindValue(1, QString::fromStdString(commit != 0 ? identity_ : std::string()));
            query.bindValue(2, qint64(commit));
            query.bindValue(3, qint64(seq));
            if (!query.exec())
                return false;
        }
        return true;
    });
}

bool RowJournal::Remove(const std::vector<std::int64_t>& seqs) {
    return forEach("DELETE FROM rows WHERE seq = ?", seqs);
}

std::vector<RowJournal::Key> RowJournal::Keys() {
    std::vector<Key> keys;
    QSqlQuery query(database(connection_));
    if (!open_ || !query.exec(QStringLiteral("SELECT token, rowkey, ") + columnOf("rowkeys", "home") +
                              QStringLiteral(" FROM rowkeys")))
        return keys;
    while (query.next())
        keys.push_back({query.value(0).toString().toStdString(), query.value(1).toString().toStdString(),
                        query.value(2).toString().toStdString()});
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
