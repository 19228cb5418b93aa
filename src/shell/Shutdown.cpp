// The window frame and the way down: closing the window only hides it (to
// the tray, or minimised where there is none); the exit command (after a
// confirmation when set) and the end of the session take the server down in
// a fixed order.
#include "shell/MainForm.h"

#include "admin/AdminForms.h"
#include "admin/Console.h"
#include "base/PasswordCodec.h"
#include "base/TraceLabel.h"
#include "clients/PasswordReads.h"
#include "db/CallWatchdog.h"
#include "db/ConnectThread.h"
#include "platform/ShutdownSignals.h"
#include "sms/SmsGateway.h"
#include "ui/Application.h"
#include "ui/Dialogs.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

// A thread that did not end may still reach what shutdown would free (the
// client records, the line chains), and the Firebird client's own end waits
// for an attach call that never returns: free nothing, flush the log, end.
[[noreturn]] void endWithoutWaiting(TForm1& form, const char* what) {
    // The rows on the road stay in its journal; those not in it are named.
    form.Sms().NameUnsentMessages();
    form.Database().StopRowRoad(std::chrono::steady_clock::now());
    // Settings still waiting for their file's lock are named, not waited for.
    platform::FinishBackgroundRegistryWrites(std::chrono::steady_clock::now());
    form.TimerUpdateInfoTimer();
    std::fprintf(stderr, "Halvex: %s did not end in time; ending without waiting for it\n", what);
    std::fflush(nullptr);
    std::_Exit(0);
}

} // namespace

void TForm1::Konfiguracja1Click() {
    if (Konfiguracja)
        Konfiguracja->show();
}

void TForm1::closeEvent(QCloseEvent* event) {
    base::DebugTrace("FormClose");
    if (ShutdownStarted) {
        event->accept();
        return;
    }
    event->ignore();
    hideToTray();
}

void TForm1::Zamknij1Click() {
    if (ShutdownStarted || Admin().Maintenance().RefuseExitDuringRestore())
        return;
    if (Settings.pytanieOwych &&
        ui::dialogs().MessageBox(Text("IDS_641"), Text("IDS_642"), ui::MB_YESNO, ui::IDNO) != ui::IDYES)
        return;
    runShutdownSequence();
}

// Shutdown frees what event handlers use (the broadcast sender, the client
// records, the line chains): asked for inside a loop nested in a handler (the
// wait for an attach, say), it runs once that handler has returned, or the
// process ends at the bound without freeing anything.
void TForm1::WMQuery() {
    base::DebugTrace("WMQuery");
    if (ShutdownStarted || ShutdownWaiting)
        return;
    auto* app = ui::TApplication::instance();
    if (!app || app->HandlerDepth() <= 1) {
        runShutdownSequence();
        return;
    }
    base::DebugTrace("WMQuery: odłożone do końca bieżącej obsługi");
    ShutdownWaiting = true;
    // The handler beneath may wait in a box for a user: the box gets its
    // safe answer now, and what the handler would do next is left undone.
    Admin().Maintenance().StopRequested();
    ui::EndDialogsForStop();
    QTimer::singleShot(ThreadStopBound, this, [this] {
        if (!ShutdownStarted)
            endWithoutWaiting(*this, "a running step");
    });
    app->RunAtTopLevel(this, [this] { runShutdownSequence(); });
}

void TForm1::runShutdownSequence() {
    if (ShutdownStarted)
        return;
    // Counted from the signal, when one came while the GUI thread was busy.
    const auto deadline = platform::ShutdownSignals::BeginStop();
    db::LimitCallsForStop(deadline);
    ShutdownStarted = true;
    MaintenanceTimer->SetEnabled(false);
    tmrServerEnableStartup->SetEnabled(false);
    base::DiagnosticLog::instance().closing = 1;
    Settings.AutomPrzyw = false;
    Pbx().RozlaczCentrale();
    if (!Pbx().WaitForLinkEnd(millisecondsUntil(deadline)))
        endWithoutWaiting(*this, "the exchange link");
    Pbx().FreeReceivedLines();
    Clients().WylaczSerwer();
    delete Clients().UdpSocket;
    Clients().UdpSocket = nullptr;
    removeTrayIcon();
    // Not to the stop's very end: the rows and the log need what is left.
    if (!WaitForAttachThreads(db::CallDeadline()))
        endWithoutWaiting(*this, "the database attach");
    tmrRCP->SetEnabled(false);
    if (!Admin().StopAttendance(millisecondsUntil(deadline)))
        endWithoutWaiting(*this, "the attendance poll");
    // A running gbak ends within the bound too; a backup cut short leaves
    // no file behind.
    Admin().Maintenance().StopGbak(std::chrono::milliseconds(millisecondsUntil(deadline)));
    finishShutdown();
}

void TForm1::finishShutdown() {
    Sms().NameUnsentMessages();
    if (!Database().StopRowRoad())
        endWithoutWaiting(*this, "the row writer");
    // A log-in's password read still out (it touches nothing freed here)
    // ends within the calls' bound.
    if (!clients::WaitForPasswordReads(db::CallDeadline()))
        endWithoutWaiting(*this, "a password read");
    // An attach of that attempt may be left in its call.
    if (!WaitForAttachThreads(std::chrono::steady_clock::now()))
        endWithoutWaiting(*this, "the database attach");
    // Settings still waiting for their file's lock are written or said
    // before the log's last lines, and before the stop watch's own last
    // words: the lock's wait gives way to the stop's bound.
    platform::FinishBackgroundRegistryWrites(platform::ShutdownSignals::BeginStop() - 2 * LastWordsTime);
    TimerUpdateInfoTimer();
    TimerUpdateKolejkaTimer();
    QCoreApplication::exit(0);
}

void TForm1::FormDestroy() {
    base::TraceScope trace("FormDestroy");
    base::DebugTrace("FormDestroy");
    event_obslugi.reset();
    event_kolejka.reset();
    event_bufor.reset();
    SettingsRegistry.reset();
    // Settings still waiting for their file's lock are written or said
    // before the window goes, within the stop's bound; what the forms store
    // as they close waits where it is.
    platform::FinishBackgroundRegistryWrites(platform::ShutdownSignals::BeginStop() - LastWordsTime);
    platform::WriteLockedRegistryInBackground(false);
    platform::SetRegistryLateFailureHandler({});
    platform::SetRegistrySetAsideHandler({});
    platform::SetRegistryRefusedHandler({});
}
