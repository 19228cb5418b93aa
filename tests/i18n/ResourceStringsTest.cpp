#include "i18n/HelpTopic.h"
#include "i18n/LangComponent.h"
#include "platform/RegistryStore.h"
#include "support/Sandbox.h"
#include "ui/Dialogs.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <memory>

namespace {
std::unique_ptr<TlgLangLinked> component(QObject* owner, const std::string& polish,
                                         const std::string& english) {
    auto lang = std::make_unique<TlgLangLinked>(owner);
    lang->Strings = {"IDS_1\1" + polish + "\1" + english + "\1\1\1"};
    lang->SetNumLang(4);
    lang->SetHandleResourceStrings(true);
    lang->SetResourceLanguageIndex(2);
    lang->Loaded();
    return lang;
}

QString runTimeText(const char* text) {
    return QCoreApplication::translate("QPlatformTheme", text);
}
} // namespace

// The first component that asks translates the run time's texts from its
// resource language into its active one; a later one does not take over.
TEST(ResourceStrings, FirstComponentTranslatesTheRunTimesTexts) {
    QObject firstForm, secondForm;
    const auto first = component(&firstForm, "Anuluj", "Cancel");
    const auto second = component(&secondForm, "Zamknij", "Close");
    EXPECT_EQ(runTimeText("Cancel"), QStringLiteral("Anuluj"));
    EXPECT_EQ(runTimeText("Close"), QStringLiteral("Close"));
    EXPECT_EQ(runTimeText("Apply"), QStringLiteral("Apply"));
    first->SetActLang(2);
    EXPECT_EQ(runTimeText("Cancel"), QStringLiteral("Cancel"));

    EXPECT_THROW(first->SetResourceLanguageIndex(0), ELanguageError);
    EXPECT_THROW(first->SetResourceLanguageIndex(5), ELanguageError);
    first->SetResourceLanguageIndex(1);
    EXPECT_EQ(runTimeText("Anuluj"), QStringLiteral("Cancel"));
}

TEST(ResourceStrings, AMissingHelpFileIsReported) {
    testing_support::Sandbox sandbox;
    auto dialogs = std::make_shared<ui::ScriptedDialogs>();
    ui::setDialogs(dialogs);
    i18n::DisplayHelpTopic("Properties");
    EXPECT_TRUE(dialogs->Calls().empty());

    platform::RegistryKey key(platform::RegistryBranch::User);
    ASSERT_TRUE(key.OpenKey(i18n::HelpKey, true));
    key.WriteString(i18n::HelpFileValue, sandbox.file("missing.html"));
    i18n::DisplayHelpTopic("Properties");
    ASSERT_EQ(dialogs->Calls().size(), 1u);
    EXPECT_EQ(dialogs->Calls()[0].caption, "Error");
    EXPECT_NE(dialogs->Calls()[0].text.find(sandbox.file("missing.html")), std::string::npos);
    EXPECT_EQ(dialogs->Calls()[0].flags, unsigned(ui::MB_ICONWARNING));
}
