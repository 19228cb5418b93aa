#include "support/MainFormFixture.h"

#include "shell/FileLocations.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

namespace testing_support {

void MainFormFixture::resetLog() {
    auto& log = base::DiagnosticLog::instance();
    log.closing = 0;
    log.LogQueueMain.TakeAll();
    log.LogQueueSecond.TakeAll();
    SettingsDefaulted = false;
}

void MainFormFixture::endApplicationLoop() {
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
}

TForm1& MainFormFixture::createForm(const std::string& commandLine) {
    ui::setDialogs(dialogs);
    StoredCommandLine = commandLine;
    // Tests run the start-up steps themselves, against their own database,
    // and need no exchange link writing into the log meanwhile.
    StartupOptions nothingOutside;
    nothingOutside.connectExchange = false;
    nothingOutside.attachDatabase = false;
    nothingOutside.openClientService = false;
    form = std::make_unique<TForm1>(nullptr, nothingOutside);
    form->Settings.AutomPrzyw = false;
    // No test reaches the machine's services, and the calendar socket opens
    // only where a test switches it on.
    form->Clients().Calendars.SetServiceControl(std::make_unique<platform::FakeServiceControl>());
    form->Settings.CalendarServiceEnabled = false;
    // The tests read the log queues themselves: the panes' drains must not
    // take the lines first when a slow run lets their timers fall due.
    form->TimerUpdateInfo->SetEnabled(false);
    form->TimerUpdateKolejka->SetEnabled(false);
    if (!keepDefaultDatabase && form->Settings.NameFBText == shell::DefaultDatabasePath()) {
        form->Settings.IPFBaseText.clear();
        form->Settings.NameFBText = sandbox.file("none/RovaZAD.fdb");
        form->Clients().UstawKomunikatLP();
    }
    form->LogFilePath = sandbox.file("halvex.log");
    mainLogText();
    return *form;
}

void MainFormFixture::nameDatabase(const testfb::Connection& connection) {
    form->Settings.IPFBaseText = connection.host;
    form->Settings.NameFBText = connection.path;
    form->Settings.UserFB = connection.user;
    form->Settings.PasswordFB = connection.password;
    form->Clients().UstawKomunikatLP();
}

std::string MainFormFixture::mainLogText() {
    for (const std::string& line : base::DiagnosticLog::instance().LogQueueMain.TakeAll())
        logSoFar += line + "\n";
    return logSoFar;
}

bool MainFormFixture::awaitLoss() {
    QDeadlineTimer deadline(60000);
    while (MainDbHandleExists() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    return !MainDbHandleExists();
}

void MainFormFixture::awaitJournaled() {
    const db::RowRoad& road = form->Database().Road();
    QDeadlineTimer deadline(60000);
    while (road.Journaling() > 0 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
}

bool MainFormFixture::replayed() {
    QDeadlineTimer deadline(60000);
    while (form->Database().Road().Waiting() > 0 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    // The followers of the last rows.
    QCoreApplication::processEvents();
    return form->Database().Road().Waiting() == 0;
}

} // namespace testing_support
