// The one-off move of the older server generation's phone book, the dBase
// table "klienci", into the shared contacts of the database typed on the
// settings dialog's database page.
#include "admin/Console.h"

#include "admin/SettingsDialog.h"
#include "base/DiagnosticLog.h"
#include "db/ContactTables.h"
#include "db/DbErrorText.h"
#include "db/InterfaceDB.h"
#include "db/MainDatabase.h"
#include "i18n/LangComponent.h"
#include "platform/DbaseTable.h"
#include "platform/WireCodePage.h"
#include "ui/Dialogs.h"

#include <QFileInfo>
#include <QString>

#include <algorithm>

namespace admin {
namespace {

const char* const PhonebookFile = "klienci.dbf";
const char* const PhonebookOrder = "numer";
constexpr std::size_t ValueLimit = 1023;
constexpr std::size_t PhonebookColumns = 6;

// Where each of the table's six columns goes, with its column's length.
struct ContactColumn {
    std::string ServiceContactsDB::*member;
    std::size_t limit;
};
const ContactColumn ColumnTargets[PhonebookColumns] = {
    {&ServiceContactsDB::phone, 45},    {&ServiceContactsDB::name, 45},     {&ServiceContactsDB::city, 50},
    {&ServiceContactsDB::address, 160}, {&ServiceContactsDB::postcode, 10}, {&ServiceContactsDB::note, 1000}};

std::string trimmed(const std::string& text) {
    return QString::fromStdString(text).trimmed().toStdString();
}

void setMainDbState(int state) {
    if (db::MainDatabase* main = db::MainDatabase::Current())
        main->MainDbState = state;
}

} // namespace

bool Console::OpenPhonebookDatabase(const DatabaseFields& fields, const TextOf& text,
                                    const std::string& caption) {
    InterfaceDB front;
    front.SetConnection(fields.host, fields.path, fields.user, fields.password);
    if (front.OpenDatabase(true) != 0) {
        setMainDbState(-1);
        ui::dialogs().MessageBox(text("IDS_103"), text("IDS_104"), ui::MB_OK | ui::MB_ICONERROR, ui::IDOK);
        return false;
    }
    int error = 0;
    if (front.CheckAndCreateTables(&error) != 0) {
        if (error == 0)
            ui::dialogs().MessageBox(text("IDS_75"), caption, ui::MB_OK | ui::MB_ICONINFORMATION, ui::IDOK);
        else
            ui::dialogs().MessageBox(text("IDS_102"), caption, ui::MB_OK | ui::MB_ICONERROR, ui::IDOK);
    }
    setMainDbState(0);
    return true;
}

void Console::ImportPhonebook(const DatabaseFields& fields, const TextOf& text, const std::string& caption) {
    const auto warn = [&](const std::string& message) {
        ui::dialogs().MessageBox(message, text("IDS_21"), ui::MB_OK | ui::MB_ICONWARNING, ui::IDOK);
    };
    if (fields.host.find("127.0.0.1") != std::string::npos)
        return warn(text("IDS_139"));
    host_.StoreSetting(base::SettingsSection::Main, "IPFBase", fields.host);
    host_.StoreSetting(base::SettingsSection::Main, "NameFB", fields.path);
    host_.StoreSetting(base::SettingsSection::Main, "PasswordFB", fields.password);
    host_.StoreSetting(base::SettingsSection::Main, "UserFB", fields.user);
    if (!OpenPhonebookDatabase(fields, text, caption))
        return;

    platform::DbaseTable table;
    std::string reason = "no file " + std::string(PhonebookFile);
    std::string path;
    // Beside the program, beside the database, then in the data folder.
    std::vector<std::string> folders = host_.DataFolders();
    folders.insert(folders.begin() + std::ptrdiff_t(std::min<std::size_t>(1, folders.size())),
                   QFileInfo(QString::fromStdString(fields.path)).absolutePath().toStdString());
    for (const std::string& folder : folders)
        if (path.empty())
            path = platform::FindFileAnyCase(folder, PhonebookFile);
    if (path.empty() || !table.Open(path, &reason)) {
        base::WriteLog(1, "Książka telefoniczna nie została otwarta: %s", reason.c_str());
        return warn(text("IDS_145") + text("IDS_146") + text("IDS_147") + text("IDS_148") + text("IDS_149"));
    }
    if (table.Fields().size() != PhonebookColumns)
        return warn(text("IDS_151") + text("IDS_152"));

    const std::vector<std::size_t> records = table.LiveRecordsOrderedBy(PhonebookOrder);
    std::size_t next = 0;
    int imported = 0;
    host_.RunUnderProgress(caption, text("IDS_154"), [&]() -> int {
        if (next >= records.size())
            return -1;
        imported += InsertPhonebookRow(table, records[next++]) ? 1 : 0;
        return int(next * 100 / records.size());
    });
    LoadContacts();
    ui::dialogs().MessageBox(text("IDS_154") + std::to_string(imported) + text("IDS_155"), caption,
                             ui::MB_OK | ui::MB_ICONINFORMATION, ui::IDOK);
}

// A row goes in only when its sixth column could be read (a blob or a picture
// there has no text); values are trimmed and cut to their columns.
bool Console::InsertPhonebookRow(const platform::DbaseTable& table, std::size_t record) {
    auto contact = db::MainTable<ServiceContactsDB>();
    for (std::size_t column = 0; column < PhonebookColumns; ++column) {
        if (platform::DbaseTable::IsBlobType(table.Fields()[column].type))
            return false;
        contact.*ColumnTargets[column].member = platform::utf8Left(
            trimmed(platform::utf8Left(table.Value(record, column, ValueLimit), ValueLimit)),
            ColumnTargets[column].limit);
    }
    contact.nGroupId = "0";
    if (const int status = contact.InsertData(); status != 0) {
        base::WriteLog(1, "Kontakt %s nie został zaimportowany: %s", contact.name.c_str(),
                       GetDbErrorText(status).c_str());
        return false;
    }
    return true;
}

} // namespace admin

namespace {

std::string trimmedText(const ui::TEdit* edit) {
    return edit->text().trimmed().toStdString();
}

} // namespace

void TKonfiguracja::btnImportPhonebookClick() {
    if (!console)
        return;
    const auto text = [this](const char* key) { return lgLangLinked1->GetTextOrDefault(key); };
    console->ImportPhonebook(
        {trimmedText(DIPBEdit), trimmedText(NameEdit), trimmedText(UserEdit), PassEdit->text().toStdString()},
        text, Caption().toStdString());
}
