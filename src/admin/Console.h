// The administration console: the user, phone and contact lists of the main
// window's pages, and the user and phone editors behind them.
// Holds: LoadUsers, LoadUserPhones, LoadContacts, AddUserBTClick,
// EditUserBTClick, DelUserBTClick, AddPhoneBTClick, EditPhoneBTClick,
// DelPhoneBTClick, UserLVSelectItem, PhoneLVSelectItem, UserLVDblClick,
// PhoneLVDblClick, ListViewLookupText, GetUserNameById, ContactRows,
// ContactGroupRows.
#pragma once

#include "admin/ConsoleHost.h"
#include "admin/DatabaseMaintenance.h"
#include "db/QueryRows.h"

#include <QObject>

#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class QTreeWidgetItem;
class TUserForm;
class TTelFm;

namespace admin {

class Console {
  public:
    // Presence slots the user list fills.
    static constexpr int UserSlotCount = 512;

    explicit Console(ConsoleHost& host) : host_(host), maintenance_(host) {}
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // The editors; the program's own forms unless a test gives others.
    void SetEditors(TUserForm* userForm, TTelFm* phoneForm);

    // Reloads the user list and the phone lists, and the presence slots.
    void LoadUsers();
    // Fills the phone list with that user's phones; "" leaves it empty.
    void LoadUserPhones(const std::string& userId);
    // Reloads the shared contacts and their groups.
    void LoadContacts();

    void AddUserBTClick();
    void EditUserBTClick();
    void DelUserBTClick();
    void AddPhoneBTClick();
    void EditPhoneBTClick();
    void DelPhoneBTClick();
    void UserLVSelectItem();
    void PhoneLVSelectItem();
    void UserLVDblClick();
    void PhoneLVDblClick();
    // Selects the user a number is assigned to and that number among his
    // phones; nothing changes when no user has it or the database fails.
    void FindPhone(const std::string& number);

    // The user id and card key of each presence slot, from the user list:
    // the first UserSlotCount rows in list order.
    std::vector<std::pair<std::string, std::string>> UserSlotEntries() const;
    // The owner of a phone, "surname first name", or "".
    std::string ListViewLookupText(int phoneId) const;
    // "surname first name" of a user, from the copy of the user list's names
    // the GUI thread keeps; any thread may ask.
    std::string GetUserNameById(const std::string& userId) const;
    // Takes the names anew after the user list changed (not while a load
    // fills it row by row).
    void RefreshUserNames();
    // From now on every change of the user list refreshes the names.
    void WatchUserList();
    // The context of connections to the console: they end when it goes,
    // before the window's lists do.
    QObject& Context() { return watchContext_; }

    // Backup, restore and cleaning of the main database.
    DatabaseMaintenance& Maintenance() { return maintenance_; }

    std::vector<ContactRow> ContactRows;
    std::map<int, std::string> ContactGroupRows;

  private:
    void reloadAllPhones();
    void rememberUserNames();
    QTreeWidgetItem* selectedUser() const;
    QTreeWidgetItem* selectedPhone() const;
    void afterPhoneChange(const std::string& userId);
    void showDbError(const char* key, int status);

    ConsoleHost& host_;
    DatabaseMaintenance maintenance_;
    TUserForm* userForm_ = nullptr;
    TTelFm* phoneForm_ = nullptr;
    bool loadingUsers_ = false;
    // Ends the list's signals to this object when it goes.
    QObject watchContext_;
    mutable std::mutex userNamesMutex_;
    std::unordered_map<std::string, std::string> userNames_;
};

} // namespace admin
