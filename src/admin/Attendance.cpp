#include "admin/Attendance.h"

#include "admin/Console.h"
#include "admin/SettingsDialog.h"
#include "base/DiagnosticLog.h"
#include "db/DbErrorText.h"
#include "db/SessionDB.h"
#include "i18n/LangComponent.h"
#include "ui/Dialogs.h"

#include <algorithm>
#include <charconv>
#include <unordered_map>

namespace admin {
namespace {

// The newest event of every card seen in the last 31 days.
const char* const LatestEvents =
    "SELECT MAX(ID_REJ) as id_rej FROM V_REJ WHERE czas_kontr > (current_date - 31) GROUP BY karta;";
const char* const EventsOf = "SELECT karta, tryb FROM V_REJ WHERE czas_kontr > (current_date - 31) AND "
                             "id_rej IN (";

using base::SettingsSection;

// The attendance settings' stored names, in the order the test button
// stores them.
const char* const UseName = "UseRCP";
const char* const UserName = "RCP_User";
const char* const PasswordName = "RCP_PasswordFB";
const char* const HostName = "RCP_IPFB";
const char* const PathName = "RCP_NameFB";

AttendanceSettings attendanceSettings(const ConsoleHost& host) {
    auto text = [&](const char* name) {
        return std::get<std::string>(host.Setting(SettingsSection::Main, name));
    };
    return {std::get<bool>(host.Setting(SettingsSection::Main, UseName)), text(HostName), text(PathName),
            text(UserName), text(PasswordName)};
}

void storeAttendanceSettings(ConsoleHost& host, const AttendanceSettings& typed) {
    host.StoreSetting(SettingsSection::Main, UseName, typed.use);
    host.StoreSetting(SettingsSection::Main, UserName, typed.user);
    host.StoreSetting(SettingsSection::Main, PasswordName, typed.password);
    host.StoreSetting(SettingsSection::Main, HostName, typed.host);
    host.StoreSetting(SettingsSection::Main, PathName, typed.path);
}

bool isWholeNumber(const std::string& text) {
    long long value = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc() && at == end;
}

} // namespace

std::uint32_t AttendanceStateOf(const std::string& kind) {
    if (kind == "Wyjście")
        return 1;
    if (kind.find("Wejście") != std::string::npos)
        return 2;
    if (kind == "Wyjście służbowe")
        return 3;
    return 0;
}

std::vector<std::string> AttendanceIdLists(const std::vector<std::string>& ids, std::size_t perList) {
    std::vector<std::string> lists;
    std::size_t inList = 0;
    for (const std::string& id : ids) {
        if (!isWholeNumber(id))
            continue;
        if (inList == 0 || inList == perList) {
            lists.emplace_back();
            inList = 0;
        } else {
            lists.back() += ",";
        }
        lists.back() += id;
        ++inList;
    }
    return lists;
}

std::vector<AttendanceSlot> ReadAttendance(const AttendanceSettings& database,
                                           std::vector<AttendanceSlot> entries) {
    for (AttendanceSlot& slot : entries)
        slot.state = 0;
    // Of two users with the same card only the first in slot order counts.
    std::unordered_map<std::string, std::size_t> slotOfCard;
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (!entries[i].userId.empty() && !entries[i].card.empty())
            slotOfCard.emplace(entries[i].card, i);
    DbHandle handle = 0;
    {
        SessionDB session(database.host, database.path, database.user, database.password, &handle, true);
        if (handle != 0) {
            TStringList ids;
            session.SetResultStrings(&ids);
            session.ExecuteSQL(LatestEvents);
            for (const std::string& list : AttendanceIdLists(ids)) {
                TStringList events; // card, kind, card, kind, ...
                session.SetResultStrings(&events);
                session.ExecuteSQL(EventsOf + list + ");");
                for (std::size_t i = 0; i + 1 < events.size(); i += 2) {
                    const auto found = slotOfCard.find(events[i]);
                    if (found != slotOfCard.end())
                        entries[found->second].state = AttendanceStateOf(events[i + 1]);
                }
            }
        }
    }
    SessionDB::DetachDatabase(&handle);
    return entries;
}

AttendanceLink::~AttendanceLink() {
    if (worker_.joinable())
        worker_.join();
    forget();
}

void AttendanceLink::forget() {
    const std::lock_guard<std::mutex> lock(delivery_->mutex);
    delivery_->target = nullptr;
}

void AttendanceLink::Tick() {
    const AttendanceSettings settings = attendanceSettings(host_);
    if (!settings.use || worker_.joinable())
        return;
    host_.SetAttendanceTimer(false);
    std::promise<void> done;
    done_ = done.get_future();
    worker_ = std::thread([this, delivery = delivery_, settings, entries = host_.AttendanceSlots(),
                           done = std::move(done)]() mutable {
        std::vector<AttendanceSlot> read = ReadAttendance(settings, std::move(entries));
        {
            const std::lock_guard<std::mutex> lock(delivery->mutex);
            if (delivery->target)
                QMetaObject::invokeMethod(
                    delivery->target, [this, read = std::move(read)] { finished(read); },
                    Qt::QueuedConnection);
        }
        done.set_value();
    });
}

void AttendanceLink::finished(const std::vector<AttendanceSlot>& entries) {
    if (worker_.joinable())
        worker_.join();
    host_.ApplyAttendance(entries);
    host_.SetAttendanceTimer(true);
}

bool AttendanceLink::Stop(int ms) {
    if (!worker_.joinable())
        return true;
    if (done_.wait_for(std::chrono::milliseconds(ms)) != std::future_status::ready) {
        base::WriteLog(2, "Odczyt obecności z bazy RCP nie zakończył się, zamykam bez czekania");
        forget();
        worker_.detach();
        return false;
    }
    worker_.join();
    return true;
}

const char* Console::CheckRcpDatabase(const AttendanceSettings& typed, const TextOf& text) {
    storeAttendanceSettings(host_, typed);
    DbHandle handle = 0;
    TStringList views;
    int code = 0;
    {
        SessionDB session(typed.host, typed.path, typed.user, typed.password, &handle, true);
        code = session.LastCode != 0 ? session.LastCode : session.GetViewNames(&views);
    }
    SessionDB::DetachDatabase(&handle);
    const char* key = "IDS_136";
    std::string message;
    if (code != 0) {
        key = "IDS_131";
        message = GetDbErrorText(code);
    } else if (std::find(views.begin(), views.end(), "V_REJ") != views.end()) {
        key = "IDS_134";
    }
    message = text(key) + message;
    ui::dialogs().MessageBox(
        message, text("IDS_21"),
        ui::MB_OK | (key == std::string("IDS_134") ? ui::MB_ICONINFORMATION : ui::MB_ICONWARNING), ui::IDOK);
    return key;
}

} // namespace admin

void TKonfiguracja::btnCheckRcpDBClick() {
    if (!console)
        return;
    auto text = [](const QLineEdit* edit) { return edit->text().toStdString(); };
    console->CheckRcpDatabase(
        {chbEnableRCP->isChecked(), text(edRCP_IP), text(edRCPpath), text(edRCPuser), text(edRCPpassword)},
        [this](const char* key) { return lgLangLinked1->GetTextOrDefault(key); });
}
