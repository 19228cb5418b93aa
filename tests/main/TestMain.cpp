// Runs the tests inside a QApplication so that widgets, timers and sockets work.
#include "base/SanitizerOptions.h"
#include "support/DialogsDatabaseHost.h"
#include "support/FirebirdFixtures.h"
#include "ui/Application.h"
#include <QApplication>
#include <QNetworkProxyFactory>
#include <gtest/gtest.h>

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
    // Before a test that starts with the server reaches the Firebird client:
    // the embedded engine would keep the system's lock folder otherwise.
    testfb::PrepareEmbeddedEngine();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
