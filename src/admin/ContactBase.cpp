// The contacts page: the shared contact base of user 0 and its groups. Every
// change is stored first, then made in the rows the list shows, then
// announced to the clients; what the database refuses changes nothing else.
#include "admin/Console.h"
#include "admin/ContactForm.h"
#include "admin/ContactList.h"

#include "clients/ContactSync.h"
#include "db/ContactTables.h"
#include "db/InterfaceDB.h"
#include "db/MainDatabase.h"
#include "db/SessionDB.h"
#include "ui/Dialogs.h"
#include "ui/VirtualListView.h"

#include <algorithm>

namespace admin {

void Console::LoadContacts() {
    ui::TVirtualListView* list = host_.Lists().lvKontakty;
    if (ContactsLoaded) {
        host_.RepaintContacts();
        return;
    }
    // The rows shown are replaced only by rows read: a database away (a
    // restore, an outage) leaves the list as it was.
    if (!MainDbHandleExists()) {
        host_.StartReconnectTimer();
        host_.RepaintContacts();
        return;
    }
    list->setEnabled(false);
    const db::ConnectionSettings c = db::MainConnection();
    std::map<int, std::string> groups;
    std::vector<ContactRow> contacts;
    int status = 0;
    {
        InterfaceDB front;
        front.SetConnection(c.host, c.path, c.user, c.password);
        status = front.WyswietlBazeDB("ContactGroups", "idGroup, sGroupName", "nUserId", "0", &groups);
    }
    if (status == 0) {
        InterfaceDB front;
        front.SetConnection(c.host, c.path, c.user, c.password);
        status = front.WyswietlBazeDB(
            "ContactPriv",
            "idContactPriv, Company, JobPosition, Name, FirstName, Phone, Home, Mobile, Mail, www, Address, "
            "City, PostCode, nGroupId",
            "CTIusers_nUserID", "0", &contacts);
    }
    ContactsLoaded = status == 0;
    if (ContactsLoaded) {
        ContactGroupRows = std::move(groups);
        ContactRows = std::move(contacts);
    }
    host_.RepaintContacts();
    list->resizeColumnToContents(6);
    list->setEnabled(true);
    host_.SortContacts();
}

std::vector<std::size_t> Console::SelectedContactRows() const {
    std::vector<std::size_t> rows;
    for (const int row : host_.Lists().lvKontakty->SelectedRows()) {
        if (row >= 0 && std::size_t(row) < ContactRows.size())
            rows.push_back(std::size_t(row));
    }
    return rows;
}

QString Console::ContactCellText(std::size_t row, int column) const {
    return row < ContactRows.size() ? ContactCell(ContactAt(ContactRows, row), column, ContactGroupRows)
                                    : QString();
}

void Console::openContactDialog() {
    const std::vector<std::size_t> selected = SelectedContactRows();
    const int editRow = ContactEditMode == 1 && !selected.empty() ? int(selected.front()) : -1;
    TAddAForm dialog(host_.Lists().lvKontakty->window(), *this, editRow);
    dialog.setWindowFlag(Qt::Dialog);
    dialog.ShowModal();
}

void Console::DodajBtnClick() {
    ContactEditMode = 0;
    openContactDialog();
}

void Console::EdycjaBtnClick() {
    if (SelectedContactRows().empty()) {
        ui::dialogs().MessageBox(host_.Text("IDS_647"), host_.Text("IDS_21"),
                                 ui::MB_ICONINFORMATION | ui::MB_OK, ui::IDOK);
        return;
    }
    ContactEditMode = 1;
    openContactDialog();
}

void Console::lvKontaktyDblClick() {
    ContactEditMode = SelectedContactRows().empty() ? 0 : 1;
    openContactDialog();
}

void Console::UsunBtn3Click() {
    std::vector<std::size_t> rows = SelectedContactRows();
    std::erase_if(rows, [this](std::size_t row) { return ContactRows[row].idContactPriv.empty(); });
    if (rows.empty()) {
        ui::dialogs().MessageBox(host_.Text("IDS_644"), host_.Text("IDS_21"),
                                 ui::MB_ICONINFORMATION | ui::MB_OK, ui::IDOK);
        return;
    }
    if (rows.size() > 1) {
        const QString question = QString::fromStdString(host_.Text("IDS_645"))
                                     .replace(QStringLiteral("%u"), QString::number(rows.size()));
        if (ui::dialogs().MessageBox(question.toStdString(), host_.Text("IDS_21"), ui::MB_OKCANCEL,
                                     ui::IDCANCEL) != ui::IDOK)
            return;
    }
    std::vector<std::size_t> deleted;
    for (const std::size_t row : rows) {
        auto contacts = db::MainTable<ServiceContactsDB>();
        contacts.idContactPriv = ContactRows[row].idContactPriv;
        if (contacts.DeleteData() != 0)
            continue;
        host_.UdpSend(clients::DbSynchronizer::WyslijDbUsun(ContactRows[row].idContactPriv));
        deleted.push_back(row);
    }
    host_.Lists().lvKontakty->clearSelection();
    for (auto row = deleted.rbegin(); row != deleted.rend(); ++row)
        ContactRows.erase(ContactRows.begin() + std::ptrdiff_t(*row));
    host_.RepaintContacts();
    // A row the database kept stays listed, so what is shown is what is stored.
    if (deleted.size() != rows.size())
        ui::dialogs().MessageBox(host_.Text("IDS_713"), host_.Text("IDS_21"), ui::MB_ICONWARNING | ui::MB_OK,
                                 ui::IDOK);
}

void Console::Button15Click() {
    if (ui::dialogs().MessageBox(host_.Text("IDS_711"), host_.Text("IDS_712"),
                                 ui::MB_YESNO | ui::MB_ICONQUESTION, ui::IDNO) != ui::IDYES)
        return;
    auto contacts = db::MainTable<ServiceContactsDB>();
    if (contacts.DeleteAllData("0") != 0) {
        ui::dialogs().MessageBox(host_.Text("IDS_713"), host_.Text("IDS_21"), ui::MB_ICONWARNING | ui::MB_OK,
                                 ui::IDOK);
        return;
    }
    host_.UdpSend("!DB_DLA&\r\n");
    ContactRows.clear();
    host_.RepaintContacts();
}

} // namespace admin
