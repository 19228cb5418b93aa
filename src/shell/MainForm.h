// The main window: the composition root. It owns the service object of each
// subsystem (database, SMS gateway, client service, exchange link, console)
// and the host each of them reaches the rest of the program through; it keeps
// the shell's own groups (start-up, log panes, settings, tray, shutdown,
// version) and the handlers of its own components, which forward to the
// services.
#pragma once

#include "base/DiagnosticLog.h"
#include "base/EventLock.h"
#include "db/MainDatabase.h"
#include "platform/Event.h"
#include "platform/RegistryStore.h"
#include "shell/ExeVersion.h"
#include "shell/ServerSettings.h"
#include "shell/WindowCallbacks.h"
#include "ui/Components.h"
#include "ui/VirtualListView.h"

#include "clients/ClientService.h"
#include "i18n/LangComponent.h"
#include "i18n/LangDispatcher.h"
#include "pbx/PbxLink.h"

#include <QDateTime>
#include <QSystemTrayIcon>
#include <QTime>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QTcpServer;
namespace shell {
class ClientServiceHostOfForm;
class DatabaseHostOfForm;
class PbxLinkHostOfForm;
class SmsGatewayHostOfForm;
class ConsoleHostOfForm;
} // namespace shell
namespace admin {
class Console;
}
namespace sms {
class SmsGateway;
}
namespace platform {
class ShutdownSignals;
class SingleInstance;
} // namespace platform

// What the constructor opens to the outside world. A test builds the window
// without them and runs the steps it wants itself.
struct StartupOptions {
    bool connectExchange = true;   // the exchange link
    bool attachDatabase = true;    // the start-up timer's attach
    bool openClientService = true; // the client port, once the database is there
};

class TForm1 : public ui::TForm {
    Q_OBJECT
  public:
    explicit TForm1(QWidget* owner = nullptr, const StartupOptions& options = {});
    ~TForm1() override;

    // ---- components of the window ----
    ui::TMainMenu* MainMenu1 = nullptr;
    ui::TMenuItem* Se1 = nullptr;
    ui::TMenuItem* Konfiguracja1 = nullptr;
    ui::TMenuItem* WlaczSerwer = nullptr;
    ui::TMenuItem* PodlaczCentrale = nullptr;
    ui::TMenuItem* Schowajdozasobnika1 = nullptr;
    ui::TMenuItem* Zakoczpracserwera1 = nullptr;
    ui::TMenuItem* Pomoc1 = nullptr;
    ui::TMenuItem* PomocHalvex1 = nullptr;
    ui::TMenuItem* Oprogramie1 = nullptr;
    ui::TPopupMenu* PopupMenuIkony = nullptr;
    ui::TMenuItem* Poka1 = nullptr;
    ui::TMenuItem* Zamknij1 = nullptr;
    ui::TPopupMenu* PopupMenuKolejka = nullptr;
    ui::TMenuItem* Nagraj1 = nullptr;
    ui::TMenuItem* Czy1 = nullptr;

    ui::TPageControl* Zakladki = nullptr;
    ui::TTabSheet* TabStat = nullptr;
    ui::TTabSheet* TabSheet8 = nullptr;
    ui::TTabSheet* TabSheet1 = nullptr;
    ui::TTabSheet* TabSms = nullptr;
    ui::TTabSheet* TabDebug = nullptr;
    ui::TListView* lvKlienci = nullptr;
    ui::TListView* UserLV = nullptr;
    ui::TListView* PhoneLV = nullptr;
    ui::TListView* HistLV = nullptr;
    ui::TListView* lvAllUserPhones = nullptr;
    ui::TGroupBox* gbKontakty = nullptr;
    ui::TVirtualListView* lvKontakty = nullptr;
    ui::TVirtualListView* lvRoutingRules = nullptr;
    ui::TGroupBox* gbRoutingRules = nullptr;
    ui::TLabel* lblRoutingPatterns = nullptr;
    ui::TButton* btnAddRule = nullptr;
    ui::TButton* btnEditRule = nullptr;
    ui::TButton* btnDeleteRule = nullptr;
    ui::TGroupBox* GroupBoxLog = nullptr;
    ui::TListBox* Info = nullptr;
    ui::TListBox* Kolejka = nullptr;
    ui::TCheckBox* LogInfo = nullptr;
    ui::TCheckBox* LogDoPliku = nullptr;
    ui::TCheckBox* chbInfoPCTI = nullptr;
    ui::TCheckBox* CheckBoxInfoUART = nullptr;
    ui::TCheckBox* chbLogRS = nullptr;
    ui::TCheckBox* chbLogKlienci = nullptr;
    ui::TCheckBox* chbLogBaza = nullptr;
    ui::TCheckBox* chbLogDzwonienie = nullptr;
    ui::TCheckBox* chbPctiErrors = nullptr;
    ui::TCheckBox* chbSmsErrors = nullptr;
    ui::TCheckBox* chbKolejka = nullptr;
    ui::TCheckBox* chbDiagnostykaScroll = nullptr;
    ui::TEdit* IleInfo = nullptr;
    ui::TEdit* edSendToPABX = nullptr;
    ui::TEdit* edPabxSend = nullptr;
    ui::TEdit* SzukajInfo = nullptr;
    ui::TEdit* LiniaDoKlienta = nullptr;
    ui::TEdit* NumerKl = nullptr;
    ui::TEdit* Linia = nullptr;
    ui::TStatusBar* StatusBar = nullptr;
    TExeVersion* Wersja = nullptr;

    ui::TTimer* tmrStartup = nullptr;
    ui::TTimer* tmrServerEnableStartup = nullptr;
    ui::TTimer* trmReconnect = nullptr;
    ui::TTimer* tmrRCP = nullptr;
    ui::TTimer* ShowConfigTimer = nullptr;
    ui::TTimer* MaintenanceTimer = nullptr;
    int MaintenanceTicks = 0;
    ui::TTimer* TimerUpdateInfo = nullptr;
    ui::TTimer* TimerUpdateKolejka = nullptr;
    ui::TTimer* tmrZamowienia = nullptr;

    ui::TButton* btnSzukajKlienci = nullptr;
    ui::TButton* BtnSzukaj = nullptr;
    ui::TButton* btnSzukajKontaktu = nullptr;
    // The contacts page: add, edit, delete, delete all, export, import.
    ui::TButton *Button2 = nullptr, *Button3 = nullptr, *Button5 = nullptr, *Button15 = nullptr;
    ui::TButton* btnEksportBazy = nullptr;
    ui::TButton* btnImportBazy = nullptr;
    ui::TButton* btnEksportUz = nullptr;
    ui::TButton* btnImportUz = nullptr;
    ui::TButton* btnSzukajTelef = nullptr;
    ui::TButton* btnWiadDoPodlaczonych = nullptr;
    ui::TButton* btnWyczyscOknoLogu = nullptr;
    ui::TButton* btnCopyLog = nullptr;
    ui::TButton* AddUserBT = nullptr;
    ui::TButton* EditUserBT = nullptr;
    ui::TButton* DelUserBT = nullptr;
    ui::TButton* AddPhoneBT = nullptr;
    ui::TButton* EditPhoneBT = nullptr;
    ui::TButton* DelPhoneBT = nullptr;
    ui::TMenuItem* miSmsSynchronize = nullptr;
    ui::TMenuItem* miSsmSendQueuesDump = nullptr;
    ui::TMenuItem* miSynchronizeVboxex = nullptr;
    ui::TMenuItem* miVoiceMailDump = nullptr;
    ui::TMenuItem* miDumpSmsDynamicRoutes = nullptr;
    ui::TMenuItem* miTestyJednostkowe = nullptr;
    ui::TTimer* tmrAllowNewConnection = nullptr;
    ui::TTimer* tmrFixPcti = nullptr;
    ui::TTimer* tmrPabxSynchronize = nullptr;
    // The hidden page "Inne": the phone-activity list and the active-call dump.
    ui::TTabSheet* TabWiadomosci = nullptr;
    ui::TListBox* ListBox1 = nullptr;
    ui::TButton* btnShowActiveCalls = nullptr;
    ui::TTimer* TimerUsunPolaczenia = nullptr;
    // The hidden page "Baza danych": a browser of the database.
    ui::TTabSheet* TabSheet7 = nullptr;
    ui::TListView* ListView1 = nullptr;
    ui::TPopupMenu* PopupMenu2 = nullptr;
    ui::TMenuItem* DBInfo = nullptr;
    ui::TMenuItem* Wyswietlzawartosctabeli1 = nullptr;
    ui::TMenuItem* Test1 = nullptr;

    QTcpServer* serwer = nullptr;
    QTcpServer* CRMsocket = nullptr;
    QTcpServer* CalSocket = nullptr;

    // ---- start-up and main window ----
    void FormCreate();
    void FormShow() {}
    void tmrStartupTimer();
    void tmrServerEnableStartupTimer();
    void trmReconnectTimer();
    void tmrRCPTimer();
    void ShowConfigTimerTimer();
    void ObslugaWyjatku(const std::exception& error);
    void SetActiveLanguage(int languageIndex);
    static int DefaultLanguageIndex();
    bool IsDbConnectAborted() const { return DbConnectAborted; }
    void SetDbConnectAborted(bool aborted) { DbConnectAborted = aborted; }
    // True when this copy found another one running and ends at once.
    bool IsSecondInstance() const { return SecondInstance; }
    db::MainDatabase& Database() { return *database_; }
    // The main window as the database access sees it.
    shell::DatabaseHostOfForm& DatabaseHost() { return *databaseHost_; }

    // ---- diagnostic log ----
    void WriteLog(int level, const char* format, ...) HALVEX_PRINTF(3, 4);
    void QueueLogLineMain(std::string line);
    void QueueLogLineSecond(std::string line);
    void TimerUpdateInfoTimer();
    void TimerUpdateKolejkaTimer();
    void UstawDiagnostyke();
    void Ustaw_okna();
    void TabStatResize();
    void KolejkaClick();
    void Nagraj1Click();
    void Czy1Click();
    void ApplyCommandLineSwitches(const std::string& commandLine);
    std::string LogFilePath;
    bool LogFileFailureReported = false;
    int MainPaneLineLimit = 500;
    int VisibleLogPanes = 1;

    // ---- tray, window frame and shutdown ----
    // Puts the program's icon in the desktop's tray (none headless).
    void UstawIkone();
    // A click on the tray icon: the left button shows the window.
    void TrayIconMessage(QSystemTrayIcon::ActivationReason reason);
    void Poka1Click();
    void Schowajdozasobnika1Click();
    // True when the icon sits in a tray, so that a hidden window can be found again.
    bool IconInTray() const;
    // The tray icon; none headless.
    QSystemTrayIcon* IconData = nullptr;
    void Konfiguracja1Click();
    void Zamknij1Click();
    // The end of the session (a signal): shuts down without asking.
    void WMQuery();
    // How long, from the start of shutdown, the threads are given to end (the
    // link thread, and an attach call still in the Firebird client) before
    // the process ends without them.
    static constexpr std::chrono::milliseconds ThreadStopBound{5000};
    // The end of that bound kept for the stop's last words: settings still
    // waiting for their file's lock are named and the log is written before
    // the process ends, whoever ends it.
    static constexpr std::chrono::milliseconds LastWordsTime{500};
    void FormDestroy();
    bool IsClosing() const { return base::DiagnosticLog::instance().closing.load() != 0; }

    // ---- shared locks ----
    std::unique_ptr<platform::Event> event_obslugi;
    std::unique_ptr<platform::Event> event_kolejka;
    // (event_bufor, shared with the exchange link thread, is a global.)
    // Takes a lock; false when this thread already holds it (logged), and
    // then the caller must skip or defer its work.
    bool CzekajNaEvent(platform::Event* event);
    void ZwolnijEvent(platform::Event* event);

    // ---- settings store ----
    void OdczytRejestruWindows();
    bool RegReadBool(const std::string& name, bool defaultValue);
    int RegReadInteger(const std::string& name, int defaultValue);
    std::string RegReadString(const std::string& name, const std::string& defaultValue);
    std::string RegReadStringOrDefault(const std::string& name, const std::string& defaultValue);
    void RegWriteBool(const std::string& name, bool value);
    void RegWriteInteger(const std::string& name, int value);
    void RegWriteString(const std::string& name, const char* value);
    void RegWriteString(const std::string& name, const std::string& value);
    // The settings with rules of their own: write = true stores the value in
    // force, false reads it into Settings.
    void GbakPath(bool write);
    void BackupPath(bool write);
    void IPFBase(bool write);
    void RCP_IPFB(bool write);
    void NameFB(bool write);
    void UstawPasswordFB(bool write);
    void UstawRcpPasswordFB(bool write);
    std::unique_ptr<platform::RegistryKey> SettingsRegistry;
    bool RegistryInHklm = true;
    // Defaults stay in memory: no branch takes writes, or the lock of the
    // settings file could not be had (found on the settings writer's
    // thread too).
    std::atomic<bool> SettingsReadOnly = false;
    // When the start-up read of the settings ended: a write asked before it
    // is the start's, one asked after it the administrator's.
    std::atomic<std::chrono::steady_clock::time_point> SettingsReadEnd{
        std::chrono::steady_clock::time_point::max()};

    // The values in force, read and written through the settings table.
    shell::ServerSettings Settings;

    // ---- version ----
    void OdczytajWersjeProgramu();
    // The same from the version block of the file at `path`.
    void OdczytajWersjeProgramu(const std::string& path);
    std::string ProgramVersion = "nieznana";

    // ---- callbacks handed to the SMS engine and the GSM-line table ----
    void ForwardLogText(const std::string& text);
    std::string GetUserNameById(const std::string& userId);
    shell::WindowLogCallback LogCallback{*this};
    shell::WindowUserNameCallback UserNameCallback{*this};

    // ---- translation components ----
    TlgLang* lgLang = nullptr;
    TlgLangDispatcher* lgLangDispatcher = nullptr;
    // The text of a main-window key in the language in force (any thread:
    // the translations do not change after start).
    std::string Text(const char* key) const { return lgLang->GetTextOrDefault(key); }
    // Creates lgLang and lgLangDispatcher once the window's components exist.
    void CreateTranslationComponents();

    // ---- the subsystems' service objects ----
    sms::SmsGateway& Sms() { return *smsGateway_; }
    const sms::SmsGateway& Sms() const { return *smsGateway_; }
    admin::Console& Admin() { return *console_; }

    // ---- the client service and the exchange link ----
    clients::ClientService& Clients() { return *clients_; }
    pbx::PbxLink& Pbx() { return *pbx_; }
    void WlaczSerwerClick();
    void serwerAccept();
    void CRMsocketClientConnect();
    void Podlacz_centraleClick();

    // ---- the other subsystems' groups ----

    // ---- commands and timers of the window ----
    void tmrAllowNewConnectionTimer();
    void tmrFixPctiTimer();
    void tmrPabxSynchronizeTimer();
    void miSmsSynchronizeClick();
    void miSsmSendQueuesDumpClick();
    void miDumpSmsDynamicRoutesClick();
    // Runs the text codec's built-in self-check and shows its result.
    void miTestyJednostkoweClick();
    void edSendToPABXKeyPress();
    void edPabxSendKeyPress();
    void btnWiadDoPodlaczonychClick();
    void BtnSzukajClick();
    void PodlaczeniSzukajBtnClick();
    void btnSzukajKontaktuClick();
    // Shows the export form over the contact list or, for btnEksportUz, the user list.
    void btnEksportBazyClick(QObject* sender);
    // Shows the contact import, from the contact page or the users page.
    void btnImportBazyClick(QObject* sender);
    // Opens the help file of the language in force at the first request.
    void PomocHalvex1Click();
    void FormKeyDown(int key);
    std::string HelpFilePath;
    void btnSzukajTelefClick();
    void showFindForm(QTreeView* list, std::function<QStringList(int)> rowTexts = {});
    void InfoClick();
    void SzukajInfoKeyPress();
    void LiniaDoKlientaKeyPress();
    // Hands the typed line to the link as if the exchange had sent it.
    void LiniaKeyPress();
    void btnCopyLogClick();
    void btnWyczyscOknoLoguClick();
    void ZakladkiChange();
    void LoadIncomingHistory(const std::string& column, const std::string& value);
    // ---- list sorting and the contact list ----
    void ListColumnClick(ui::TListView& list, int column);
    void OnVirtualListColumnClick(ui::TVirtualListView& list, int column);
    void SortListView(ui::TVirtualListView& list);
    // The row source of the contact list: the text of one cell.
    QString lvKontaktyData(int row, int column);
    // Every second tick (30 s) repaints the contact list when clients changed it.
    void MaintenanceTimerTimer();
    // ---- the routing rules of the SMS page ----
    QString lvRoutingRulesData(int row, int column);
    void lvRoutingRulesDblClick();
    // The row of the selected routing rule, -1 when none is selected.
    int selectedRoutingRule() const;

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void buildComponents();
    void connectHelpCommand();
    void createServices();
    void buildMenus();
    void buildStatisticsPage();
    void buildDebugPage();
    void buildOtherPages();
    void buildTimers();
    void buildConsoleControls();
    void connectHandlers();
    void connectConsoleHandlers();
    void buildDatabasePage();
    void connectDatabasePage();
    void sortVirtualList(ui::TVirtualListView& list);
    void probeRegistryBranch();
    bool claimSingleInstance();
    void createClientRecordOfServer();
    void reportLogFileState(bool writable, int error);
    void runShutdownSequence();
    // Hides the window to the tray, or minimises it where there is no tray.
    void hideToTray();
    void removeTrayIcon();
    void finishShutdown();

    bool SecondInstance = false;
    bool StartupOneShotDone = false;
    bool DbConnectAborted = false;
    bool ShutdownStarted = false;
    bool ShutdownWaiting = false; // asked for inside a handler, runs after it
    bool Constructed = false;
    bool ShutdownRequestedEarly = false;
    std::unique_ptr<platform::SingleInstance> singleInstance_;
    std::unique_ptr<platform::ShutdownSignals> shutdownSignals_;
    // The service objects in the order they are made (and so are destroyed
    // in reverse: the exchange link before the clients it reads, the
    // database last), each after its host.
    std::unique_ptr<shell::DatabaseHostOfForm> databaseHost_;
    std::unique_ptr<db::MainDatabase> database_;
    std::unique_ptr<shell::SmsGatewayHostOfForm> smsGatewayHost_;
    std::unique_ptr<sms::SmsGateway> smsGateway_;
    std::unique_ptr<shell::ClientServiceHostOfForm> clientsHost_;
    std::unique_ptr<clients::ClientService> clients_;
    std::unique_ptr<shell::PbxLinkHostOfForm> pbxHost_;
    std::unique_ptr<pbx::PbxLink> pbx_;
    std::unique_ptr<shell::ConsoleHostOfForm> consoleHost_;
    std::unique_ptr<admin::Console> console_;
};

// The one main window, reached by every subsystem.
extern TForm1* Form1;
// The command line as the program was started with it.
extern std::string StoredCommandLine;
// The administrator's message to every client as the text-message relay
// takes it; none when the text does not fit the message.
std::optional<std::string> BuildMessageToAll(const std::string& text, const QDateTime& now);
// Set by the settings read when a yes/no or number value had to be created.
extern bool SettingsDefaulted;
