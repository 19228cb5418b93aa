// The order of rows: which database row each one changes or makes, the tokens that name an insert's key, and
// the keys kept for them.
#include "db/RowRoadCore.h"

#include "base/DiagnosticLog.h"
#include "db/CallHistoryTables.h"
#include "db/CallWatchdog.h"
#include "db/CommitKeys.h"
#include "db/DrawnKeys.h"
#include "db/RowLookup.h"
#include "db/SetAsideJournal.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMetaObject>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <fcntl.h>
#include <future>
#include <map>
#include <optional>
#include <pthread.h>
#include <set>
#include <sys/file.h>
#include <unistd.h>

namespace db {

// The tokens whose keys a statement refers to, in order.
std::vector<std::string> tokensReferredBy(const std::string& statement) {
    std::vector<std::string> tokens;
    const std::size_t opening = std::string(KeyOfRowOpening).size();
    for (auto at = statement.find(KeyOfRowOpening); at != std::string::npos;
         at = statement.find(KeyOfRowOpening, at + 1)) {
        const auto end = statement.find('\x7F', at + opening);
        if (end == std::string::npos)
            break;
        tokens.push_back(statement.substr(at + opening, end - at - opening));
    }
    return tokens;
}

std::string upperTrimmed(std::string text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    const auto last = text.find_last_not_of(" \t\r\n;");
    text = first == std::string::npos || last < first ? std::string() : text.substr(first, last - first + 1);
    for (char& c : text)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// A row the code that handed it on named (RowOfKey): one row, by its key.
bool namesRowByKey(const std::string& subject) {
    return subject.find('|') != std::string::npos && subject.find('=') != std::string::npos;
}

std::string RowOfKey(const std::string& table, const std::string& keyColumn, const std::string& key) {
    return upperTrimmed(table) + "|" + upperTrimmed(keyColumn) + "=" + key;
}

// A row named by its insert's token and one named by its key are one: the
// subject is compared with the key known by now in place of the token.
std::string RowRoad::Core::currentSubject(const Item& row) const {
    const std::size_t opening = std::string(KeyOfRowOpening).size();
    const auto at = row.subject.find(KeyOfRowOpening);
    const auto end = at == std::string::npos ? at : row.subject.find('\x7F', at + opening);
    if (end == std::string::npos)
        return row.subject;
    std::lock_guard keys(keysMutex_);
    const auto key = keysOfTokens_.find(row.subject.substr(at + opening, end - at - opening));
    if (key == keysOfTokens_.end())
        return row.subject;
    return row.subject.substr(0, at) + key->second.key + row.subject.substr(end + 1);
}

void RowRoad::Core::HoldKeys(const std::vector<std::string>& tokens) {
    std::lock_guard lock(mutex_);
    for (const std::string& token : tokens)
        if (heldTokens_.insert(token).second)
            ++tokenUsers_[token];
}

void RowRoad::Core::ReleaseKeys(const std::vector<std::string>& tokens) {
    std::lock_guard lock(mutex_);
    for (const std::string& token : tokens)
        if (heldTokens_.erase(token) > 0)
            leaveToken(token);
}

// Under the lock: the tokens a row refers to, and its own, are in use.
void RowRoad::Core::useTokens(const RowJournal::Entry& row) {
    for (const std::string& token : tokensReferredBy(row.statement))
        ++tokenUsers_[token];
    if (!row.token.empty())
        ++tokenUsers_[row.token];
}

// Under the lock.
void RowRoad::Core::leaveToken(const std::string& token) {
    const auto users = tokenUsers_.find(token);
    if (users == tokenUsers_.end() || --users->second > 0)
        return;
    tokenUsers_.erase(users);
    unusedTokens_.push_back(token);
    changed_.notify_all();
}

// Under the lock, for a row that ended. A named insert's own token is left
// once its follower has run: until then a row handed on may still name it.
void RowRoad::Core::leaveTokens(const Item& row) {
    for (const std::string& token : tokensReferredBy(row.statement))
        leaveToken(token);
    if (row.token.empty())
        return;
    if (!QCoreApplication::instance()) {
        leaveToken(row.token);
        return;
    }
    post([this, token = row.token] {
        std::lock_guard lock(mutex_);
        leaveToken(token);
    });
}

// On the writer thread: the keys no row uses any more go, from memory and
// from the journal.
bool RowRoad::Core::forgetUnusedKeys(std::unique_lock<std::mutex>& lock) {
    // A row still in the journal may refer to them; without the writer's
    // connection to it, the journal would keep them.
    if (unusedTokens_.empty() || !unremoved_.empty() || writerJournalDown_)
        return false;
    std::vector<std::string> tokens = std::exchange(unusedTokens_, {});
    std::erase_if(tokens, [this](const std::string& token) { return tokenUsers_.contains(token); });
    lock.unlock();
    {
        std::lock_guard keys(keysMutex_);
        for (const std::string& token : tokens)
            keysOfTokens_.erase(token);
    }
    if (journaling())
        writerJournalWrite(writerJournal_->ForgetKeys(tokens), "zapomnienie kluczy");
    lock.lock();
    return true;
}

// A key drawn for a commit that did not go is drawn again for the row's
// next: by then the database may be another (a restore, a new connection),
// whose generator knows nothing of it.
void RowRoad::Core::forgetKeys(std::vector<Item>& group) {
    std::vector<const Item*> forgotten;
    for (Item& row : group)
        if (!row.ended && !row.attempted && !row.keyGenerator.empty()) {
            forgetKey(row);
            forgotten.push_back(&row);
        }
    keepKeys(forgotten, false);
}

// The journal is told by the caller (keepKeys).
void RowRoad::Core::forgetKey(Item& row) {
    row.statement = std::exchange(row.unkeyed, {});
    row.generatorQuery = std::exchange(row.keyGenerator, {});
    row.key.clear();
    std::lock_guard keys(keysMutex_);
    keysOfTokens_.erase(row.token);
}

void RowRoad::Core::keyRow(Item& row, const std::string& key) {
    row.key = key;
    row.unkeyed = row.statement;
    row.keyGenerator = row.generatorQuery;
    {
        std::lock_guard lock(mutex_);
        row.home = identity_;
    }
    const std::size_t at = row.statement.find(RowKeyMarker);
    if (at != std::string::npos)
        row.statement.replace(at, std::string(RowKeyMarker).size(), row.key);
    row.generatorQuery.clear();
    if (!row.token.empty()) {
        std::lock_guard keys(keysMutex_);
        keysOfTokens_[row.token] = {row.key, row.home};
    }
}

bool RowRoad::Core::withKeys(const Item& row, std::string& statement, std::string& elsewhere) const {
    const std::string here = [this] {
        std::lock_guard lock(mutex_);
        return identity_;
    }();
    std::lock_guard keys(keysMutex_);
    statement = row.statement;
    for (const std::string& token : tokensReferredBy(row.statement)) {
        const auto key = keysOfTokens_.find(token);
        if (key == keysOfTokens_.end())
            return false;
        if (kinship(key->second.home, here) != Kinship::Same)
            elsewhere = key->second.home;
        const std::string named = KeyOfRow(token);
        statement.replace(statement.find(named), named.size(), key->second.key);
    }
    // A name left unended is no name a program of ours makes.
    return statement.find(KeyOfRowOpening) == std::string::npos;
}

} // namespace db
