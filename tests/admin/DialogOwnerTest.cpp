// The windows kept on top of the others (settings, CSV export, CSV import)
// open their message boxes and file dialogs above themselves: with the real
// Qt dialogs, each one shown belongs to the window that opened it and is the
// active window.
#include "admin/ContactImportForm.h"
#include "admin/ExportForm.h"
#include "admin/SettingsDialog.h"
#include "support/MainFormFixture.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QTimer>
#include <QWindow>
#include <functional>

namespace {

struct ShownDialog {
    QString kind;
    QWindow* transientParent = nullptr;
    bool active = false;
};

// Runs `open`, which shows a modal dialog; once the dialog is the active
// window (or the wait gives up) notes what it belongs to and cancels it.
ShownDialog dialogOpenedBy(const std::function<void()>& open) {
    ShownDialog seen;
    const QDeadlineTimer cap(30000);
    QTimer look;
    look.setInterval(10);
    QObject::connect(&look, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        const bool active = QApplication::activeWindow() == dialog;
        if (!active && !cap.hasExpired())
            return;
        look.stop();
        seen = {QString::fromLatin1(dialog->metaObject()->className()),
                dialog->windowHandle()->transientParent(), active};
        dialog->reject();
    });
    look.start();
    open();
    return seen;
}

class DialogOwner : public testing_support::MainFormFixture {
  protected:
    void expectAbove(QWidget& window, const std::function<void()>& open) {
        window.show();
        window.activateWindow();
        const ShownDialog seen = dialogOpenedBy(open);
        const std::string name = window.objectName().toStdString();
        EXPECT_FALSE(seen.kind.isEmpty()) << name << " showed no dialog";
        EXPECT_EQ(seen.transientParent, window.windowHandle()) << name << ": " << seen.kind.toStdString();
        EXPECT_TRUE(seen.active) << name << ": " << seen.kind.toStdString();
        window.hide();
    }
};

TEST_F(DialogOwner, SettingsExportAndImportShowTheirDialogsAboveThemselves) {
    createForm();
    ui::setDialogs(std::make_shared<ui::InteractiveDialogs>());

    TKonfiguracja settings;
    settings.console = &form->Admin();
    expectAbove(settings, [&] {
        // Another language than the one in force: the restart notice.
        const int other = settings.ComboBoxLang->currentIndex() == 0 ? 1 : 0;
        settings.ComboBoxLang->setCurrentIndex(other);
        emit settings.ComboBoxLang->activated(other);
    });

    TExportuj exporter;
    exporter.SourceList = form->lvKontakty;
    expectAbove(exporter, [&] {
        exporter.Label6DblClick();
        exporter.EksportujButton->click();
    });

    TImport_kont importer;
    expectAbove(importer, [&] { importer.btnOdczytaj->click(); });
}

} // namespace
