// The main window's small commands and timers.
#include "admin/AdminForms.h"
#include "admin/ContactImportForm.h"
#include "platform/Clock.h"
#include "platform/WireCodePage.h"
#include "sms/SmsGateway.h"
#include "support/MainFormFixture.h"

#include <QApplication>
#include <QClipboard>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <QUrl>

namespace {

using WindowCommands = testing_support::MainFormFixture;

struct ClockInPlace {
    platform::ManualClock clock;
    ClockInPlace() { platform::setProcessClock(&clock); }
    ~ClockInPlace() { platform::setProcessClock(nullptr); }
};

void press(QWidget& widget, int key, const QString& text = {}) {
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier, text);
    QCoreApplication::sendEvent(&widget, &event);
}

QColor textColour(const QWidget& widget) {
    return widget.palette().color(QPalette::Text);
}

void openCall(pbx::ActiveCall& call, const char* id, const QDateTime& created, const char* numberB = "") {
    call.CallId = id;
    call.NumberB = numberB;
    call.Created = created;
}

TEST_F(WindowCommands, TheSweepFreesOnlyCallsOlderThan900SecondsWithoutNumberBAndNeverCountsBelowZero) {
    ClockInPlace time;
    createForm("DEBUG");
    auto& pbx = form->Pbx();
    const QDateTime start = time.clock.dateTime();
    openCall(pbx.Calls.ActiveCalls[0], "A1", start);
    openCall(pbx.Calls.ActiveCalls[1], "B2", start, "600");
    openCall(pbx.Calls.ActiveCalls[2], "C3", start);
    pbx.Calls.ActiveCalls[2].TransferActive = 1;
    pbx.Calls.ActiveCallCount = 3;

    time.clock.advance(900'000);
    form->tmrFixPctiTimer();
    EXPECT_EQ(pbx.Calls.ActiveCalls[0].CallId[0], 'A') << "900 s is not yet stale";
    EXPECT_EQ(pbx.Calls.ActiveCallCount, 3);

    time.clock.advance(1'000);
    form->tmrFixPctiTimer();
    EXPECT_FALSE(pbx.Calls.ActiveCalls[0].inUse());
    EXPECT_EQ(pbx.Calls.ActiveCallCount, 2);
    EXPECT_EQ(pbx.Calls.ActiveCalls[1].CallId[0], 'B') << "a call with number B stays";
    EXPECT_EQ(pbx.Calls.ActiveCalls[2].CallId[0], 'C') << "a transferred call stays";

    // A count that went wrong elsewhere is not driven negative.
    openCall(pbx.Calls.ActiveCalls[3], "D4", start);
    pbx.Calls.ActiveCallCount = 0;
    form->tmrFixPctiTimer();
    EXPECT_FALSE(pbx.Calls.ActiveCalls[3].inUse());
    EXPECT_EQ(pbx.Calls.ActiveCallCount, 0);
}

TEST_F(WindowCommands, AnHourOfTicksAskingForItResynchronisesTheSmsListAndAGapStartsAgain) {
    createForm("DEBUG");
    auto& sms = form->Sms();
    sms.SmsSettings.UseSms = true;
    sms.SmsSettings.ForceSynchronization = true;
    sms.GsmLines.complete = 1;
    sms.SmsEngine.bSmsListComplete = 1;
    for (int i = 0; i < 39; ++i)
        form->tmrFixPctiTimer();
    sms.SmsEngine.bSmsListComplete = 0;
    form->tmrFixPctiTimer();
    sms.SmsEngine.bSmsListComplete = 1;
    sms.SmsEngine.iSmsRequestIdx = 3;
    for (int i = 0; i < 39; ++i)
        form->tmrFixPctiTimer();
    EXPECT_EQ(sms.SmsEngine.NeedsResynchronization(), 1);
    form->tmrFixPctiTimer();
    EXPECT_EQ(sms.SmsEngine.NeedsResynchronization(), 0) << "a new cycle has started";
    EXPECT_EQ(sms.SmsEngine.iSmsRequestIdx, 0) << "at the first line";
    EXPECT_EQ(sms.SmsEngine.v_gsmlines, &sms.GsmLines.lines);
    EXPECT_NE(mainLogText().find("Automatyczna resynchronizacja listy wiadomości SMS."), std::string::npos);
}

TEST_F(WindowCommands, UdpSendSendsOneDatagramAndSkipsAnEmptyText) {
    createForm("DEBUG");
    base::Switches().chbLogKlienci = true;
    QUdpSocket listener;
    ASSERT_TRUE(listener.bind(QHostAddress::LocalHost, 0));
    form->Clients().CreateUdpSender(form.get(), listener.localPort(), "127.0.0.1");
    form->Clients().UdpSend("");
    EXPECT_NE(mainLogText().find("ODL01 wyjdz05 UdpSend UDP error"), std::string::npos);
    form->Clients().UdpSend("!UR&7\r\n");
    const QDeadlineTimer deadline(10000);
    while (!listener.hasPendingDatagrams() && !deadline.hasExpired())
        listener.waitForReadyRead(100);
    ASSERT_TRUE(listener.hasPendingDatagrams());
    QByteArray datagram(int(listener.pendingDatagramSize()), '\0');
    listener.readDatagram(datagram.data(), datagram.size());
    EXPECT_EQ(datagram, "!UR&7\r\n") << "the empty text sent nothing before it";
    base::Switches().chbLogKlienci = false;
}

TEST_F(WindowCommands, TheMessageToAllRefusesAmpersandAndTheTerminatorOnEveryChangeAndKeeps900Characters) {
    platform::setWireCodePage(platform::WireCodePage::Cp1250);
    // U+02D9 is the byte 255 of Windows-1250.
    EXPECT_EQ(AllowedMessageText(QString::fromUtf8("a&b\u02D9c")), "abc");
    EXPECT_EQ(AllowedMessageText(QString(1000, 'x')).size(), TfrmMessage::MessageLimit);
    TfrmMessage dialog;
    dialog.Memo1->insertPlainText(QString::fromUtf8("Zebranie & obiad\u02D9 o 12"));
    EXPECT_EQ(dialog.Memo1->toPlainText(), QString::fromUtf8("Zebranie  obiad o 12"));
    dialog.Memo1->insertPlainText(QString(950, 'y'));
    EXPECT_EQ(dialog.Memo1->toPlainText().size(), TfrmMessage::MessageLimit);

    const QDateTime when(QDate(2026, 3, 4), QTime(9, 5, 3));
    const auto message = BuildMessageToAll("Hej", when);
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ(message->rfind("0&987654321&2026-03-04 ", 0), 0u);
    EXPECT_EQ(message->substr(message->size() - 5), "&Hej\xff");
    EXPECT_FALSE(BuildMessageToAll(std::string(1010, 'z'), when).has_value()) << "no cut message is sent";
}

TEST_F(WindowCommands, PendingLogInsAreReleasedOneATickAndTheExchangeLineNeedsALink) {
    createForm("DEBUG");
    form->Clients().PendingLogins = 2;
    form->tmrAllowNewConnectionTimer();
    EXPECT_EQ(form->Clients().PendingLogins, 1);
    form->tmrAllowNewConnectionTimer();
    form->tmrAllowNewConnectionTimer();
    EXPECT_EQ(form->Clients().PendingLogins, 0);

    form->Pbx().PbxLinkErrorCount = 5;
    form->edPabxSend->setText("WN 1&");
    const std::size_t queued = ServerKlient->Komendy.size();
    form->edPabxSendKeyPress();
    EXPECT_EQ(ServerKlient->Komendy.size(), queued) << "no link, nothing queued";
    // The line typed by hand sits on the hidden page, ready with a check
    // command, and Enter sends it even with no link.
    EXPECT_TRUE(form->TabWiadomosci->isAncestorOf(form->edSendToPABX));
    EXPECT_EQ(form->edSendToPABX->text(), "WN 48&39&");
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(form->edSendToPABX, &enter);
    EXPECT_EQ(ServerKlient->Komendy.size(), queued + 1);
}

TEST_F(WindowCommands, TheLogPaneCopiesAndClears) {
    createForm("DEBUG");
    form->Info->SetItems({"jeden", "dwa"});
    form->btnCopyLogClick();
    EXPECT_EQ(QApplication::clipboard()->text(), "jeden\r\ndwa\r\n");
    form->Info->setCurrentRow(1);
    form->InfoClick();
    EXPECT_EQ(form->Info->Hint(), "dwa");
    form->btnWyczyscOknoLoguClick();
    EXPECT_EQ(form->Info->count(), 0);
}

TEST_F(WindowCommands, TheLogSearchGoesDownFromTheSelectionAndTheConsoleLineNamesAMissingClient) {
    createForm("DEBUG");
    form->Info->SetItems({"alfa 1", "beta", "Alfa 2", "alfa 3"});
    press(*form->SzukajInfo, Qt::Key_A, "a");
    EXPECT_EQ(textColour(*form->SzukajInfo), QColor(Qt::red));
    form->SzukajInfo->setText("alfa");
    press(*form->SzukajInfo, Qt::Key_Return);
    EXPECT_EQ(form->Info->currentRow(), 0);
    EXPECT_EQ(textColour(*form->SzukajInfo), QColor(Qt::black));
    press(*form->SzukajInfo, Qt::Key_Return);
    EXPECT_EQ(form->Info->currentRow(), 3) << "the search tells capitals apart";
    press(*form->SzukajInfo, Qt::Key_Return);
    EXPECT_EQ(form->Info->currentRow(), 3) << "the search does not wrap to the top";

    mainLogText();
    logSoFar.clear();
    press(*form->LiniaDoKlienta, Qt::Key_R, "R");
    EXPECT_EQ(textColour(*form->LiniaDoKlienta), QColor(Qt::red));
    form->LiniaDoKlienta->setText("RL&");
    form->NumerKl->setText("42");
    press(*form->LiniaDoKlienta, Qt::Key_Enter);
    EXPECT_NE(mainLogText().find("Klient 42 nie podłączony do serwera"), std::string::npos);
    EXPECT_EQ(textColour(*form->LiniaDoKlienta), form->palette().color(QPalette::WindowText));
}

// Stands for the desktop's "open" action for local files while it lives.
class OpenedFiles : public QObject {
    Q_OBJECT
  public:
    OpenedFiles() { QDesktopServices::setUrlHandler("file", this, "open"); }
    ~OpenedFiles() override { QDesktopServices::unsetUrlHandler("file"); }
    QList<QUrl> urls;
  public slots:
    void open(const QUrl& url) { urls.push_back(url); }
};

TEST_F(WindowCommands, TheHelpOpensTheFileBesideTheProgramAndWarnsWhenItIsMissing) {
    createForm("DEBUG");
    const QDir folder(QCoreApplication::applicationDirPath());
    const QString path = folder.filePath("Halvex.chm"), russian = folder.filePath("Halvex_ru.chm");
    QFile::remove(path);
    QFile::remove(russian);
    OpenedFiles opened;
    press(*form, Qt::Key_F1); // also where the menu item is disabled
    ASSERT_FALSE(dialogs->Calls().empty());
    EXPECT_EQ(dialogs->Calls().back().text, form->Text("IDS_764"));
    EXPECT_FALSE(dialogs->Calls().back().text.empty());
    EXPECT_TRUE(opened.urls.isEmpty());
    EXPECT_NE(mainLogText().find(path.toStdString()), std::string::npos);

    for (const QString& file : {path, russian}) {
        QFile help(file);
        ASSERT_TRUE(help.open(QIODevice::WriteOnly));
    }
    form->Settings.language = 2;          // the file of the first request stays
    form->PomocHalvex1->setEnabled(true); // as in a Polish or Russian window
    const std::size_t asked = dialogs->Calls().size();
    form->PomocHalvex1->trigger();
    EXPECT_EQ(opened.urls, QList<QUrl>{QUrl::fromLocalFile(path)});
    // Each run opens the file of the language in force at its first request.
    for (const auto& [language, file] : {std::pair{0, path}, {1, path}, {2, russian}}) {
        form->HelpFilePath.clear();
        form->Settings.language = language;
        form->PomocHalvex1->trigger();
        EXPECT_EQ(opened.urls.back(), QUrl::fromLocalFile(file)) << "language " << language;
    }
    EXPECT_EQ(dialogs->Calls().size(), asked);
    QFile::remove(path);
    QFile::remove(russian);
}

// The build compiles both help files beside the program: Halvex.chm opens on a
// page that leads to the Polish and the English help, Halvex_ru.chm on the
// Russian one.
TEST(HelpFiles, BothAreBuiltBesideTheProgramWithTheirPages) {
    const QDir folder(qEnvironmentVariable("HALVEX_TEST_BINARY_DIR"));
    auto chmls = [](const QStringList& arguments) {
        QProcess tool;
        tool.start("chmls", arguments);
        EXPECT_TRUE(tool.waitForFinished(60000)) << arguments.join(' ').toStdString();
        return QString::fromUtf8(tool.readAllStandardOutput());
    };
    const struct {
        const char* file;
        const char* firstPage;
        QStringList pages;
    } helpFiles[] = {
        {"Halvex.chm",
         "index.html",
         {"/index.html", "/pl/okno.html", "/pl/konfiguracja.html", "/pl/serwer.html", "/pl/log.html",
          "/pl/kopie.html", "/pl/awarie.html", "/en/window.html", "/en/settings.html", "/en/server.html",
          "/en/log.html", "/en/backup.html", "/en/trouble.html"}},
        {"Halvex_ru.chm",
         "ru/window.html",
         {"/ru/window.html", "/ru/settings.html", "/ru/server.html", "/ru/log.html", "/ru/backup.html",
          "/ru/trouble.html"}},
    };
    for (const auto& help : helpFiles) {
        const QString path = folder.filePath(help.file);
        ASSERT_TRUE(QFileInfo(path).isFile()) << path.toStdString();
        const QStringList listed = chmls({"-n", "list", path}).split('\n');
        for (const QString& page : help.pages)
            EXPECT_TRUE(listed.contains(page)) << help.file << " lacks " << page.toStdString();
        const QRegularExpression firstPage(QString("Default topic[^\\n]*:") + help.firstPage + "\\W");
        EXPECT_TRUE(chmls({"printsystem", path}).contains(firstPage))
            << help.file << " does not open on " << help.firstPage;
    }
    QTemporaryDir scratch;
    const QString firstPage = scratch.filePath("index.html");
    chmls({"extract", folder.filePath("Halvex.chm"), "/index.html", firstPage});
    QFile page(firstPage);
    ASSERT_TRUE(page.open(QIODevice::ReadOnly));
    const QByteArray text = page.readAll();
    EXPECT_TRUE(text.contains("href=\"pl/okno.html\"") && text.contains("href=\"en/window.html\""));
}

TEST_F(WindowCommands, TheUsersPageImportButtonOpensTheContactImport) {
    createForm("DEBUG");
    TImport_kont importForm;
    Import_kont = &importForm;
    auto* button = form->findChild<QPushButton*>("btnImportUz");
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), "Import");
    button->click();
    Import_kont = nullptr;
    EXPECT_TRUE(importForm.isVisible());
}

// Chosen from the server menu with the mouse, the codec's self-check runs
// and its result is shown, a pass as well.
TEST_F(WindowCommands, TheUnitTestsItemRunsTheCodecSelfCheckAndShowsThatItPassed) {
    createForm("DEBUG");
    form->show();
    auto* item = form->findChild<QAction*>("miTestyJednostkowe");
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->isVisible());
    QMenu* server = form->Se1->SubMenu();
    QTest::mouseClick(form->MainMenu1, Qt::LeftButton, {},
                      form->MainMenu1->actionGeometry(form->Se1).center());
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->isVisible(); }));
    QTest::mouseClick(server, Qt::LeftButton, {}, server->actionGeometry(item).center());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialogs->Calls().empty(); }));
    const ui::ScriptedDialogs::Call shown = dialogs->Calls().back();
    EXPECT_EQ(shown.text, form->Text("IDS_SELF_CHECK_PASSED"));
    EXPECT_FALSE(shown.text.empty());
    EXPECT_EQ(shown.flags, unsigned(ui::MB_ICONINFORMATION | ui::MB_OK));
    EXPECT_NE(mainLogText().find("Testy jednostkowe: bez błędów"), std::string::npos);
}

} // namespace

#include "WindowCommandsTest.moc"
