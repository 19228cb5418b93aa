// The tray: the program's icon with its menu, and the window hidden to it
// or shown from it. Where the desktop has no tray the window is minimised
// instead, so that it can always be found again.
#include "shell/MainForm.h"

#include "base/TraceLabel.h"
#include "shell/ProgramIcon.h"
#include "ui/Application.h"

void TForm1::UstawIkone() {
    base::TraceScope trace("UstawIkone");
    if (ui::IsHeadless())
        return;
    if (!IconData) {
        IconData = new QSystemTrayIcon(shell::ProgramIcon(), this);
        IconData->setToolTip(QStringLiteral("Halvex"));
        IconData->setContextMenu(PopupMenuIkony);
        connect(IconData, &QSystemTrayIcon::activated, this, &TForm1::TrayIconMessage);
    }
    // Shown even while there is no tray: Qt docks the icon in one that
    // appears later, or again after the tray was restarted.
    IconData->show();
}

void TForm1::TrayIconMessage(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger)
        Poka1Click();
}

bool TForm1::IconInTray() const {
    return IconData && IconData->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

void TForm1::Poka1Click() {
    // Restored from the tray or the task bar, keeping a maximised state.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void TForm1::Schowajdozasobnika1Click() {
    hideToTray();
}

void TForm1::hideToTray() {
    if (IconInTray())
        hide();
    else
        showMinimized();
}

void TForm1::removeTrayIcon() {
    if (IconData)
        IconData->hide();
}
