// The help command: the help file beside the program, opened with the
// desktop's own viewer for it (menu "Pomoc Halvex" and the key F1).
#include "shell/FileLocations.h"
#include "shell/MainForm.h"

#include "ui/Dialogs.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QUrl>

void TForm1::connectHelpCommand() {
    connect(PomocHalvex1, &QAction::triggered, this, &TForm1::PomocHalvex1Click);
}

// F1 opens the help also while the menu item is disabled.
void TForm1::FormKeyDown(int key) {
    if (key == Qt::Key_F1)
        PomocHalvex1Click();
}

void TForm1::keyPressEvent(QKeyEvent* event) {
    FormKeyDown(event->key());
    TForm::keyPressEvent(event);
}

void TForm1::PomocHalvex1Click() {
    // Worked out once: a later change of language keeps the file of the start.
    if (HelpFilePath.empty()) {
        const char* name = Settings.language == 2 ? "Halvex_ru.chm" : "Halvex.chm";
        HelpFilePath = QDir(QString::fromStdString(shell::ProgramDirectory())).filePath(name).toStdString();
    }
    const QString path = QString::fromStdString(HelpFilePath);
    if (QFileInfo(path).isFile() && QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        return;
    WriteLog(2, "%s (%s)", Text("IDS_764").c_str(), HelpFilePath.c_str());
    ui::dialogs().MessageBox(Text("IDS_764"), Text("IDS_765"), ui::MB_ICONWARNING | ui::MB_OK, ui::IDOK);
}
