// The tray on a real desktop: an X server of the test's own (Xvfb on a free
// display) with trayer as the tray, clicked through the X server itself.
// The window hides to the tray and comes back on a click of the icon, the
// icon's menu ends the server, and where there is no tray the window
// minimises until one appears.
#include "base/SanitizerOptions.h"
#include "support/HalvexProcess.h"
#include "support/LinkTestSupport.h"
#include "support/MainFormFixture.h"
#include "ui/Application.h"

#include <QApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QSystemTrayIcon>
#include <QWindow>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// A program the test runs beside itself, ended with its owner.
class SideProgram {
  public:
    ~SideProgram() { stop(); }
    bool start(const QString& program, const QStringList& arguments) {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Ends with the test even when the test itself is killed or crashes.
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        process.start(program, arguments);
        return process.waitForStarted();
    }
    void stop() {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(10000))
            process.kill();
        process.waitForFinished();
    }
    QProcess process;
};

// The X server of the whole run; ended when the run ends.
SideProgram xServer;

// Starts Xvfb on a display number it finds free itself; the number, or an
// empty text with the reason in `why`.
QByteArray startXServer(std::string& why) {
    if (!xServer.start(QStringLiteral("Xvfb"),
                       {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                        QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                        QStringLiteral("1024x768x24")})) {
        why = "Xvfb could not be started (" + xServer.process.errorString().toStdString() +
              "); scripts/setup installs it (package xvfb)";
        return {};
    }
    // Xvfb writes the number once it takes connections.
    while (!xServer.process.canReadLine())
        if (!xServer.process.waitForReadyRead(30000)) {
            why = "Xvfb wrote no display number within 30 s";
            return {};
        }
    return ":" + xServer.process.readLine().trimmed();
}

// What the X server says of a window: "Parent window id", "Absolute
// upper-left X", ... (xwininfo's own words).
QString windowFact(WId window, const QString& fact) {
    QProcess info;
    info.start(QStringLiteral("xwininfo"), {QStringLiteral("-tree"), QStringLiteral("-stats"),
                                            QStringLiteral("-id"), QString::number(window)});
    info.waitForFinished();
    const QString text = QString::fromLocal8Bit(info.readAllStandardOutput());
    const QRegularExpression line(QRegularExpression::escape(fact) + QStringLiteral(":\\s*(\\S+)"));
    return line.match(text).captured(1);
}

} // namespace

class TrayOnADesktop : public testing_support::MainFormFixture {
  protected:
    void TearDown() override {
        MainFormFixture::TearDown();
        tray.stop();
    }

    bool startTray() {
        return tray.start(QStringLiteral("trayer"), {QStringLiteral("--edge"), QStringLiteral("top")}) &&
               linktest::WaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); });
    }

    // The window Qt shows the icon in, once it exists.
    static QWidget* iconWindow() {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (QByteArray(w->metaObject()->className()) == "QSystemTrayIconSys")
                return w;
        return nullptr;
    }

    // The icon's place on the screen once the tray has taken its window in
    // (its parent is then a window of the tray, no longer the root) and
    // shows it.
    static QRect dockedIcon() {
        QWidget* icon = iconWindow();
        if (!icon || !icon->isVisible() || !icon->windowHandle()->isExposed())
            return {};
        const WId id = icon->winId();
        if (windowFact(id, QStringLiteral("Parent window id")) ==
                windowFact(id, QStringLiteral("Root window id")) ||
            windowFact(id, QStringLiteral("Map State")) != QStringLiteral("IsViewable"))
            return {};
        return {windowFact(id, QStringLiteral("Absolute upper-left X")).toInt(),
                windowFact(id, QStringLiteral("Absolute upper-left Y")).toInt(),
                windowFact(id, QStringLiteral("Width")).toInt(),
                windowFact(id, QStringLiteral("Height")).toInt()};
    }

    // A click as a user makes it, through the X server: the pointer moved
    // onto `target` at `at`, and once the window knows it is there, the
    // button pressed and released.
    static void click(QWidget& target, QPoint at, int button) {
        ASSERT_EQ(xdotool({QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y())}), 0)
            << "xdotool is missing; scripts/setup installs it";
        ASSERT_TRUE(linktest::WaitFor([&] { return target.underMouse(); }));
        ASSERT_EQ(xdotool({QStringLiteral("click"), QString::number(button)}), 0);
    }
    static int xdotool(const QStringList& arguments) {
        return QProcess::execute(QStringLiteral("xdotool"), arguments);
    }

    SideProgram tray;
};

TEST_F(TrayOnADesktop, TheIconShowsTheHiddenWindowAndItsMenuEndsTheServer) {
    ASSERT_TRUE(startTray()) << "trayer did not come up as the tray; scripts/setup installs it";
    createForm();
    ASSERT_NE(form->IconData, nullptr);
    EXPECT_EQ(form->IconData->toolTip(), QStringLiteral("Halvex"));
    QRect icon;
    ASSERT_TRUE(linktest::WaitFor([&] { return !(icon = dockedIcon()).isEmpty(); }))
        << "the icon never sat in the tray";

    form->show();
    form->close();
    EXPECT_FALSE(form->isVisible()) << "closing hides the window to the tray";
    EXPECT_FALSE(form->IsClosing());

    click(*iconWindow(), icon.center(), 1);
    EXPECT_TRUE(linktest::WaitFor([&] { return form->isVisible() && !form->isMinimized(); }))
        << "a left click on the icon shows the window";

    form->Schowajdozasobnika1->trigger();
    ASSERT_FALSE(form->isVisible()) << "the Server menu's hide sends the window to the tray";
    click(*iconWindow(), icon.center(), 3);
    ASSERT_TRUE(linktest::WaitFor([&] { return form->PopupMenuIkony->isVisible(); }))
        << "the right button opens the icon's menu";
    dialogs->QueueAnswer(ui::IDYES);
    const QRect exitItem = form->PopupMenuIkony->actionGeometry(form->Zamknij1);
    click(*form->PopupMenuIkony, form->PopupMenuIkony->mapToGlobal(exitItem.center()), 1);
    ASSERT_TRUE(linktest::WaitFor([&] { return form->IsClosing(); })) << "the menu's exit ends the server";
    ASSERT_EQ(dialogs->Calls().size(), 1u);
    EXPECT_EQ(dialogs->Calls()[0].text, form->Text("IDS_641"));
    EXPECT_FALSE(form->IconData->isVisible()) << "the icon leaves the tray on the way down";
}

TEST_F(TrayOnADesktop, WithoutATrayTheWindowMinimisesUntilATrayAppears) {
    ASSERT_TRUE(linktest::WaitFor([] { return !QSystemTrayIcon::isSystemTrayAvailable(); }));
    createForm();
    form->show();
    form->close();
    EXPECT_TRUE(form->isVisible() && form->isMinimized()) << "with no tray the window stays reachable";
    form->Poka1Click();
    EXPECT_FALSE(form->isMinimized());

    // A tray that starts later takes the icon in, and closing hides again.
    ASSERT_TRUE(startTray());
    ASSERT_TRUE(linktest::WaitFor([&] { return !dockedIcon().isEmpty(); }))
        << "the icon never came to the tray";
    form->close();
    EXPECT_FALSE(form->isVisible());
}

// The X keyboard library gives strndup names without a terminator, which is
// allowed, and AddressSanitizer's strict string check takes that for an
// overflow: the run starts again without that one check.
void relaxStrictStringCheck(char** argv) {
#if defined(__SANITIZE_ADDRESS__)
    QByteArray options = qgetenv("ASAN_OPTIONS");
    if (!options.contains("strict_string_checks=1"))
        return;
    qputenv("ASAN_OPTIONS", options.replace("strict_string_checks=1", "strict_string_checks=0"));
    ::execv("/proc/self/exe", argv);
#else
    (void)argv;
#endif
}

// The windows of a process on the display (Qt names its process on each).
static QList<WId> windowsOf(qint64 pid) {
    QProcess search;
    search.start(QStringLiteral("xdotool"),
                 {QStringLiteral("search"), QStringLiteral("--pid"), QString::number(pid)});
    search.waitForFinished();
    QList<WId> windows;
    for (const QByteArray& line : search.readAllStandardOutput().split('\n'))
        if (!line.trimmed().isEmpty())
            windows.append(line.trimmed().toULongLong());
    return windows;
}

static bool dockedInTray(WId window) {
    return windowFact(window, QStringLiteral("Parent window id")) !=
           windowFact(window, QStringLiteral("Root window id"));
}

TEST_F(TrayOnADesktop, StartedMinimisedTheProgramShowsOnlyItsIconInTheTray) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    ASSERT_TRUE(startTray());
    {
        // A first start stores every setting: the next opens no settings dialog.
        testing_support::HalvexProcess first(sandbox);
        first.start({"DEBUG"});
        ASSERT_TRUE(first.waitForLog("Odczyt wartości ValidityPeriod")) << first.standardError();
        first.signal(SIGTERM);
        ASSERT_TRUE(first.waitForExit());
    }
    std::string settings = testing_support::readFile(sandbox.machineRegistryFile());
    const std::string off = "\"StartMinimized\"=dword:00000000";
    ASSERT_NE(settings.find(off), std::string::npos);
    settings.replace(settings.find(off), off.size(), "\"StartMinimized\"=dword:00000001");
    testing_support::writeFile(sandbox.machineRegistryFile(), settings);

    testing_support::HalvexProcess halvex(sandbox);
    halvex.onDisplay(QString::fromLocal8Bit(qgetenv("DISPLAY")));
    halvex.start({"DEBUG"});
    const qint64 pid = halvex.process().processId();
    // Once its icon sits in the tray the program has long made its choice.
    ASSERT_TRUE(linktest::WaitFor([&] {
        const QList<WId> windows = windowsOf(pid);
        return std::any_of(windows.begin(), windows.end(), dockedInTray);
    })) << "the icon never came to the tray";
    for (WId window : windowsOf(pid))
        EXPECT_FALSE(windowFact(window, QStringLiteral("Map State")) == QStringLiteral("IsViewable") &&
                     !dockedInTray(window))
            << "window " << window << " of the program is shown";
    halvex.signal(SIGTERM);
    EXPECT_TRUE(halvex.waitForExit());
}

int main(int argc, char** argv) {
    relaxStrictStringCheck(argv);
    std::string why;
    const QByteArray display = startXServer(why);
    if (display.isEmpty()) {
        std::fprintf(stderr, "test_tray: %s\n", why.c_str());
        return 1;
    }
    qputenv("DISPLAY", display);
    if (qEnvironmentVariableIsEmpty("HALVEX_TEST_BINARY_DIR"))
        qputenv("HALVEX_TEST_BINARY_DIR", HALVEX_BINARY_DIR);
    qputenv("QT_QPA_PLATFORM", "xcb");
    // The icon goes to the X tray: no desktop bus offers Qt another one.
    qunsetenv("WAYLAND_DISPLAY");
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    int result = 1;
    {
        ui::TApplication app(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        ::testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
    }
    xServer.stop();
    return result;
}
