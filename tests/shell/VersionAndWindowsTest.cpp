#include "base/TraceLabel.h"
#include "db/SessionDB.h"
#include "i18n/EmbeddedTranslations.h"
#include "i18n/TextFunctions.h"
#include "platform/RegistryStore.h"
#include "shell/AboutBox.h"
#include "shell/ExeVersion.h"
#include "shell/ProgressWindow.h"
#include "support/MainFormFixture.h"
#include "ui/Application.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHelpEvent>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolTip>
#include <cerrno>
#include <cstring>
#include <tuple>

using testing_support::MainFormFixture;

TEST(ExeVersion, VersionTextsSplitIntoTheirParts) {
    struct Case {
        const char* text;
        const char *major, *minor, *release, *build;
    } cases[] = {{"2.8.2.0", "2", "8", "2", "0"},
                 {"3.1", "3", "1", "", ""},
                 {"2..5.1", "2", "5", "1", ""},
                 {"7", "", "", "", ""}};
    for (const Case& c : cases) {
        EXPECT_EQ(TExeVersion::VersionPart(c.text, 0), c.major) << c.text;
        EXPECT_EQ(TExeVersion::VersionPart(c.text, 1), c.minor) << c.text;
        EXPECT_EQ(TExeVersion::VersionPart(c.text, 2), c.release) << c.text;
        EXPECT_EQ(TExeVersion::VersionPart(c.text, 3), c.build) << c.text;
    }
}

TEST(ExeVersion, OnlyTheRunningProgramHasAVersionResource) {
    char buffer[4];
    EXPECT_EQ(
        TExeVersion::GetFileVersionField(TExeVersion::ProgramPath(), "FileVersion", sizeof buffer, buffer),
        7u);
    EXPECT_STREQ(buffer, "2.8");
    EXPECT_EQ(TExeVersion::GetFileVersionField("/bin/true", "FileVersion", sizeof buffer, buffer), 0u);
    EXPECT_STREQ(buffer, "");
}

class ShellWindows : public MainFormFixture {};

// The start-up lines name the size of the whole version block, which holds
// the version and the product name and more.
TEST_F(ShellWindows, TheTitleAndTheServersRecordCarryTheVersion) {
    createForm();
    const std::string log = mainLogText();
    const std::string name =
        QFileInfo(QString::fromStdString(TExeVersion::ProgramPath())).fileName().toStdString();
    const std::string sizeLine = "nazwa pliku=<" + name + "> zasoby=";
    const auto at = log.find(sizeLine);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_GT(std::stoul(log.substr(at + sizeLine.size())), std::strlen("2.8.2.0VORLIN Halvex"));
    EXPECT_NE(log.find("wersja=<2.8.2.0> odebrane=7"), std::string::npos) << log;
    EXPECT_NE(log.find("nazwa=<VORLIN Halvex> odebrane=13"), std::string::npos) << log;
    EXPECT_EQ(form->ProgramVersion, "2.8.2.0");
    EXPECT_EQ(form->Caption().toStdString(), form->Text("IDS_35") + "2.8.2");
    ASSERT_NE(ServerKlient, nullptr);
    EXPECT_EQ(ServerKlient->IDFB, "0");
    EXPECT_EQ(ServerKlient->Stan, 1);
    EXPECT_EQ(form->lvKlienci->topLevelItemCount(), 1);
    EXPECT_EQ(form->StatusBar->Panels().Count(), 8);
}

// A file without a block, or none at all: the reason is the system's number,
// and the version in force stays.
TEST_F(ShellWindows, AVersionBlockThatCannotBeReadIsLoggedWithTheReason) {
    createForm();
    QTemporaryDir folder;
    QFile plain(folder.filePath(QStringLiteral("bez-wersji")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    const struct {
        const char* name;
        int error;
    } cases[] = {{"bez-wersji", ENODATA}, {"brak", ENOENT}};
    for (const auto& file : cases) {
        form->OdczytajWersjeProgramu(folder.filePath(QString::fromLatin1(file.name)).toStdString());
        const std::string log = mainLogText();
        EXPECT_NE(log.find("nazwa pliku=<" + std::string(file.name) + "> zasoby=0"), std::string::npos)
            << log;
        EXPECT_NE(log.find("błąd " + std::to_string(file.error) + " pobrania wersji"), std::string::npos)
            << log;
        EXPECT_EQ(form->ProgramVersion, "2.8.2.0");
    }
    std::string block, value;
    int error = 0;
    ASSERT_TRUE(TExeVersion::ReadVersionBlock(TExeVersion::ProgramPath(), block, error));
    EXPECT_FALSE(TExeVersion::QueryVersionValue(block, "\\StringFileInfo\\041504e2\\Nothing", value, error));
    EXPECT_EQ(error, ENOENT);
}

TEST_F(ShellWindows, TheProgressWindowCountsAndResets) {
    createForm();
    TOknoInfo window;
    form->SetDbConnectAborted(true);
    window.Start();
    EXPECT_FALSE(form->IsDbConnectAborted());
    EXPECT_EQ(window.progress->maximum(), 44);
    EXPECT_TRUE(window.AbortButton->IsVisible());
    for (int i = 0; i < 50; ++i)
        window.OknoInfoTimerTimer();
    EXPECT_EQ(window.progress->value(), 44);
    window.Stop();
    EXPECT_EQ(window.progress->value(), 0);
    EXPECT_EQ(window.progress->maximum(), 100);
    EXPECT_FALSE(window.AbortButton->IsVisible());
}

TEST_F(ShellWindows, TheAboutBoxShowsTheVersionAndOkOnlyHidesIt) {
    createForm();
    TPomoc about;
    for (int i = 0; i < 2; ++i) {
        about.show();
        EXPECT_EQ(about.Version->text().toStdString(), "2.8.2");
        about.OKButton->click();
        EXPECT_FALSE(about.isVisible());
    }
}

// The logo is the program's icon drawn large; the restore's wait reads in
// English as the program has always said it.
TEST_F(ShellWindows, TheAboutBoxShowsALogoAndTheGbakWaitReadsAsEver) {
    createForm();
    TPomoc about;
    about.show();
    auto* logo = about.findChild<QLabel*>("Image1");
    ASSERT_NE(logo, nullptr);
    EXPECT_TRUE(logo->isVisible());
    EXPECT_GE(logo->pixmap().width(), 64);
    EXPECT_GE(logo->height(), 64);
    std::string english;
    for (const std::string& line : i18n::SplitLines(i18n::EmbeddedTranslationData("TKonfiguracja")))
        if (i18n::ExtractTranslation(line, 1, 0) == "IDS_172")
            english = i18n::ExpandEscapes(i18n::ExtractTranslation(line, 1, 2));
    EXPECT_EQ(english, "Waiting for gbak ending...");
}

// A control's hint stays up 15 s, as the window's constructor sets it.
TEST_F(ShellWindows, HintsStayUpForFifteenSeconds) {
    createForm();
    ASSERT_NE(ui::TApplication::instance(), nullptr);
    EXPECT_EQ(ui::TApplication::instance()->HintHidePause(), 15000);
    form->show();
    QHelpEvent hover(QEvent::ToolTip, QPoint(2, 2), form->NumerKl->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(form->NumerKl, &hover);
    EXPECT_EQ(QToolTip::text(), form->NumerKl->Hint());
    QToolTip::hideText();
}

// The exception box names the routine that raised: the label is not put
// back while the exception leaves it, and the window's constructor leaves
// none of its own behind for a failure in a later form.
TEST_F(ShellWindows, TheTraceLabelNamesTheRoutineThatRaised) {
    base::SetTraceLabel("WinMain");
    createForm();
    EXPECT_STREQ(base::TraceLabel(), "");
    try {
        base::TraceScope caller("OdczytRejestruWindows");
        base::TraceScope failing("UstawPasswordFB");
        throw std::runtime_error("boom");
    } catch (const std::runtime_error&) {
        EXPECT_STREQ(base::TraceLabel(), "UstawPasswordFB");
    }
    { base::TraceScope done("Ustaw_okna"); }
    EXPECT_STREQ(base::TraceLabel(), "UstawPasswordFB");
}

TEST_F(ShellWindows, RefusingTheExitQuestionChangesNothing) {
    createForm();
    dialogs->QueueAnswer(ui::IDNO);
    form->Zamknij1Click();
    EXPECT_FALSE(form->IsClosing());
    EXPECT_TRUE(form->MaintenanceTimer->Enabled());
    ASSERT_EQ(dialogs->Calls().size(), 1u);
    EXPECT_EQ(dialogs->Calls()[0].text, form->Text("IDS_641"));
    EXPECT_EQ(dialogs->Calls()[0].flags, unsigned(ui::MB_YESNO));
}

TEST_F(ShellWindows, HeadlessThereIsNoTrayAndClosingOnlyMinimises) {
    createForm();
    EXPECT_EQ(form->IconData, nullptr) << "nothing is shown without a display";
    form->show();
    form->close();
    EXPECT_FALSE(form->IsClosing());
    EXPECT_TRUE(form->isMinimized() || form->isVisible());
}

TEST_F(ShellWindows, ANestedTakeOfALockFailsAndIsLogged) {
    createForm("DEBUG");
    mainLogText();
    ASSERT_TRUE(form->CzekajNaEvent(form->event_kolejka.get()));
    {
        base::EventLock nested(form->event_kolejka.get());
        EXPECT_FALSE(nested.owns());
    }
    EXPECT_TRUE(form->event_kolejka->isHeld()) << "the failed nested take must not release the outer one";
    form->ZwolnijEvent(form->event_kolejka.get());
    EXPECT_NE(mainLogText().find("event_kolejka"), std::string::npos);
}

TEST_F(ShellWindows, TheChainLockIsCoveredByTheCallersOwnHoldAndTakenOtherwise) {
    createForm("DEBUG");
    mainLogText();
    ASSERT_TRUE(form->CzekajNaEvent(event_bufor.get()));
    {
        auto covered = LockChains();
        EXPECT_FALSE(covered.owns());
    }
    EXPECT_TRUE(event_bufor->isHeld()) << "the covered scope must not release the caller's hold";
    EXPECT_EQ(mainLogText().find("event_bufor"), std::string::npos) << "a covered take is no error";
    form->ZwolnijEvent(event_bufor.get());
    {
        auto taken = LockChains();
        EXPECT_TRUE(taken.owns());
        EXPECT_TRUE(event_bufor->heldByCurrentThread());
    }
    EXPECT_FALSE(event_bufor->isHeld());
}

TEST_F(ShellWindows, TheConfirmedExitTakesTheServerDownOnce) {
    createForm("DEBUG");
    dialogs->QueueAnswer(ui::IDYES);
    form->Zamknij1Click();
    EXPECT_TRUE(form->IsClosing());
    EXPECT_FALSE(form->MaintenanceTimer->Enabled());
    EXPECT_FALSE(form->tmrServerEnableStartup->Enabled());
    EXPECT_FALSE(form->Settings.AutomPrzyw.load());
    EXPECT_EQ(form->Clients().UdpSocket, nullptr);
    EXPECT_EQ(form->lvKlienci->topLevelItemCount(), 0);
    EXPECT_EQ(KlientList, nullptr);
    form->Zamknij1Click(); // a second exit while closing is ignored
    EXPECT_EQ(dialogs->Calls().size(), 1u);
    form->WriteLog(1, "after");
    EXPECT_EQ(mainLogText().find("after"), std::string::npos) << "nothing is logged once closing";
}

TEST_F(ShellWindows, AnExceptionEscapingAHandlerIsLoggedAndTheProgramGoesOn) {
    createForm("DEBUG");
    mainLogText();
    QTimer::singleShot(0, form.get(), [] { throw std::runtime_error("boom"); });
    bool later = false;
    QTimer::singleShot(0, form.get(), [&later] { later = true; });
    for (int i = 0; i < 20 && !later; ++i)
        QCoreApplication::processEvents();
    EXPECT_TRUE(later);
    EXPECT_NE(mainLogText().find("Exception:boom"), std::string::npos);
}

TEST_F(ShellWindows, TheLanguageSettingPicksTheDispatchersLanguage) {
    const std::tuple<int, int, const char*> cases[] = {{0, 1, "Baza kontaktów"},
                                                       {1, 2, "Contact database"},
                                                       {2, 4, "База контактов"},
                                                       {3, 2, "Contact database"}};
    for (auto [index, languageNumber, contactsPage] : cases) {
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteInteger("language", index);
        createForm();
        EXPECT_EQ(form->lgLangDispatcher->ActiveLanguage(), languageNumber) << index;
        EXPECT_EQ(form->PomocHalvex1->isEnabled(), index == 0 || index == 2) << index;
        EXPECT_EQ(form->TabSheet1->property("Caption").toString().toStdString(), contactsPage) << index;
        form.reset();
    }
}

namespace {

void chooseLanguage(int index) {
    platform::RegistryKey key(platform::RegistryBranch::Machine);
    ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
    key.WriteInteger("language", index);
}

} // namespace

TEST_F(ShellWindows, StatusBarPanelsShowTheirWholeTextsInEveryLanguage) {
    for (int index : {0, 1, 2}) {
        chooseLanguage(index);
        createForm();
        auto& panels = form->StatusBar->Panels();
        panels[2]->SetText(QStringLiteral("Vorlin: C 1234567:1234567/12:1234567"));
        panels[3]->SetText(QStringLiteral("12/0"));
        panels[4]->SetText(QStringLiteral("1000"));
        panels[6]->SetText(QString::fromStdString("TCP" + form->Text("IDS_449")));
        form->show();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        for (auto* label : form->StatusBar->findChildren<QLabel*>(Qt::FindDirectChildrenOnly))
            EXPECT_GE(label->contentsRect().width(), label->fontMetrics().horizontalAdvance(label->text()))
                << index << " " << label->text().toStdString();
        form.reset();
    }
}

TEST_F(ShellWindows, MessageBoxButtonsSpeakTheLanguageOfTheProgram) {
    const std::pair<int, const char*> cases[] = {{0, "&Tak"}, {2, "&Да"}, {1, "&Yes"}};
    for (auto [index, yes] : cases) {
        chooseLanguage(index);
        createForm();
        QMessageBox box(QMessageBox::Question, QStringLiteral("Halvex"), QStringLiteral("?"),
                        QMessageBox::Yes | QMessageBox::No);
        EXPECT_EQ(box.button(QMessageBox::Yes)->text().toStdString(), yes) << index;
        form.reset();
    }
}

TEST_F(ShellWindows, TheAboutBoxAndTheProgressWindowOpenInTheMiddleOfTheScreen) {
    createForm();
    TPomoc about;
    TOknoInfo progress;
    for (QWidget* window : {static_cast<QWidget*>(&about), static_cast<QWidget*>(&progress)}) {
        window->show();
        const QPoint middle = window->screen()->availableGeometry().center();
        EXPECT_LE((window->frameGeometry().center() - middle).manhattanLength(), 2)
            << window->objectName().toStdString();
        window->hide();
    }
}

TEST_F(ShellWindows, AWindowBuiltWithoutTheOutsideWorldOpensNothing) {
    createForm("DEBUG");
    EXPECT_EQ(form->Pbx().Watek, nullptr);
    EXPECT_FALSE(form->PodlaczCentrale->isChecked());
    EXPECT_FALSE(form->tmrStartup->Enabled());
    EXPECT_FALSE(form->tmrServerEnableStartup->Enabled());
    EXPECT_FALSE(form->serwer->isListening());
    EXPECT_FALSE(MainDbHandleExists());
    // The rest of start-up is as always.
    EXPECT_TRUE(form->MaintenanceTimer->Enabled());
    EXPECT_EQ(ServerKlient->IDFB, "0");
    EXPECT_EQ(form->lvKlienci->topLevelItemCount(), 1);
}
