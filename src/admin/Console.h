// The administration console: the user, phone and contact lists of the main
// window's pages, and the user and phone editors behind them.
// Holds: LoadUsers, LoadUserPhones, LoadContacts, AddUserBTClick,
// EditUserBTClick, DelUserBTClick, AddPhoneBTClick, EditPhoneBTClick,
// DelPhoneBTClick, UserLVSelectItem, PhoneLVSelectItem, UserLVDblClick,
// PhoneLVDblClick, ListViewLookupText, GetUserNameById, ContactRows,
// ContactGroupRows, ContactsLoaded, ContactEditMode, DodajBtnClick,
// EdycjaBtnClick, lvKontaktyDblClick, UsunBtn3Click, Button15Click; the
// attendance link (tmrRCPTimer, the connection test) and the database browser.
#pragma once

#include "admin/Attendance.h"
#include "admin/ConsoleHost.h"
#include "admin/ContactCsvReader.h"
#include "admin/DatabaseBrowser.h"
#include "admin/DatabaseMaintenance.h"
#include "db/QueryRows.h"

#include <QObject>
#include <QString>

#include <array>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class QTreeWidgetItem;
namespace platform {
class DbaseTable;
}
class TUserForm;
class TTelFm;

namespace admin {

class Console {
  public:
    // Presence slots the user list fills.
    static constexpr int UserSlotCount = 512;

    explicit Console(ConsoleHost& host) : host_(host), maintenance_(host) {}
    // What the settings dialog reads, stores and applies through.
    ConsoleHost& Host() { return host_; }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // The editors; the program's own forms unless a test gives others.
    void SetEditors(TUserForm* userForm, TTelFm* phoneForm);

    // Reloads the user list and the phone lists, and the presence slots.
    void LoadUsers();
    // Fills the phone list with that user's phones; "" leaves it empty.
    void LoadUserPhones(const std::string& userId);
    // Reloads the shared contacts and their groups, once per setting of the
    // database (ContactsLoaded); later calls only repaint the list.
    void LoadContacts();
    // The contacts page's buttons: the contact dialog, deleting the
    // selected contacts, deleting them all.
    void DodajBtnClick();
    void EdycjaBtnClick();
    void lvKontaktyDblClick();
    void UsunBtn3Click();
    void Button15Click();
    // The rows of the contacts selected in the list, in list order.
    std::vector<std::size_t> SelectedContactRows() const;
    // What the contact list shows in a cell of row `row` of ContactRows
    // ("" past the end).
    QString ContactCellText(std::size_t row, int column) const;
    // Announces a change of the contact base to every client.
    void Broadcast(const std::string& text) { host_.UdpSend(text); }
    // The contact list shows ContactRows anew.
    void RepaintContacts() { host_.RepaintContacts(); }
    // A text of the main window in the active language.
    std::string Text(const char* key) const { return host_.Text(key); }

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

    // A form's text by its key, in the active language.
    using TextOf = std::function<std::string(const char*)>;

    // Shows the contact import form, not modally, importing into this console.
    void ShowContactImport();
    // The contact import: the captions of the contact list's columns 1 to 13,
    // the fields a file column may feed, in the order of their entries.
    QStringList ContactFieldNames() const;
    // Imports the data lines of a read file as shared contacts, under the
    // progress window. `fieldOfColumn`: per header column the chosen entry of
    // ContactFieldNames, 1-based (0: not imported). `text` gives the import
    // form's texts.
    using ImportFieldMap = std::array<int, MaxImportColumns>;
    void ImportContacts(const ContactCsvFile& file, QChar separator, const ImportFieldMap& fieldOfColumn,
                        const TextOf& text);

    // The main database's settings as the settings dialog's fields hold them.
    struct DatabaseFields {
        std::string host, path, user, password;
    };
    // Stores the database settings, opens that database and copies the older
    // server generation's phone book (the dBase table "klienci" beside the
    // program or in the data folder) into its shared contacts. `text` gives
    // the settings dialog's texts, `caption` its caption.
    void ImportPhonebook(const DatabaseFields& fields, const TextOf& text, const std::string& caption);
    // Backup, restore and cleaning of the main database.
    DatabaseMaintenance& Maintenance() { return maintenance_; }
    // Settings the administrator stored that their file refused after
    // waiting for its lock (the file, why, the values): said by the settings
    // dialog that stored them, which sets it.
    std::function<void(const std::string& file, const std::string& reason, const std::string& values)>
        SettingsNotWritten;

    std::vector<ContactRow> ContactRows;
    std::map<int, std::string> ContactGroupRows;
    // Set once both tables were read; cleared to force a reload.
    bool ContactsLoaded = false;
    // 0: the contact dialog adds a contact; 1: it edits the selected one.
    int ContactEditMode = 0;

    // The attendance poll's timer tick.
    void tmrRCPTimer() { attendance_.Tick(); }
    // Waits up to `ms` for a running attendance poll; false when it still runs.
    bool StopAttendance(int ms) { return attendance_.Stop(ms); }
    // Stores the typed attendance settings and tests them on a connection of
    // their own; tells the result with texts of `text` and returns its key
    // ("IDS_131" failed, "IDS_134" fine, "IDS_136" no attendance view).
    const char* CheckRcpDatabase(const AttendanceSettings& typed, const TextOf& text);
    DatabaseBrowser& Browser() { return browser_; }

  private:
    bool OpenPhonebookDatabase(const DatabaseFields& fields, const TextOf& text, const std::string& caption);
    bool InsertPhonebookRow(const platform::DbaseTable& table, std::size_t record);
    void reloadAllPhones();
    void rememberUserNames();
    QTreeWidgetItem* selectedUser() const;
    QTreeWidgetItem* selectedPhone() const;
    void afterPhoneChange(const std::string& userId);
    void showDbError(const char* key, int status);
    void openContactDialog();

    ConsoleHost& host_;
    DatabaseMaintenance maintenance_;
    TUserForm* userForm_ = nullptr;
    TTelFm* phoneForm_ = nullptr;
    bool loadingUsers_ = false;
    // Ends the list's signals to this object when it goes.
    QObject watchContext_;
    mutable std::mutex userNamesMutex_;
    std::unordered_map<std::string, std::string> userNames_;
    AttendanceLink attendance_{host_};
    DatabaseBrowser browser_{host_};
};

} // namespace admin
