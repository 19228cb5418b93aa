// The users page: the user and phone lists loaded from the database, the
// editors behind their buttons, and the notices the clients get after a
// change. Every database operation uses a table object of its own, made
// with the main connection's settings and dropped right after.
#include "admin/Console.h"

#include "admin/AdminForms.h"
#include "base/PasswordCodec.h"
#include "db/DbErrorText.h"
#include "db/InterfaceDB.h"
#include "db/MainDatabase.h"
#include "db/SessionDB.h"
#include "db/SqlText.h"
#include "db/UserTables.h"
#include "ui/Components.h"
#include "ui/Dialogs.h"
#include "ui/ListSort.h"

namespace admin {
namespace {

// The user list's columns as the view gives them: the row caption is the id.
enum UserColumn {
    UcId = 0,
    UcSurname,
    UcFirstName,
    UcLogin,
    UcPassword,
    UcGroup,
    UcIp,
    UcCard,
    UcPrivileges,
    UcStatus
};
const char* const UserColumns = "nUserID,sUserName,sUserLastName, "
                                "sUserLogin,sUserPassword,sGroupName,sUserIP,sRCPcard,nPrivileges,sStatus";
const char* const PhoneColumns = "nUserID, nID, sUserPhone, sUserPhoneName";
// lvAllUserPhones: nUserID, nID, Telefon, Nazwa tel.
enum AllPhonesColumn { ApUser = 0, ApId, ApNumber, ApName };

// The rows of a read, kept apart until the read has succeeded.
class CollectRows : public db::RowSink {
  public:
    void columns(const std::vector<db::ResultColumn>&) override {}
    void row(const db::ResultRow& row) override {
        QStringList cells;
        for (int i = 0; i < row.size(); ++i)
            cells << QString::fromStdString(row.trimmed(i));
        rows.push_back(cells);
    }
    std::vector<QStringList> rows;
};

// A list (which keeps its own columns) is emptied only when a new one has
// been read: while the database is away the users and phones read last stay.
int loadInto(ui::TListView* view, const char* source, const char* columns) {
    const db::ConnectionSettings c = db::MainConnection();
    InterfaceDB front;
    front.SetConnection(c.host, c.path, c.user, c.password);
    CollectRows read;
    front.SetResultList(&read);
    const int result = front.WyswietlBazeDB(source, columns, "0", "");
    if (result != 0)
        return result;
    view->clear();
    for (const QStringList& cells : read.rows)
        view->AddRow(cells);
    return 0;
}

std::string cell(const QTreeWidgetItem* row, int column) {
    return row ? row->text(column).toStdString() : std::string();
}

// The surname, a blank behind it when there is one, then the first name (so
// a surname alone keeps its blank).
std::string fullName(const std::string& surname, const std::string& firstName) {
    return surname.empty() ? firstName : surname + " " + firstName;
}

std::string blankWhenEmpty(const std::string& text) {
    return text.empty() ? " " : text;
}

TUserForm* userEditor(TUserForm* given) {
    return given ? given : UserForm;
}

TTelFm* phoneEditor(TTelFm* given) {
    return given ? given : TelFm;
}

const char* const ReloadNotice = "!RL&\r\n";

} // namespace

void Console::SetEditors(TUserForm* userForm, TTelFm* phoneForm) {
    userForm_ = userForm;
    phoneForm_ = phoneForm;
}

void Console::reloadAllPhones() {
    ui::TListView* all = host_.Lists().lvAllUserPhones;
    if (loadInto(all, "UserPhones", PhoneColumns) != 0)
        return;
    all->SetTag(1);
    ui::SortListView(*all);
}

void Console::RefreshUserNames() {
    if (!loadingUsers_)
        rememberUserNames();
}

void Console::WatchUserList() {
    QAbstractItemModel* users = host_.Lists().UserLV->model();
    auto refresh = [this] { RefreshUserNames(); };
    QObject::connect(users, &QAbstractItemModel::rowsInserted, &watchContext_, refresh);
    QObject::connect(users, &QAbstractItemModel::rowsRemoved, &watchContext_, refresh);
    QObject::connect(users, &QAbstractItemModel::dataChanged, &watchContext_, refresh);
    QObject::connect(users, &QAbstractItemModel::modelReset, &watchContext_, refresh);
}

void Console::LoadUsers() {
    const ConsoleLists lists = host_.Lists();
    if (!MainDbHandleExists()) {
        host_.StartReconnectTimer();
        return;
    }
    struct Loading {
        bool& flag;
        ~Loading() { flag = false; }
    } loading{loadingUsers_ = true};
    // Filling the user list selects a user, whose phones may reload the
    // phone list first: the voice-mail boxes are resynchronised all the same.
    const bool phonesStale = lists.lvAllUserPhones->Tag() == 0;
    const bool read = loadInto(lists.UserLV, "UserAndGroup", UserColumns) == 0;
    lists.UserLV->SetTag(read ? 2 : 1);
    if (phonesStale) {
        if (lists.lvAllUserPhones->Tag() == 0)
            reloadAllPhones();
        host_.UserPhonesReloaded(true);
    }
    loadingUsers_ = false;
    // The users read last keep their slots and their presence.
    if (!read)
        return;
    ui::SortListView(*lists.UserLV);
    rememberUserNames();
    host_.FillUserSlots(UserSlotEntries());
}

std::vector<std::pair<std::string, std::string>> Console::UserSlotEntries() const {
    const ui::TListView* users = host_.Lists().UserLV;
    std::vector<std::pair<std::string, std::string>> entries;
    const int count = std::min(users->topLevelItemCount(), UserSlotCount);
    entries.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i) {
        const QTreeWidgetItem* row = users->topLevelItem(i);
        entries.emplace_back(cell(row, UcId), cell(row, UcCard));
    }
    return entries;
}

void Console::rememberUserNames() {
    const ui::TListView* users = host_.Lists().UserLV;
    std::unordered_map<std::string, std::string> names;
    for (int i = 0; i < users->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = users->topLevelItem(i);
        names.emplace(cell(row, UcId), fullName(cell(row, UcSurname), cell(row, UcFirstName)));
    }
    const std::lock_guard<std::mutex> lock(userNamesMutex_);
    userNames_.swap(names);
}

std::string Console::GetUserNameById(const std::string& userId) const {
    const std::lock_guard<std::mutex> lock(userNamesMutex_);
    const auto found = userNames_.find(userId);
    return found == userNames_.end() ? std::string() : found->second;
}

std::string Console::ListViewLookupText(int phoneId) const {
    const ConsoleLists lists = host_.Lists();
    const QString phone = QString::number(phoneId);
    QString userId;
    bool phoneFound = false;
    for (int i = 0; i < lists.lvAllUserPhones->topLevelItemCount() && !phoneFound; ++i) {
        const QTreeWidgetItem* row = lists.lvAllUserPhones->topLevelItem(i);
        if (row->text(ApId) == phone) {
            userId = row->text(ApUser);
            phoneFound = true;
        }
    }
    if (!phoneFound)
        return {};
    for (int i = 0; i < lists.UserLV->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = lists.UserLV->topLevelItem(i);
        if (row->text(UcId) == userId)
            return fullName(cell(row, UcSurname), cell(row, UcFirstName));
    }
    return {};
}

void Console::LoadUserPhones(const std::string& userId) {
    const ConsoleLists lists = host_.Lists();
    lists.PhoneLV->clear();
    // A database away leaves the phones read last in use.
    if (!MainDbHandleExists()) {
        lists.lvAllUserPhones->SetTag(0);
        host_.StartReconnectTimer();
    } else if (lists.lvAllUserPhones->Tag() == 0) {
        reloadAllPhones();
        host_.UserPhonesReloaded(false);
    }
    if (userId.empty())
        return;
    const QString wanted = QString::fromStdString(userId);
    for (int i = 0; i < lists.lvAllUserPhones->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = lists.lvAllUserPhones->topLevelItem(i);
        if (row->text(ApUser) == wanted)
            lists.PhoneLV->AddRow({row->text(ApId), row->text(ApNumber), row->text(ApName)});
    }
}

QTreeWidgetItem* Console::selectedUser() const {
    const QList<QTreeWidgetItem*> selected = host_.Lists().UserLV->selectedItems();
    return selected.isEmpty() ? nullptr : selected.front();
}

QTreeWidgetItem* Console::selectedPhone() const {
    const QList<QTreeWidgetItem*> selected = host_.Lists().PhoneLV->selectedItems();
    return selected.isEmpty() ? nullptr : selected.front();
}

void Console::showDbError(const char* key, int status) {
    ui::dialogs().MessageBox(host_.Text(key) + GetDbErrorText(status), host_.Text("IDS_21"),
                             ui::MB_ICONWARNING | ui::MB_OK, ui::IDOK);
}

void Console::AddUserBTClick() {
    const ConsoleLists lists = host_.Lists();
    lists.UserLV->clearSelection();
    lists.PhoneLV->clear();
    lists.HistLV->clear();
    TUserForm* editor = userEditor(userForm_);
    editor->Surname.clear();
    editor->FirstName.clear();
    editor->Login.clear();
    editor->Password.clear();
    editor->IP.clear();
    editor->RcpCard.clear();
    editor->Status.clear();
    editor->UserId.clear();
    editor->GroupName.clear();
    for (ui::TCheckBox* box : {editor->cbEdycjaWspolnejBazy, editor->cbUsuwanieHistoriiPolaczen,
                               editor->chbWysylanieSms, editor->chbUsuwanieSms})
        box->setChecked(false);
    editor->Privileges = 0;
    editor->GroupId = 0;
    if (editor->ShowModal() != ui::mrOk)
        return;
    auto users = db::MainTable<ServiceUseresDB>();
    users.sUserName = editor->Surname;
    users.sUserIP = editor->IP;
    users.sStatus = editor->Status;
    if (!editor->Login.empty() && !editor->Password.empty()) {
        users.sUserName = blankWhenEmpty(editor->Surname);
        users.sUserIP = blankWhenEmpty(editor->IP);
        users.sStatus = blankWhenEmpty(editor->Status);
    }
    users.sUserLastName = editor->FirstName;
    users.sUserLogin = editor->Login;
    users.sUserPassword = Md5HexWire(editor->Password);
    users.nGroupID = editor->GroupId;
    users.sRCPcard = editor->RcpCard;
    users.nPrivileges = editor->Privileges;
    if (const int status = users.InsertData(); status != 0) {
        showDbError("IDS_733", status);
        return;
    }
    LoadUsers();
}

void Console::EditUserBTClick() {
    QTreeWidgetItem* row = selectedUser();
    if (!row) {
        ui::dialogs().MessageBox(host_.Text("IDS_738"), "", ui::MB_OK, ui::IDOK);
        return;
    }
    TUserForm* editor = userEditor(userForm_);
    editor->Surname = cell(row, UcSurname);
    editor->FirstName = cell(row, UcFirstName);
    editor->Login = cell(row, UcLogin);
    const std::string storedDigest = cell(row, UcPassword);
    editor->Password = storedDigest;
    editor->GroupName = cell(row, UcGroup);
    editor->IP = cell(row, UcIp);
    editor->RcpCard = cell(row, UcCard);
    editor->Status = cell(row, UcStatus);
    editor->UserId = cell(row, UcId);
    const int privileges = std::atoi(cell(row, UcPrivileges).c_str());
    editor->cbEdycjaWspolnejBazy->setChecked(privileges & 1);
    editor->cbUsuwanieHistoriiPolaczen->setChecked(privileges & 2);
    editor->chbWysylanieSms->setChecked(privileges & 4);
    editor->chbUsuwanieSms->setChecked(privileges & 8);
    const std::string oldStatus = editor->Status;
    if (editor->ShowModal() != ui::mrOk)
        return;
    const std::string password =
        editor->Password != storedDigest ? Md5HexWire(editor->Password) : storedDigest;
    auto users = db::MainTable<ServiceUseresDB>();
    users.sUserName = editor->Surname;
    users.sUserIP = editor->IP;
    users.sStatus = editor->Status;
    if (!editor->Login.empty() && !password.empty()) {
        users.sUserName = blankWhenEmpty(editor->Surname);
        users.sUserIP = blankWhenEmpty(editor->IP);
        users.sStatus = blankWhenEmpty(editor->Status);
    }
    users.sUserLastName = editor->FirstName;
    users.sUserLogin = editor->Login;
    users.sUserPassword = password;
    users.sRCPcard = editor->RcpCard;
    users.nPrivileges = editor->Privileges;
    users.nGroupID = editor->GroupId;
    users.nUserID = std::atoi(editor->UserId.c_str());
    if (const int status = users.UpdateData(); status != 0) {
        showDbError("IDS_741", status);
        return;
    }
    const std::string userId = editor->UserId;
    if (editor->Status != oldStatus)
        host_.UdpSend("!OI&" + userId + "&" + editor->Status + "&\r\n");
    const std::pair<int, std::string> values[] = {
        {UcSurname, editor->Surname}, {UcFirstName, editor->FirstName},
        {UcLogin, editor->Login},     {UcPassword, password},
        {UcGroup, editor->GroupName}, {UcIp, editor->IP},
        {UcCard, editor->RcpCard},    {UcPrivileges, std::to_string(editor->Privileges)},
        {UcStatus, editor->Status}};
    for (const auto& [column, text] : values)
        row->setText(column, QString::fromStdString(text));
    rememberUserNames();
    host_.NotifyUser(userId, ReloadNotice);
}

void Console::DelUserBTClick() {
    QTreeWidgetItem* row = selectedUser();
    if (!row) {
        ui::dialogs().MessageBox(host_.Text("IDS_735"), "", ui::MB_OK, ui::IDOK);
        return;
    }
    const int userId = std::atoi(cell(row, UcId).c_str());
    auto users = db::MainTable<ServiceUseresDB>();
    users.nUserID = userId;
    if (const int status = users.DeleteData(); status != 0) {
        showDbError("IDS_736", status);
        return;
    }
    auto phones = db::MainTable<ServiceUserPhonesDB>();
    phones.nUserID = userId;
    const ConsoleLists lists = host_.Lists();
    if (phones.DeleteUserPhones() == 0)
        lists.PhoneLV->clear();
    lists.lvAllUserPhones->SetTag(0);
    delete row;
    lists.HistLV->clear();
    rememberUserNames();
}

void Console::afterPhoneChange(const std::string& userId) {
    host_.NotifyUser(userId, ReloadNotice);
    host_.Lists().lvAllUserPhones->SetTag(0);
    LoadUserPhones(userId);
}

void Console::AddPhoneBTClick() {
    QTreeWidgetItem* user = selectedUser();
    if (!user) {
        ui::dialogs().MessageBox(host_.Text("IDS_743"), host_.Text("IDS_646"),
                                 ui::MB_ICONINFORMATION | ui::MB_OK, ui::IDOK);
        return;
    }
    host_.Lists().PhoneLV->clearSelection();
    TTelFm* editor = phoneEditor(phoneForm_);
    editor->Edit1->setReadOnly(false);
    editor->Number.clear();
    editor->Name.clear();
    editor->SelectedPhoneId.clear();
    editor->OwnerOfPhone = [this](int phoneId) { return ListViewLookupText(phoneId); };
    if (editor->ShowModal() != ui::mrOk)
        return;
    const std::string userId = cell(user, UcId);
    auto phones = db::MainTable<ServiceUserPhonesDB>();
    phones.nUserID = std::atoi(userId.c_str());
    phones.sUserPhone = blankWhenEmpty(editor->Number);
    phones.sUserPhoneName = blankWhenEmpty(editor->Name);
    if (const int status = phones.InsertData(); status != 0)
        showDbError("IDS_745", status);
    afterPhoneChange(userId);
}

void Console::EditPhoneBTClick() {
    QTreeWidgetItem* user = selectedUser();
    QTreeWidgetItem* phone = selectedPhone();
    if (!user || !phone) {
        ui::dialogs().MessageBox(host_.Text("IDS_755"), host_.Text("IDS_21"),
                                 ui::MB_ICONINFORMATION | ui::MB_OK, ui::IDOK);
        return;
    }
    TTelFm* editor = phoneEditor(phoneForm_);
    editor->Number = cell(phone, 1);
    editor->Name = cell(phone, 2);
    editor->SelectedPhoneId = cell(phone, 0);
    editor->OwnerOfPhone = [this](int phoneId) { return ListViewLookupText(phoneId); };
    ui::dialogs().MessageBox(host_.Text("IDS_757"), host_.Text("IDS_21"), ui::MB_ICONWARNING | ui::MB_OK,
                             ui::IDOK);
    if (editor->ShowModal() != ui::mrOk)
        return;
    if (editor->Number.empty())
        return;
    auto phones = db::MainTable<ServiceUserPhonesDB>();
    phones.nID = cell(phone, 0);
    phones.sUserPhone = editor->Number;
    phones.sUserPhoneName = blankWhenEmpty(editor->Name);
    if (const int status = phones.UpdateData(); status != 0)
        showDbError("IDS_759", status);
    afterPhoneChange(cell(user, UcId));
}

void Console::DelPhoneBTClick() {
    QTreeWidgetItem* phone = selectedPhone();
    if (!phone) {
        ui::dialogs().MessageBox(host_.Text("IDS_750"), "", ui::MB_OK, ui::IDOK);
        return;
    }
    auto phones = db::MainTable<ServiceUserPhonesDB>();
    phones.sUserPhone = cell(phone, 1);
    if (const int status = phones.DeleteData(); status != 0) {
        showDbError("IDS_751", status);
        return;
    }
    delete phone;
    if (QTreeWidgetItem* user = selectedUser()) {
        const std::string userId = cell(user, UcId);
        host_.Lists().lvAllUserPhones->SetTag(0);
        LoadUserPhones(userId);
        host_.LoadIncomingHistory("NUSERID", userId);
        host_.NotifyUser(userId, ReloadNotice);
    }
}

void Console::UserLVSelectItem() {
    if (QTreeWidgetItem* user = selectedUser()) {
        const std::string userId = cell(user, UcId);
        LoadUserPhones(userId);
        host_.LoadIncomingHistory("NUSERID", userId);
    }
}

void Console::PhoneLVSelectItem() {
    if (QTreeWidgetItem* phone = selectedPhone())
        host_.LoadIncomingHistory("SUSERPHONE", cell(phone, 1));
}

void Console::UserLVDblClick() {
    if (selectedUser())
        EditUserBTClick();
    else
        AddUserBTClick();
}

void Console::PhoneLVDblClick() {
    if (selectedPhone())
        EditPhoneBTClick();
    else
        AddPhoneBTClick();
}

void Console::FindPhone(const std::string& number) {
    if (number.empty() || !MainDbHandleExists())
        return;
    const db::ConnectionSettings c = db::MainConnection();
    TStringList owners;
    {
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
        session.SetResultStrings(&owners);
        if (session.ExecuteSQL("SELECT nuserid FROM userphonesandname WHERE suserphone = '" +
                               QuoteSql(number) + "'") != 0)
            return;
    }
    if (owners.empty())
        return;
    const ConsoleLists lists = host_.Lists();
    const QString owner = QString::fromStdString(owners.front()).trimmed();
    QTreeWidgetItem* user = nullptr;
    for (int i = 0; i < lists.UserLV->topLevelItemCount() && !user; ++i)
        if (lists.UserLV->topLevelItem(i)->text(UcId) == owner)
            user = lists.UserLV->topLevelItem(i);
    lists.UserLV->clearSelection();
    if (!user)
        return;
    lists.UserLV->scrollToItem(user);
    lists.UserLV->setCurrentItem(user);
    user->setSelected(true);
    const QString wanted = QString::fromStdString(number);
    for (int i = 0; i < lists.PhoneLV->topLevelItemCount(); ++i) {
        QTreeWidgetItem* phone = lists.PhoneLV->topLevelItem(i);
        if (phone->text(1) != wanted)
            continue;
        lists.PhoneLV->clearSelection();
        lists.PhoneLV->scrollToItem(phone);
        lists.PhoneLV->setCurrentItem(phone);
        phone->setSelected(true);
        lists.PhoneLV->setFocus();
        return;
    }
}

} // namespace admin
