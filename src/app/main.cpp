// The program entry: chooses the display platform, creates the forms in their
// fixed order and runs the event loop.
#include "base/SanitizerOptions.h"
#include "base/TraceLabel.h"
#include "db/FirebirdEnvironment.h"
#include "platform/ShutdownSignals.h"
#include "shell/MainForm.h"
#include "shell/ProgramForms.h"
#include "shell/ProgressWindow.h"
#include "ui/Application.h"
#include "ui/Dialogs.h"

#include <QNetworkProxyFactory>
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

void installDialogs(bool headless) {
    if (headless)
        ui::setDialogs(std::make_shared<ui::HeadlessDialogs>(
            [](const std::string& text) { base::WriteLog(2, "%s", text.c_str()); }));
    else
        ui::setDialogs(std::make_shared<ui::InteractiveDialogs>());
}

// An exception that escaped start-up or the event loop: shown with the
// current routine and the thread, then the program ends.
void reportFatal(const std::exception& error) {
    const std::string text =
        std::string(base::TraceLabel()) + ": " + error.what() + "\nWątek=" + std::to_string(::gettid());
    ui::dialogs().MessageBox(text, "Wyjątek przy pracy Halvex", ui::MB_OK, ui::IDOK);
}

void runServer(int argc, char** argv) {
    base::SetTraceLabel("WinMain");
    StoredCommandLine = joinArguments(argc, argv);
    ui::TApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Halvex"));
    QApplication::setQuitOnLastWindowClosed(false);
    // A server talks to its own network directly: no system proxy lookup.
    QNetworkProxyFactory::setUseSystemConfiguration(false);
    const bool headless = QGuiApplication::platformName() == QLatin1String("offscreen");
    installDialogs(headless);

    db::UseOwnFirebirdRoot();
    db::RefuseClientShutdownOnSignals();
    OknoInfo = new TOknoInfo();
    auto* form1 = new TForm1();
    CreateProgramForms(*form1);
    form1->FormCreate();
    if (!form1->IsSecondInstance() && !headless) {
        if (form1->Settings.StartMinimized)
            form1->showMinimized();
        else
            form1->show();
    }
    try {
        app.exec();
    } catch (const std::exception& error) {
        reportFatal(error); // while the application object still exists
    }

    DeleteProgramForms();
    delete form1;
    delete OknoInfo;
    OknoInfo = nullptr;
    // Once, after everything that used the database is gone.
    db::EndDatabaseClient(int(TForm1::ThreadStopBound.count()));
}

} // namespace

int main(int argc, char** argv) {
    // The end of the session during start-up takes the usual way down too.
    platform::ShutdownSignals::CatchEarly();
    if (!hasDisplay())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    try {
        runServer(argc, argv);
    } catch (const std::exception& error) {
        // No application object is left for a window: the report goes to stderr.
        ui::setDialogs(std::make_shared<ui::HeadlessDialogs>());
        reportFatal(error);
    }
    return 0;
}
