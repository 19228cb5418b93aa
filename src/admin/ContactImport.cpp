// The import of shared contacts from a delimited file: each data line becomes
// a contact of the shared base, group names that are new become groups. The
// database comes first, memory second, the broadcast to the clients third.
#include "admin/Console.h"

#include "admin/AdminForms.h"
#include "clients/ContactSync.h"
#include "db/ContactTables.h"
#include "db/DbErrorText.h"
#include "db/MainDatabase.h"
#include "db/SqlText.h"
#include "platform/WireCodePage.h"
#include "ui/Dialogs.h"
#include "ui/VirtualListView.h"

#include <memory>

namespace admin {
namespace {

// The entries of the field choice: the contact list's columns 1 to 13.
enum ImportField {
    IfNone = 0,
    IfGroup,
    IfCompany,
    IfJobPosition,
    IfName,
    IfFirstName,
    IfPhone,
    IfHome,
    IfMobile,
    IfMail,
    IfWww,
    IfAddress,
    IfCity,
    IfPostCode,
    IfCount
};

// A group name keeps what its column holds.
constexpr std::size_t GroupNameLimit = 63;

std::string* memberOf(ContactRow& row, int field) {
    switch (field) {
    case IfCompany:
        return &row.Company;
    case IfJobPosition:
        return &row.JobPosition;
    case IfName:
        return &row.Name;
    case IfFirstName:
        return &row.FirstName;
    case IfPhone:
        return &row.Phone;
    case IfHome:
        return &row.Home;
    case IfMobile:
        return &row.Mobile;
    case IfMail:
        return &row.Mail;
    case IfWww:
        return &row.www;
    case IfAddress:
        return &row.Address;
    case IfCity:
        return &row.City;
    case IfPostCode:
        return &row.PostCode;
    default:
        return nullptr;
    }
}

// The value of one field as stored.
std::string treated(int field, const std::string& value) {
    switch (field) {
    case IfPhone:
    case IfHome:
    case IfMobile:
        return PhoneDigits(value);
    case IfAddress:
    case IfCity:
    case IfPostCode:
        return value == "(null)" ? std::string() : value;
    case IfGroup:
        return TrimSqlValue(platform::utf8Left(value, GroupNameLimit));
    default:
        return value;
    }
}

bool allEmpty(const ContactRow& row) {
    for (const std::string* value :
         {&row.Company, &row.JobPosition, &row.Name, &row.FirstName, &row.Phone, &row.Home, &row.Mobile,
          &row.Mail, &row.www, &row.Address, &row.City, &row.PostCode})
        if (!value->empty())
            return false;
    return true;
}

// The text with each "%d" in turn replaced by the next number; the text is
// a translation, never used as a format.
std::string withNumbers(std::string text, std::initializer_list<int> numbers) {
    std::size_t at = 0;
    for (int number : numbers) {
        at = text.find("%d", at);
        if (at == std::string::npos)
            break;
        const std::string digits = std::to_string(number);
        text.replace(at, 2, digits);
        at += digits.size();
    }
    return text;
}

} // namespace

void Console::ShowContactImport() {
    if (!Import_kont)
        return;
    Import_kont->SetConsole(this);
    Import_kont->show();
    Import_kont->raise();
    Import_kont->activateWindow();
}

QStringList Console::ContactFieldNames() const {
    QStringList names;
    ui::TVirtualListView* list = host_.Lists().lvKontakty;
    for (int column = IfGroup; column < IfCount; ++column)
        names << (list && column < list->Columns().Count() ? list->Columns()[column]->Caption() : QString());
    return names;
}

void Console::ImportContacts(const ContactCsvFile& file, QChar separator, const ImportFieldMap& fieldOfColumn,
                             const TextOf& text) {
    const int columns = std::min<int>(int(file.header.size()), MaxImportColumns);
    const qsizetype lines = file.lines.size();
    qsizetype next = 0;
    int imported = 0;
    int failed = 0;

    const auto groupIdOf = [&](const std::string& name) -> int {
        if (name.empty())
            return 0;
        for (const auto& [id, groupName] : ContactGroupRows)
            if (groupName == name)
                return id;
        auto groups = db::MainTable<ServiceContactGroupsDB>();
        groups.sGroupName = name;
        if (const int status = groups.InsertData(); status != 0) {
            ui::dialogs().MessageBox(text("IDS_30") + GetDbErrorText(status), text("IDS_1"),
                                     ui::MB_ICONWARNING | ui::MB_OK, ui::IDOK);
            return 0;
        }
        const int id = std::atoi(groups.idGroup.c_str());
        ContactGroupRows[id] = name;
        host_.UdpSend(clients::DbSynchronizer::WyslijDbgDodaj(groups.idGroup, name));
        return id;
    };

    const auto importLine = [&](const QString& line) {
        const std::vector<QString> fields = SplitImportLine(line, separator, columns);
        ContactRow row;
        std::string groupName;
        for (int k = 0; k < columns; ++k) {
            const int field = fieldOfColumn[std::size_t(k)];
            if (field <= IfNone || field >= IfCount)
                continue;
            const std::string value = treated(field, CleanImportValue(fields[std::size_t(k)]));
            if (field == IfGroup)
                groupName = value;
            else
                *memberOf(row, field) = value;
        }
        row.nGroupId = groupIdOf(groupName);
        if (allEmpty(row) && row.nGroupId == 0)
            return;
        auto contacts = db::MainTable<ServiceContactsDB>();
        contacts.TakeRow(row);
        if (contacts.InsertDataWithId() != 0) {
            ++failed;
            return;
        }
        ++imported;
        row.idContactPriv = contacts.idContactPriv;
        ContactRows.push_back(row);
        host_.UdpSend(clients::DbSynchronizer::WyslijDbDodaj(row));
    };

    host_.RunUnderProgress(text("IDS_3"), text("IDS_4"), [&]() -> int {
        if (next >= lines)
            return -1;
        importLine(file.lines[next]);
        ++next;
        return int(next * 100 / lines);
    });

    if (failed > 0)
        ui::dialogs().MessageBox(withNumbers(text("IDS_32"), {imported, failed}), text("IDS_33"), ui::MB_OK,
                                 ui::IDOK);
    else
        ui::dialogs().MessageBox(text("IDS_34") + std::to_string(imported) + ")", text("IDS_33"), ui::MB_OK,
                                 ui::IDOK);
    host_.RepaintContacts();
}

} // namespace admin
