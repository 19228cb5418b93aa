#include "clients/PasswordReads.h"

#include "db/CallWatchdog.h"
#include "db/SessionDB.h"
#include "db/SqlText.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <vector>

namespace clients {
namespace {

// One connection handle per read at once, its calls bounded as those of the
// main connection are. They live as long as the process: a thread left
// running at the stop still uses its own.
struct ReadSlots {
    std::mutex mutex;
    std::condition_variable freed;
    std::array<bool, PasswordReadsAtOnce> busy{};
    std::array<DbHandle, PasswordReadsAtOnce> handles{};

    ReadSlots() {
        for (const DbHandle& handle : handles)
            db::BoundHandle(&handle);
    }
};

ReadSlots& readSlots() {
    static auto* table = new ReadSlots;
    return *table;
}

StoredPassword readOnConnectionOfItsOwn(const ClientLoginSettings& s, DbHandle* handle,
                                        const std::string& login) {
    // A restore replacing the database file: no connection of ours holds it.
    if (MainAttachHeld())
        return {};
    StoredPassword answer;
    {
        SessionDB session(s.databaseHost, s.databaseFile, s.databaseUser, s.databasePassword, handle, false);
        answer = ReadStoredPassword(session, login);
    }
    SessionDB::DetachOrAbandon(handle);
    return answer;
}

} // namespace

StoredPassword ReadStoredPassword(SessionDB& session, const std::string& login) {
    if (*session.Handle() == 0)
        return {};
    std::vector<QueryRow> rows;
    session.SetSqlText("SELECT SUSERPASSWORD FROM USERANDGROUP WHERE SUSERLOGIN = '" + QuoteSql(login) + "'");
    const int status = session.RunInReadTransaction([&] { return session.RunQueryToList(&rows); });
    if (status != 0 && *session.Handle() == 0)
        return {};
    StoredPassword stored{true, std::nullopt};
    if (status == 0 && rows.size() == 1)
        stored.password = rows[0]["SUSERPASSWORD"];
    return stored;
}

PasswordAnswer CompareWithStored(const StoredPassword& stored, const std::string& password) {
    if (!stored.reached)
        return PasswordAnswer::Unreachable;
    return stored.password == password ? PasswordAnswer::Matches : PasswordAnswer::Differs;
}

PasswordAnswer ReadPassword(SessionDB& session, const std::string& login, const std::string& password) {
    return CompareWithStored(ReadStoredPassword(session, login), password);
}

bool StartPasswordRead(const ClientLoginSettings& settings, const std::string& login,
                       std::function<void(StoredPassword)> answered) {
    ReadSlots& table = readSlots();
    std::size_t slot = 0;
    {
        std::lock_guard lock(table.mutex);
        while (slot < table.busy.size() && table.busy[slot])
            ++slot;
        if (slot == table.busy.size())
            return false;
        table.busy[slot] = true;
    }
    try {
        std::thread([&table, slot, settings, login, answered = std::move(answered)] {
            pthread_setname_np(pthread_self(), "PasswordRead");
            const StoredPassword answer = readOnConnectionOfItsOwn(settings, &table.handles[slot], login);
            std::lock_guard lock(table.mutex);
            table.busy[slot] = false;
            // Passed on before the stop can count this read as ended.
            answered(answer);
            table.freed.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        std::lock_guard lock(table.mutex);
        table.busy[slot] = false;
        return false;
    }
    return true;
}

bool WaitForPasswordReads(std::chrono::steady_clock::time_point deadline) {
    ReadSlots& table = readSlots();
    std::unique_lock lock(table.mutex);
    return table.freed.wait_until(lock, deadline, [&table] {
        return std::find(table.busy.begin(), table.busy.end(), true) == table.busy.end();
    });
}

} // namespace clients
