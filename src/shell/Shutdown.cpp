// The window frame and the way down: closing the window only minimises it;
// the exit command (after a confirmation when set) and the end of the
// session take the server down in a fixed order.
#include "shell/MainForm.h"

#include "admin/AdminForms.h"
#include "shell/PasswordCodec.h"
#include "shell/TraceLabel.h"
#include "ui/Dialogs.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

namespace {
// How long the link thread is given to end before the process ends without it.
constexpr int LinkStopBoundMs = 5000;
} // namespace

// There is no notification area to rely on here: the window minimises
// instead of hiding in a tray.
void TForm1::UstawIkone() {
    shell::TraceScope trace("UstawIkone");
}

void TForm1::Poka1Click() {
    showNormal();
    raise();
    activateWindow();
}

void TForm1::Schowajdozasobnika1Click() {
    showMinimized();
}

void TForm1::Konfiguracja1Click() {
    if (Konfiguracja)
        Konfiguracja->show();
}

void TForm1::closeEvent(QCloseEvent* event) {
    shell::DebugTrace("FormClose");
    if (ShutdownStarted) {
        event->accept();
        return;
    }
    event->ignore();
    showMinimized();
}

void TForm1::Zamknij1Click() {
    if (ShutdownStarted)
        return;
    if (pytanieOwych &&
        ui::dialogs().MessageBox(Text("IDS_641"), Text("IDS_642"), ui::MB_YESNO, ui::IDNO) != ui::IDYES)
        return;
    runShutdownSequence();
}

void TForm1::WMQuery() {
    shell::DebugTrace("WMQuery");
    if (!ShutdownStarted)
        runShutdownSequence();
}

void TForm1::runShutdownSequence() {
    ShutdownStarted = true;
    MaintenanceTimer->SetEnabled(false);
    tmrServerEnableStartup->SetEnabled(false);
    shell::DiagnosticLog::instance().closing = 1;
    AutomPrzyw = false;
    RozlaczCentrale();
    if (!WaitForLinkEnd(LinkStopBoundMs)) {
        // The link thread may still reach the client records and the line
        // chains: free nothing, flush the log and end the process.
        TimerUpdateInfoTimer();
        std::fprintf(stderr, "%s\n",
                     "Halvex: the exchange link did not end in time; ending without freeing it");
        std::fflush(nullptr);
        std::_Exit(0);
    }
    FreeReceivedLines();
    WylaczSerwer();
    delete UdpSocket;
    UdpSocket = nullptr;
    finishShutdown();
}

void TForm1::finishShutdown() {
    TimerUpdateInfoTimer();
    TimerUpdateKolejkaTimer();
    QCoreApplication::exit(0);
}

void TForm1::FormDestroy() {
    shell::TraceScope trace("FormDestroy");
    shell::DebugTrace("FormDestroy");
    event_obslugi.reset();
    event_kolejka.reset();
    event_bufor.reset();
    SettingsRegistry.reset();
    platform::SetRegistrySetAsideHandler({});
}
