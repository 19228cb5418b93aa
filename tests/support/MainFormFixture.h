// Builds the real main window offscreen in a sandbox, with scripted dialogs.
#pragma once

#include "shell/MainForm.h"
#include "support/FirebirdFixtures.h"
#include "support/Sandbox.h"
#include "ui/Dialogs.h"

#include <gtest/gtest.h>
#include <memory>

namespace testing_support {

class MainFormFixture : public ::testing::Test {
  protected:
    void SetUp() override { resetLog(); }
    void TearDown() override {
        if (form && form->IsClosing())
            endApplicationLoop();
        form.reset();
        resetLog();
        ui::setDialogs(std::make_shared<ui::HeadlessDialogs>());
    }

    // Creates the window the way the program does, with this command line.
    // Unless the test's settings name a database, the window's is a file of
    // the sandbox that is not there: nothing reaches the machine's default
    // database. Its log file is the sandbox's too.
    TForm1& createForm(const std::string& commandLine = "DEBUG");
    // The window's settings name this database (and the log-in reply too).
    void nameDatabase(const testfb::Connection& connection);
    // Everything queued for the main pane so far.
    std::string mainLogText();

    // The event loop runs until the road finds the connection lost.
    bool awaitLoss();
    // The event loop runs until every row handed on is in the journal.
    void awaitJournaled();
    // The event loop runs until the kept rows are written back.
    bool replayed();

    static void resetLog();
    // A shutdown asks the application's loop to end; with no loop running
    // that request stays and would end every later loop at once. Runs the
    // loop once, so that it ends and forgets the request.
    static void endApplicationLoop();

    // True for the tests of the settings' own defaults: the window keeps the
    // default database in its settings (and those tests never attach it).
    bool keepDefaultDatabase = false;
    Sandbox sandbox;
    std::shared_ptr<ui::ScriptedDialogs> dialogs = std::make_shared<ui::ScriptedDialogs>();
    std::unique_ptr<TForm1> form;
    std::string logSoFar;
};

} // namespace testing_support
