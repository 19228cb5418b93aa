// The program entry: chooses the display platform, creates the forms in their
// fixed order and runs the event loop.
#include "base/LogFile.h"
#include "base/SanitizerOptions.h"
#include "base/TraceLabel.h"
#include "db/CallWatchdog.h"
#include "db/FirebirdEnvironment.h"
#include "platform/ShutdownSignals.h"
#include "shell/FileLocations.h"
#include "shell/MainForm.h"
#include "shell/ProgramForms.h"
#include "shell/ProgramIcon.h"
#include "shell/ProgressWindow.h"
#include "sms/SmsGateway.h"
#include "ui/Application.h"
#include "ui/Dialogs.h"

#include <QNetworkProxyFactory>
#include <cstdio>
#include <unistd.h>

namespace {

bool hasDisplay() {
    return qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

std::string joinArguments(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; ++i)
        line += std::string(i > 1 ? " " : "") + argv[i];
    return line;
}

QtMessageHandler qtHandler = nullptr;

// What Qt says of windows that a platform without a display cannot show,
// and of the runtime folder it picks for itself, tells an administrator
// nothing: it stays out of stderr, so out of the journal.
bool isHeadlessNoise(const QString& message) {
    return message.startsWith(QLatin1String("This plugin does not support")) ||
           (message.startsWith(QLatin1String("QStandardPaths:")) &&
            message.contains(QLatin1String("XDG_RUNTIME_DIR")));
}

void quietHeadlessMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && isHeadlessNoise(message))
        return;
    if (qtHandler)
        qtHandler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

void installDialogs(bool headless) {
    if (headless)
        ui::setDialogs(std::make_shared<ui::HeadlessDialogs>(
            [](const std::string& text) { base::WriteLog(2, "%s", text.c_str()); }));
    else
        ui::setDialogs(std::make_shared<ui::InteractiveDialogs>());
}

// An exception that escaped start-up or the event loop: the current routine
// and the thread, for the report shown before the program ends.
std::string fatalReport(const std::exception& error) {
    return std::string(base::TraceLabel()) + ": " + error.what() + "\nWątek=" + std::to_string(::gettid());
}

void showFatal(const std::string& report) {
    ui::dialogs().MessageBox(report, "Wyjątek przy pracy Halvex", ui::MB_OK, ui::IDOK);
}

void deleteForms(TForm1*& form1) {
    DeleteProgramForms();
    delete form1;
    form1 = nullptr;
    delete OknoInfo;
    OknoInfo = nullptr;
}

// With StartMinimized the window starts hidden in the tray, or minimised
// where the desktop has none.
void showMainWindow(TForm1& form) {
    if (!form.Settings.StartMinimized)
        form.show();
    else if (!form.IconInTray())
        form.showMinimized();
}

// What the stop has to say, said before its watch ends the process: the
// settings still waiting for their file's lock given up and named, and the
// log written.
void sayLastWords() {
    platform::FinishBackgroundRegistryWrites(std::chrono::steady_clock::now());
    base::FlushMainLog();
}

// Another program holds the journal of the rows on their way: both would
// write its rows.
bool journalHeldElsewhere(TForm1& form) {
    return !form.IsSecondInstance() &&
           !form.Database().OpenRowJournal(shell::RowJournalPathFor(form.LogFilePath)) &&
           form.Database().Road().JournalHeldElsewhere();
}

int runServer(int argc, char** argv) {
    base::SetTraceLabel("WinMain");
    StoredCommandLine = joinArguments(argc, argv);
    ui::TApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Halvex"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(shell::ProgramIcon());
    // A server talks to its own network directly: no system proxy lookup.
    QNetworkProxyFactory::setUseSystemConfiguration(false);
    const bool headless = ui::IsHeadless();
    installDialogs(headless);

    db::UseOwnFirebirdRoot();
    db::RefuseClientShutdownOnSignals();
    TForm1* form1 = nullptr;
    int exitCode = 0;
    // Whatever escapes the building of the forms or the event loop is shown
    // while the application object still exists, so in a box on a display.
    try {
        OknoInfo = new TOknoInfo();
        form1 = new TForm1();
        // Before any row: the rows an earlier run left go first. Before them,
        // the reports it expected, which hold the keys of the rows they name.
        if (!form1->IsSecondInstance())
            form1->Sms().KeepExpectedReports(shell::ExpectedReportsPathFor(form1->LogFilePath));
        if (journalHeldElsewhere(*form1)) {
            exitCode = 1;
        } else {
            CreateProgramForms(*form1);
            form1->FormCreate();
            // Nor does a log-in whose password the database must confirm.
            form1->Clients().ReadPasswordsOffLoop(true);
            if (!form1->IsSecondInstance() && !headless)
                showMainWindow(*form1);
            app.exec();
        }
    } catch (const std::exception& error) {
        if (!form1)
            Form1 = nullptr; // the window was never whole
        const std::string report = fatalReport(error);
        if (headless) {
            // No box to wait on: stderr, and the log file while the window
            // still writes it.
            showFatal(report);
            if (form1)
                form1->TimerUpdateInfoTimer();
        }
        // Nothing of the server may run on in the box's own event loop.
        deleteForms(form1);
        if (!headless)
            showFatal(report);
    }
    deleteForms(form1);
    // Once, after everything that used the database is gone, within what
    // is left of the stop's bound.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        platform::ShutdownSignals::BeginStop() - std::chrono::steady_clock::now());
    db::EndDatabaseClient(int(std::max<long long>(1, left.count())));
    // What was said after the window's last drain.
    base::FlushMainLog();
    return exitCode;
}

} // namespace

int main(int argc, char** argv) {
    // A call on the database that holds the GUI thread when the stop comes
    // is abandoned in time for the stop's own steps.
    platform::ShutdownSignals::WatchStop(TForm1::ThreadStopBound, &db::LimitCallsForStop,
                                         TForm1::LastWordsTime, &sayLastWords);
    // The end of the session during start-up takes the usual way down too.
    platform::ShutdownSignals::CatchEarly();
    if (!hasDisplay()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qtHandler = qInstallMessageHandler(quietHeadlessMessages);
    }
    try {
        return runServer(argc, argv);
    } catch (const std::exception& error) {
        // No application object is left for a window: the report goes to stderr.
        ui::setDialogs(std::make_shared<ui::HeadlessDialogs>());
        showFatal(fatalReport(error));
    }
    return 0;
}
