// Runs the tests inside a QApplication so that widgets, timers and sockets work.
#include "support/DialogsDatabaseHost.h"
#include "ui/Application.h"
#include <QApplication>
#include <QNetworkProxyFactory>
#include <gtest/gtest.h>

// Under ThreadSanitizer: Qt's own helper threads (the proxy lookup of the UDP
// sender, the pooled threads of Qt GUI) synchronise inside Qt, which is not
// built with the sanitizer. The link thread is not named, so its races with
// the GUI thread are still reported.
extern "C" const char* __tsan_default_suppressions() {
    return "thread:QLibProxyWrappe\n"
           "thread:Thread (pooled)\n"
           "called_from_lib:libproxy.so.1\n";
}

// Under ThreadSanitizer: some tests start the real program as a child.
extern "C" const char* __tsan_default_options() {
    return "die_after_fork=0";
}

// Under LeakSanitizer: the Firebird client keeps allocations of its own for
// the life of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfbclient.so\n"
           "leak:libtommath.so\n"
           "leak:libglib-2.0.so\n"
           "leak:_dl_map_object_deps\n";
}

// The leak check's stop of every thread at exit trips over the thread-local
// storage of the Firebird client's threads; it scans without it.
extern "C" const char* __lsan_default_options() {
    return "use_tls=0";
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Where the program under test was built.
    if (qEnvironmentVariableIsEmpty("HALVEX_TEST_BINARY_DIR"))
        qputenv("HALVEX_TEST_BINARY_DIR", HALVEX_BINARY_DIR);
    ui::TApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QNetworkProxyFactory::setUseSystemConfiguration(false);
    testing_support::InstallDialogsDatabaseHost();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
