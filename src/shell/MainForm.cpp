// The main window's construction: the server comes up in a fixed order, the
// exchange link before any database work.
#include "shell/MainForm.h"

#include "admin/Console.h"
#include "base/LogFile.h"
#include "base/TraceLabel.h"
#include "pbx/CrmConsole.h"
#include "platform/RegistryStore.h"
#include "platform/ShutdownSignals.h"
#include "platform/SingleInstance.h"
#include "shell/AboutBox.h"
#include "shell/ClientServiceHostOfForm.h"
#include "shell/ConsoleHostOfForm.h"
#include "shell/DatabaseHostOfForm.h"
#include "shell/FileLocations.h"
#include "shell/PbxLinkHostOfForm.h"
#include "shell/SettingsTable.h"
#include "shell/SmsGatewayHostOfForm.h"
#include "sms/SmsGateway.h"
#include "ui/Application.h"
#include "ui/Dialogs.h"

#include <QCloseEvent>
#include <QTcpServer>
#include <cctype>

TForm1* Form1 = nullptr;
std::string StoredCommandLine;
bool SettingsDefaulted = false;

namespace {
const char* const SingleInstanceName = "VorlinHalvex";

// The language the settings set, read without writing anything (a second
// copy leaves the settings alone): the machine's branch, else the user's,
// else the system's language.
int storedLanguageIndex() {
    const std::string mainKey = shell::SettingsKeyPath(shell::SettingsSection::Main, 0);
    for (const auto branch : {platform::RegistryBranch::Machine, platform::RegistryBranch::User}) {
        try {
            platform::RegistryKey key(branch);
            if (key.OpenKey(mainKey, false) && key.ValueExists("language"))
                return key.ReadInteger("language");
        } catch (const platform::RegistryError&) {
            // Unreadable here: the next branch, or the default.
        }
    }
    return TForm1::DefaultLanguageIndex();
}
} // namespace

TForm1::TForm1(QWidget* owner, const StartupOptions& options) : TForm(QStringLiteral("Form1"), owner) {
    Form1 = this;
    // First of all, so that the end of the session during start-up takes
    // the same way down as later (held until the window is whole).
    shutdownSignals_ = std::make_unique<platform::ShutdownSignals>();
    connect(shutdownSignals_.get(), &platform::ShutdownSignals::shutdownRequested, this, [this] {
        if (Constructed)
            WMQuery();
        else
            ShutdownRequestedEarly = true;
    });
    base::SetTraceLabel("TForm1::TForm1");
    buildComponents();

    auto& log = base::DiagnosticLog::instance();
    log.switches.LogInfo = false;
    log.switches.chbInfoPCTI = false;
    log.switches.CheckBoxInfoUART = false;
    log.switches.chbLogKlienci = false;
    log.switches.LogDoPliku = true;
    log.switches.chbLogDzwonienie = false;
    MainPaneLineLimit = 500;
    VisibleLogPanes = 1;
    createServices();

    base::DebugTrace(std::string(64, '='));
    base::DebugTrace("[Halvex " + Wersja->GetMajorVersion() + "." + Wersja->GetMinorVersion() + "." +
                     Wersja->GetRelease() + " started]");

    Pbx().ClearCallTable();
    for (auto& slot : Pbx().CrmSlots)
        slot.Socket = -1;

    LogFilePath = shell::LogFilePathFor(TExeVersion::ProgramPath());
    base::SetMainLogFile(LogFilePath);
    RegistryInHklm = true;
    Pbx().PbxLinkErrorCount = 0;
    Admin().ContactsLoaded = false;
    Sms().SmsRoutingLoaded = false;

    base::SetTraceLabel("FormCreate");
    ApplyCommandLineSwitches(StoredCommandLine);

    if (auto* app = ui::TApplication::instance())
        app->OnException = [this](const std::exception& error) { ObslugaWyjatku(error); };

    if (!claimSingleInstance())
        return;

    WriteLog(1, "Sprawdzanie uprawnień użytkownika...");
    if (auto* app = ui::TApplication::instance())
        app->SetHintHidePause(15000);
    probeRegistryBranch();
    OdczytRejestruWindows();
    Admin().Maintenance().RemoveUnfinishedBackups();
    Admin().Maintenance().RemoveUnfinishedRestore();

    PomocHalvex1->setEnabled(Settings.language == 0 || Settings.language == 2);
    if (Settings.PbxType >= 0 && Settings.PbxType <= 4) {
        TabSms->SetTabVisible(true);
    } else {
        TabSms->SetTabVisible(false);
        Sms().SmsSettings.UseSms = false;
    }
    Pbx().InstallIdleHandler();

    for (int i = 0; i <= 5; ++i)
        StatusBar->Panels()[i]->SetText(QString());
    Zakladki->SetActivePage(TabStat);

    event_obslugi = std::make_unique<platform::Event>("event_obslugi");
    event_kolejka = std::make_unique<platform::Event>("event_kolejka");
    event_bufor = std::make_unique<platform::Event>("event_bufor");

    OdczytajWersjeProgramu();
    UstawIkone();

    Clients().CreateUdpSender(this, Settings.PortUDP, Settings.BroadcastAddress);

    MaintenanceTimer->SetEnabled(true);
    createClientRecordOfServer();
    if (options.connectExchange)
        Podlacz_centraleClick();

    if (Settings.CRMsocketActive)
        Pbx().CrmSocketSetActive(true);
    lvAllUserPhones->SetTag(0);

    SetCaption(QString::fromStdString(Text("IDS_35") + Wersja->GetMajorVersion() + "." +
                                      Wersja->GetMinorVersion() + "." + Wersja->GetRelease()));
    if (Settings.StartMinimized)
        setVisible(false);

    connectHandlers();
    tmrStartup->SetEnabled(options.attachDatabase);
    if (!options.openClientService)
        tmrServerEnableStartup->SetEnabled(false);
    Constructed = true;
    if (ShutdownRequestedEarly)
        QMetaObject::invokeMethod(this, &TForm1::WMQuery, Qt::QueuedConnection);
    // The caller's label was set aside empty: a failure after this
    // constructor (in a later form) must not be put down to it.
    base::SetTraceLabel("");
}

// Each subsystem's service object, in the order the floors stand; each is given
// its host, which reaches the window and the other services.
void TForm1::createServices() {
    databaseHost_ = std::make_unique<shell::DatabaseHostOfForm>(*this, Settings);
    database_ = std::make_unique<db::MainDatabase>(*databaseHost_);
    // The gateway hands LogCallback and UserNameCallback to the SMS engine.
    smsGatewayHost_ = std::make_unique<shell::SmsGatewayHostOfForm>(*this);
    smsGateway_ = std::make_unique<sms::SmsGateway>(*smsGatewayHost_);
    clientsHost_ = std::make_unique<shell::ClientServiceHostOfForm>(*this, Settings);
    clients_ = std::make_unique<clients::ClientService>(*clientsHost_);
    pbxHost_ = std::make_unique<shell::PbxLinkHostOfForm>(*this, Settings);
    pbx_ = std::make_unique<pbx::PbxLink>(*pbxHost_);
    consoleHost_ = std::make_unique<shell::ConsoleHostOfForm>(*this, Settings);
    console_ = std::make_unique<admin::Console>(*consoleHost_);
}

TForm1::~TForm1() {
    if (pbx_)
        Pbx().RemoveDispatcherWake();
    // The application outlives the window: nothing of it may call back here.
    if (auto* app = ui::TApplication::instance(); app && Form1 == this)
        app->OnException = nullptr;
    // Nothing the link thread can reach is freed while it runs.
    if (!ShutdownStarted && !SecondInstance) {
        for (ui::TTimer* timer : findChildren<ui::TTimer*>())
            timer->SetEnabled(false);
        Settings.AutomPrzyw = false;
        Pbx().RozlaczCentrale();
        if (!Pbx().WaitForLinkEnd(5000)) {
            // Left to the process end, with the locks it uses.
            (void)event_bufor.release();
            (void)event_obslugi.release();
            (void)event_kolejka.release();
        } else {
            Pbx().FreeReceivedLines();
            UsunWszystkichKlientow();
        }
    }
    FormDestroy();
    if (Form1 == this)
        Form1 = nullptr;
}

// After the rows' journal is open and before the first attach: a database a
// restore cut short left stays away.
void TForm1::FormCreate() {
    if (!IsSecondInstance())
        Admin().Maintenance().KeepRestoreMark(shell::RestoreMarkPathFor(LogFilePath));
}

void TForm1::WlaczSerwerClick() {
    Clients().WlaczSerwerClick();
}

void TForm1::serwerAccept() {
    Clients().serwerAccept();
}

void TForm1::CRMsocketClientConnect() {
    Pbx().Crm().CRMsocketClientConnect();
}

void TForm1::Podlacz_centraleClick() {
    Pbx().Podlacz_centraleClick();
}

bool TForm1::claimSingleInstance() {
    singleInstance_ = std::make_unique<platform::SingleInstance>(SingleInstanceName);
    if (singleInstance_->Acquire())
        return true;
    // The settings are not read by a second copy: its one word follows them.
    SetActiveLanguage(storedLanguageIndex());
    ui::dialogs().MessageBox(Text("IDS_20"), Text("IDS_21"), ui::MB_ICONWARNING | ui::MB_OK, ui::IDOK);
    SecondInstance = true;
    QMetaObject::invokeMethod(
        qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    return false;
}

void TForm1::createClientRecordOfServer() {
    Clients().CreateServerRecord();
}

void TForm1::connectHandlers() {
    connect(tmrStartup, &QTimer::timeout, this, &TForm1::tmrStartupTimer);
    connect(tmrServerEnableStartup, &QTimer::timeout, this, &TForm1::tmrServerEnableStartupTimer);
    connect(trmReconnect, &QTimer::timeout, this, &TForm1::trmReconnectTimer);
    connect(ShowConfigTimer, &QTimer::timeout, this, &TForm1::ShowConfigTimerTimer);
    connect(TimerUpdateInfo, &QTimer::timeout, this, &TForm1::TimerUpdateInfoTimer);
    connect(TimerUpdateKolejka, &QTimer::timeout, this, &TForm1::TimerUpdateKolejkaTimer);
    connect(MaintenanceTimer, &QTimer::timeout, this, &TForm1::MaintenanceTimerTimer);
    connect(Poka1, &QAction::triggered, this, &TForm1::Poka1Click);
    connect(Zamknij1, &QAction::triggered, this, &TForm1::Zamknij1Click);
    connect(Zakoczpracserwera1, &QAction::triggered, this, &TForm1::Zamknij1Click);
    connect(Schowajdozasobnika1, &QAction::triggered, this, &TForm1::Schowajdozasobnika1Click);
    connect(Konfiguracja1, &QAction::triggered, this, &TForm1::Konfiguracja1Click);
    connect(PodlaczCentrale, &QAction::triggered, this, [this] {
        // The item's check mark is the link's state; the handler toggles it.
        PodlaczCentrale->setChecked(!PodlaczCentrale->isChecked());
        Podlacz_centraleClick();
    });
    connect(WlaczSerwer, &QAction::triggered, this, [this] {
        // The item's check mark is the service's state; the handler sets it.
        if (WlaczSerwer->isCheckable())
            WlaczSerwer->setChecked(!WlaczSerwer->isChecked());
        WlaczSerwerClick();
    });
    connect(serwer, &QTcpServer::newConnection, this, &TForm1::serwerAccept);
    connect(serwer, &QTcpServer::acceptError, this,
            [this](QAbstractSocket::SocketError error) { Clients().serwerAcceptError(error); });
    connect(CRMsocket, &QTcpServer::newConnection, this, &TForm1::CRMsocketClientConnect);
    connect(CalSocket, &QTcpServer::newConnection, this, [this] { Clients().Calendars.CalSocketAccept(); });
    connect(Oprogramie1, &QAction::triggered, this, [] {
        if (Pomoc)
            Pomoc->show();
    });
    connect(Kolejka, &QListWidget::itemClicked, this, &TForm1::KolejkaClick);
    connect(Kolejka, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenuKolejka->popup(Kolejka->mapToGlobal(at)); });
    connect(Nagraj1, &QAction::triggered, this, &TForm1::Nagraj1Click);
    connect(Czy1, &QAction::triggered, this, &TForm1::Czy1Click);
    TabStat->installEventFilter(this);
    connectHelpCommand();
    connectConsoleHandlers();
}

void TForm1::ForwardLogText(const std::string& text) {
    WriteLog(1, "%s", text.c_str());
}

void TForm1::ObslugaWyjatku(const std::exception& error) {
    WriteLog(2, "Exception:%s", error.what());
}

int TForm1::DefaultLanguageIndex() {
    switch (QLocale::system().language()) {
    case QLocale::Polish:
        return 0;
    case QLocale::Russian:
        return 2;
    default:
        return 1;
    }
}

void TForm1::SetActiveLanguage(int languageIndex) {
    lgLangDispatcher->SetActiveLanguage(languageIndex == 0 ? 1 : languageIndex == 2 ? 4 : 2);
    ui::UseQtTranslations(languageIndex == 0   ? QStringLiteral("pl")
                          : languageIndex == 2 ? QStringLiteral("ru")
                                               : QStringLiteral("en"));
}
