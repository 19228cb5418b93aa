// Builds the real main window offscreen in a sandbox, with scripted dialogs.
#pragma once

#include "shell/MainForm.h"
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
    TForm1& createForm(const std::string& commandLine = "DEBUG");
    // Everything queued for the main pane so far.
    std::string mainLogText();

    static void resetLog();
    // A shutdown asks the application's loop to end; with no loop running
    // that request stays and would end every later loop at once. Runs the
    // loop once, so that it ends and forgets the request.
    static void endApplicationLoop();

    Sandbox sandbox;
    std::shared_ptr<ui::ScriptedDialogs> dialogs = std::make_shared<ui::ScriptedDialogs>();
    std::unique_ptr<TForm1> form;
    std::string logSoFar;
};

} // namespace testing_support
