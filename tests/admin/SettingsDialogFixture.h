// The fixture of the settings dialog's tests: the dialog offscreen, driven by
// its components' names, against the main window's real services and the
// settings file in the sandbox.
#pragma once

#include "admin/Console.h"
#include "admin/SettingsDialog.h"
#include "base/PasswordCodec.h"
#include "db/DbErrorText.h"
#include "db/InterfaceDB.h"
#include "db/SessionDB.h"
#include "i18n/LangComponent.h"
#include "pbx/CrmConsole.h"
#include "platform/Clock.h"
#include "platform/RegistryStore.h"
#include "sms/SmsGateway.h"
#include "support/FileModesBind.h"
#include "support/FirebirdFixtures.h"
#include "support/LinkTestSupport.h"
#include "support/MainFormFixture.h"
#include "support/Ports.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimeEdit>
#include <cstdio>
#include <map>
#include <sys/stat.h>

namespace settingsdialogtest {

using sim::ExchangeSimulator;
using sim::Family;
using sim::Transport;

class SettingsDialogTest : public testing_support::MainFormFixture {
  protected:
    void SetUp() override {
        MainFormFixture::SetUp();
        pbx::linkEnvironment().timings = pbx::LinkTimings::Scaled(50);
        pbx::linkEnvironment().clock = &clock_;
    }
    void TearDown() override {
        dialog.reset();
        MainFormFixture::TearDown();
        pbx::linkEnvironment() = pbx::LinkEnvironment();
        testfb::DetachMain();
    }

    void writeMain(const std::string& name, int value) {
        writeKey("\\software\\Vorlin\\Halvex", name, value);
    }
    void writeKey(const std::string& path, const std::string& name, const base::SettingValue& value) {
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey(path, true));
        if (const auto* text = std::get_if<std::string>(&value))
            key.WriteString(name, *text);
        else if (const auto* flag = std::get_if<bool>(&value))
            key.WriteBool(name, *flag);
        else
            key.WriteInteger(name, std::get<int>(value));
    }

    // The window on a database of its own, attached, so that OK finds the
    // database unchanged.
    void createAttachedForm() {
        ASSERT_NO_FATAL_FAILURE(testfb::EmbeddedInSettings(c, folder.file("main.fdb")));
        createForm("DEBUG");
        ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
    }
    // The dialog shown anew on the window's console.
    void open() {
        if (!form) {
            ASSERT_NO_FATAL_FAILURE(createAttachedForm());
        }
        if (!dialog) {
            dialog = std::make_unique<TKonfiguracja>();
            dialog->console = &form->Admin();
        }
        dialog->hide();
        dialog->show();
    }
    template <class T = QLineEdit> T* control(const char* name) {
        T* found = dialog->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    void type(const char* name, const std::string& text) {
        control(name)->setText(QString::fromStdString(text));
    }
    void choose(const char* name, int index) {
        auto* combo = control<QComboBox>(name);
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }
    void click(const char* name) { control<QPushButton>(name)->click(); }
    // As the user does it: the mouse pressed and released over the control.
    void press(const char* name) { QTest::mouseClick(control<QWidget>(name), Qt::LeftButton); }
    std::string text(const char* key) { return dialog->lgLangLinked1->GetTextOrDefault(key); }
    // The last message box since call `from` whose text is one of `keys`.
    ui::ScriptedDialogs::Call answer(std::size_t from, std::initializer_list<const char*> keys) {
        const auto calls = dialogs->Calls();
        for (std::size_t i = calls.size(); i > from; --i)
            for (const char* key : keys)
                if (calls[i - 1].text == text(key))
                    return calls[i - 1];
        return {};
    }
    // Two databases beside the main one: one without a table, and one where
    // a view stands in the place of the messages table, so that table
    // cannot be made.
    void makeEmptyAndBrokenDatabases(testfb::Connection& empty, testfb::Connection& broken) {
        empty = broken = c;
        empty.path = folder.file("empty.fdb");
        broken.path = folder.file("broken.fdb");
        ASSERT_TRUE(testfb::CreateEmptyDatabase(empty));
        ASSERT_TRUE(testfb::CreateEmptyDatabase(broken));
        bool ok = false;
        const std::string output =
            testfb::Isql(broken, "CREATE VIEW MSG (X) AS SELECT 1 FROM RDB$DATABASE;\nCOMMIT;\n", &ok);
        ASSERT_TRUE(ok) << output;
    }

    std::string registry() { return testing_support::readFile(sandbox.machineRegistryFile()); }
    bool shown(const char* key) {
        const std::string text = dialog->lgLangLinked1->GetTextOrDefault(key);
        for (const auto& call : dialogs->Calls())
            if (call.text.find(text) != std::string::npos)
                return true;
        return false;
    }
    static std::string dword(const char* name, int value) {
        char text[80];
        std::snprintf(text, sizeof text, "\"%s\"=dword:%08x", name, unsigned(value));
        return text;
    }
    bool pumpUntil(const std::function<bool()>& condition) {
        return linktest::WaitFor([&] {
            form->Pbx().ObslugaCentrali();
            return condition();
        });
    }
    // The window linked by TCP to `first` and switched on by its menu;
    // `second` waits for the link to be moved there.
    void linkTo(ExchangeSimulator& first, ExchangeSimulator& second, bool reconnects) {
        ASSERT_TRUE(first.Start());
        ASSERT_TRUE(second.Start());
        writeMain("Centrala", 2);
        writeMain("Port", 5);
        writeKey("\\software\\Vorlin\\Halvex", "TCPCentr", std::string("127.0.0.1"));
        writeMain("PortTCPCent", first.Port());
        ASSERT_NO_FATAL_FAILURE(createAttachedForm());
        form->Settings.AutomPrzyw = reconnects;
        form->PodlaczCentrale->trigger();
        ASSERT_TRUE(pumpUntil([&] { return first.LoginCount() >= 1; }));
    }
    // OK with `exchange`'s port: it is stored, and the link logs in there
    // and is switched on.
    void moveLinkTo(ExchangeSimulator& exchange) {
        open();
        EXPECT_TRUE(control("PortTCPEdit")->isVisible());
        type("PortTCPEdit", std::to_string(exchange.Port()));
        press("btnAccept");
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_NE(registry().find(dword("PortTCPCent", exchange.Port())), std::string::npos);
        EXPECT_TRUE(pumpUntil([&] { return exchange.LoginCount() >= 1; }));
        EXPECT_TRUE(form->PodlaczCentrale->isChecked());
    }

    platform::ManualClock clock_;
    testfb::DatabaseFolder folder;
    testfb::Connection c;
    std::unique_ptr<TKonfiguracja> dialog;
};

} // namespace settingsdialogtest
