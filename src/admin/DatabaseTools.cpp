// The database tools of the settings dialog's database page: the backup
// folder and program, backup, restore, cleaning and the speed test. The work
// is the console's; the dialog asks and shows.
#include "admin/Console.h"
#include "admin/SettingsDialog.h"
#include "db/DbErrorText.h"
#include "i18n/LangComponent.h"
#include "ui/Dialogs.h"

#include <QPointer>

namespace {

admin::DatabaseMaintenance::Texts textsOf(const TKonfiguracja& form) {
    return [&form](const char* key) { return form.lgLangLinked1->GetTextOrDefault(key); };
}

} // namespace

// The chooser starts at the program named now. gbak has no fixed name or
// extension here: every file is offered.
void TKonfiguracja::btnUstawGbakPathClick() {
    ui::FileRequest request;
    request.fileName = edGbakPath->text().toStdString();
    request.initialDir = folderOf(request.fileName);
    const std::string file = ui::dialogs().OpenFile(request, this);
    if (file.empty() || !console)
        return;
    edGbakPath->setText(QString::fromStdString(file));
    console->Maintenance().SetGbakPath(file);
}

void TKonfiguracja::btnUstawBackupDirClick() {
    const std::string folder = ui::dialogs().SelectDirectory(lgLangLinked1->GetTextOrDefault("IDS_123"),
                                                             edBackupPath->text().toStdString(), this);
    if (folder.empty() || !console)
        return;
    edBackupPath->setText(QString::fromStdString(folder));
    console->Maintenance().SetBackupPath(folder);
}

void TKonfiguracja::btnBackupClick() {
    btnBackupClick(btnBackup);
}

void TKonfiguracja::btnBackupClick(QObject* sender) {
    if (!console)
        return;
    if (sender)
        console->Maintenance().BoxOwner = this;
    console->Maintenance().Backup(sender ? textsOf(*this) : admin::DatabaseMaintenance::Texts{});
}

void TKonfiguracja::btnRestoreClick() {
    if (!console)
        return;
    // The restore's boxes stand above this window, which it keeps from the
    // database until its end.
    console->Maintenance().BoxOwner = this;
    console->Maintenance().RestoreRunning = [dialog = QPointer<TKonfiguracja>(this)](bool running) {
        if (dialog)
            dialog->holdDatabaseControls(running);
    };
    const auto texts = textsOf(*this);
    if (ui::dialogs().MessageBox(texts("IDS_158"), texts("IDS_21"), ui::MB_OKCANCEL | ui::MB_ICONWARNING,
                                 ui::IDCANCEL, this) != ui::IDOK)
        return;
    // The folder typed in the field, not the one stored.
    ui::FileRequest request;
    request.filter = texts("IDS_160");
    request.defaultExt = "fbk";
    request.initialDir = edBackupPath->text().toStdString();
    const std::string file = ui::dialogs().OpenFile(request, this);
    if (file.empty())
        return;
    // Its end runs the connection test, whose attach is the restore's own
    // of the main connection.
    console->Maintenance().RestoreEnded =
        [dialog = QPointer<TKonfiguracja>(this)](const admin::DatabaseMaintenance::Reattach& reattach) {
            if (dialog)
                dialog->testConnection([&](admin::ConsoleHost::StructureCheck& structure, std::string&) {
                    return reattach(structure) == 0;
                });
        };
    if (console->Maintenance().Restore(file, texts))
        bazaOdtworzona = 1;
}

int TKonfiguracja::CzyscBaze() {
    if (!console)
        return -1;
    return console->Maintenance().CzyscBaze({DIPBEdit->text().toStdString(), NameEdit->text().toStdString(),
                                             UserEdit->text().toStdString(), PassEdit->text().toStdString()});
}

void TKonfiguracja::btnCleanDatabaseClick() {
    const auto texts = textsOf(*this);
    if (ui::dialogs().MessageBox(texts("IDS_173"), texts("IDS_21"), ui::MB_YESNO | ui::MB_ICONWARNING,
                                 ui::IDNO, this) != ui::IDYES)
        return;
    const int code = CzyscBaze();
    if (code == 0)
        ui::dialogs().MessageBox(texts("IDS_177"), texts("IDS_21"), ui::MB_OK | ui::MB_ICONINFORMATION,
                                 ui::IDOK, this);
    else
        ui::dialogs().MessageBox(texts("IDS_175") + GetDbErrorText(code), texts("IDS_21"),
                                 ui::MB_OK | ui::MB_ICONWARNING, ui::IDOK, this);
}

// The time is shown once the rows are in the database; the dialog serves
// on meanwhile.
void TKonfiguracja::btnTestDbPerformanceClick() {
    if (!console)
        return;
    console->Maintenance().MeasureHistoryInserts([dialog = QPointer<TKonfiguracja>(this)](double seconds) {
        if (!dialog)
            return;
        ui::dialogs().MessageBox(dialog->lgLangLinked1->GetTextOrDefault("IDS_195") +
                                     QString::number(seconds, 'g', 5).toStdString() + "s",
                                 "", ui::MB_OK, ui::IDOK, dialog);
    });
}
