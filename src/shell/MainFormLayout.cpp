// The main window's components, created with their names and design-time
// values. Other subsystems add their pages' contents in their own folders.
#include "shell/MainForm.h"

#include <QGridLayout>
#include <QTcpServer>
#include <QVBoxLayout>

namespace {

QString s(const char* text) {
    return QString::fromUtf8(text);
}

template <class List> void addColumns(List* view, std::initializer_list<const char*> captions) {
    for (const char* caption : captions)
        view->AddColumn(s(caption));
}

} // namespace

void TForm1::buildComponents() {
    resize(900, 600);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    buildMenus();
    layout->setMenuBar(MainMenu1);
    Zakladki = new ui::TPageControl(s("Zakladki"), this);
    layout->addWidget(Zakladki, 1);
    buildStatisticsPage();
    buildOtherPages();
    buildDebugPage();
    StatusBar = new ui::TStatusBar(s("StatusBar"), this, 8);
    StatusBar->Panels()[6]->SetText(s("Centrala"));
    StatusBar->Panels()[7]->SetText(s("baza CTI"));
    layout->addWidget(StatusBar);
    Wersja = new TExeVersion(s("Wersja"), this);
    serwer = new QTcpServer(this);
    serwer->setObjectName(s("serwer"));
    CRMsocket = new QTcpServer(this);
    CRMsocket->setObjectName(s("CRMsocket"));
    CalSocket = new QTcpServer(this);
    CalSocket->setObjectName(s("CalSocket"));
    buildTimers();
    buildConsoleControls();
    CreateTranslationComponents();
}

void TForm1::buildMenus() {
    MainMenu1 = new ui::TMainMenu(s("MainMenu1"), this);
    Se1 = MainMenu1->Add(s("Se1"), s("Serwer"));
    Konfiguracja1 = Se1->Add(s("Konfiguracja1"), s("&Konfiguracja"));
    // Switched by the start-up sequence once the database is there; hidden,
    // so that no click can drop every client.
    WlaczSerwer = Se1->Add(s("WlaczSerwer"), s("Obsługuj klientów CTI"));
    WlaczSerwer->setEnabled(false);
    WlaczSerwer->setVisible(false);
    PodlaczCentrale = Se1->Add(s("PodlaczCentrale"), s("Połącz z centralą telefoniczną"));
    PodlaczCentrale->setCheckable(true);
    Se1->AddSeparator();
    Schowajdozasobnika1 = Se1->Add(s("Schowajdozasobnika1"), s("Schowaj do zasobnika systemowego"));
    Schowajdozasobnika1->setStatusTip(s("Ukryj aplikację w trayu"));
    Zakoczpracserwera1 = Se1->Add(s("Zakoczpracserwera1"), s("Zakończ pracę serwera"));
    Pomoc1 = MainMenu1->Add(s("Pomoc1"), s("Pomoc"));
    PomocHalvex1 = Pomoc1->Add(s("PomocHalvex1"), s("Pomoc Halvex"));
    Oprogramie1 = Pomoc1->Add(s("Oprogramie1"), s("O programie"));

    PopupMenuIkony = new ui::TPopupMenu(s("PopupMenuIkony"), this);
    Poka1 = PopupMenuIkony->Add(s("Poka1"), s("Pokaż okno"));
    Zamknij1 = PopupMenuIkony->Add(s("Zamknij1"), s("Zakończ pracę serwera"));
    PopupMenuKolejka = new ui::TPopupMenu(s("PopupMenuKolejka"), this);
    Nagraj1 = PopupMenuKolejka->Add(s("Nagraj1"), s("Nagraj"));
    Czy1 = PopupMenuKolejka->Add(s("Czy1"), s("Czyść"));
}

void TForm1::buildStatisticsPage() {
    TabStat = new ui::TTabSheet(s("TabStat"), s("Podłączeni"), Zakladki);
    auto* layout = new QVBoxLayout(TabStat);
    lvKlienci = new ui::TListView(s("lvKlienci"), TabStat);
    addColumns(lvKlienci, {"Adres IP",     "Port",     "ID",       "Nazwa",    "Wersja",        "Stan",
                           "Czas odbioru", "Kolejka",  "Komend",   "Powt.",    "Czas wysłania", "Rozgłoszony",
                           "Wysłane",      "Odebrane", "Wykonane", "Write",    "NoData",        "ERROR",
                           "ShortFrame",   "Service",  "Frame",    "SocktErr", "SockNum"});
    layout->addWidget(lvKlienci);
}

void TForm1::buildOtherPages() {
    TabSheet8 = new ui::TTabSheet(s("TabSheet8"), s("Użytkownicy"), Zakladki);
    auto* users = new QGridLayout(TabSheet8);
    UserLV = new ui::TListView(s("UserLV"), TabSheet8);
    addColumns(UserLV, {"ID", "Nazwisko", "Imię", "Login", "Hasło", "Grupa", "IP", "Karta RCP", "Uprawnienia",
                        "Status"});
    PhoneLV = new ui::TListView(s("PhoneLV"), TabSheet8);
    addColumns(PhoneLV, {"ID", "Telefon", "Nazwa"});
    HistLV = new ui::TListView(s("HistLV"), TabSheet8);
    addColumns(HistLV, {"Dzwonił:", "Data", "Godzina"});
    lvAllUserPhones = new ui::TListView(s("lvAllUserPhones"), TabSheet8);
    addColumns(lvAllUserPhones, {"nUserID", "nID", "Telefon", "Nazwa tel."});
    lvAllUserPhones->hide();
    users->addWidget(UserLV, 0, 0, 1, 2);
    users->addWidget(PhoneLV, 1, 0);
    users->addWidget(HistLV, 1, 1);

    TabSheet1 = new ui::TTabSheet(s("TabSheet1"), s("Baza kontaktów"), Zakladki);
    auto* page = new QVBoxLayout(TabSheet1);
    gbKontakty = new ui::TGroupBox(s("gbKontakty"), s("Baza danych teleadresowych"), TabSheet1);
    page->addWidget(gbKontakty);
    auto* contacts = new QVBoxLayout(gbKontakty);
    lvKontakty = new ui::TVirtualListView(s("lvKontakty"), gbKontakty);
    addColumns(lvKontakty, {"ID", "Grupa", "Firma", "Stanowisko", "Nazwisko", "Imię", "Tel. praca",
                            "Tel. dom.", "Tel. kom.", "E-mail", "www", "Ulica", "Miasto", "Kod"});
    contacts->addWidget(lvKontakty);

    TabSms = new ui::TTabSheet(s("TabSms"), s("SMS"), Zakladki);
    auto* sms = new QVBoxLayout(TabSms);
    gbRoutingRules =
        new ui::TGroupBox(s("gbRoutingRules"), s("Reguły kierowania przychodzących wiadomości SMS"), TabSms);
    auto* rules = new QGridLayout(gbRoutingRules);
    lvRoutingRules = new ui::TVirtualListView(s("lvRoutingRules"), gbRoutingRules);
    addColumns(lvRoutingRules, {"Priorytet", "Nadawca", "Linia miejska", "Odbiorcy"});
    lblRoutingPatterns =
        new ui::TLabel(s("lblRoutingPatterns"),
                       s("Przy definiowaniu nadawcy i linii miejskiej znak '_' zastępuje dowolny "
                         "ciąg, znak '?' zastępuje dowolną cyfrę"),
                       gbRoutingRules);
    btnAddRule = new ui::TButton(s("btnAddRule"), s("Dodaj"), gbRoutingRules);
    btnEditRule = new ui::TButton(s("btnEditRule"), s("Edytuj"), gbRoutingRules);
    btnDeleteRule = new ui::TButton(s("btnDeleteRule"), s("Usuń"), gbRoutingRules);
    rules->addWidget(lvRoutingRules, 0, 0, 1, 3);
    rules->addWidget(lblRoutingPatterns, 1, 0, 1, 3);
    rules->addWidget(btnAddRule, 2, 0);
    rules->addWidget(btnEditRule, 2, 1);
    rules->addWidget(btnDeleteRule, 2, 2);
    sms->addWidget(gbRoutingRules);
}

void TForm1::buildDebugPage() {
    TabDebug = new ui::TTabSheet(s("TabDebug"), s("Diagnostyka"), Zakladki);
    auto* layout = new QGridLayout(TabDebug);
    GroupBoxLog = new ui::TGroupBox(s("GroupBoxLog"), s("Log diagnostyczny"), TabDebug);
    Info = new ui::TListBox(s("Info"), GroupBoxLog);
    Info->setFont(QFont(s("Courier New")));
    Kolejka = new ui::TListBox(s("Kolejka"), GroupBoxLog);
    Kolejka->SetHint(s("Kolejka wiadomości"));
    Kolejka->hide();
    Kolejka->setContextMenuPolicy(Qt::CustomContextMenu);
    auto* panes = new QVBoxLayout(GroupBoxLog);
    panes->addWidget(Info);
    panes->addWidget(Kolejka);
    layout->addWidget(GroupBoxLog, 0, 0, 1, 4);

    int row = 1, column = 0;
    auto box = [&](const char* name, const char* caption, bool checked) {
        auto* check = new ui::TCheckBox(s(name), s(caption), TabDebug, checked);
        layout->addWidget(check, row, column);
        if (++column == 4) {
            column = 0;
            ++row;
        }
        return check;
    };
    LogInfo = box("LogInfo", "Włącz logowanie", false);
    LogDoPliku = box("LogDoPliku", "Loguj do pliku", true);
    chbInfoPCTI = box("chbInfoPCTI", "komunikaty CTI/PCTI", false);
    CheckBoxInfoUART = box("CheckBoxInfoUART", "komunikaty UART", false);
    CheckBoxInfoUART->setEnabled(false);
    chbLogRS = box("chbLogRS", "COM/TCP - dodatkowe", false);
    chbLogKlienci = box("chbLogKlienci", "Klienci Halvex", false);
    chbLogBaza = box("chbLogBaza", "Baza danych: SQL/błędy", false);
    chbLogDzwonienie = box("chbLogDzwonienie", "Połączenia/dzwonienie", false);
    chbPctiErrors = box("chbPctiErrors", "błędy PCTI", false);
    chbSmsErrors = box("chbSmsErrors", "błędy SMS", true);
    chbKolejka = box("chbKolejka", "Kolejka TCP dla klientów", false);
    chbDiagnostykaScroll = box("chbDiagnostykaScroll", "Przewijaj log", true);

    ++row;
    layout->addWidget(new ui::TLabel(s("lblIleInfo"), s("Linii w logu:"), TabDebug), row, 0);
    IleInfo = new ui::TEdit(s("IleInfo"), s("500"), TabDebug);
    layout->addWidget(IleInfo, row, 1);
    layout->addWidget(new ui::TLabel(s("lblPabxSend"), s("Wyślij do centrali:"), TabDebug), row, 2);
    edPabxSend = new ui::TEdit(s("edPabxSend"), QString(), TabDebug);
    layout->addWidget(edPabxSend, row, 3);
    layout->setRowStretch(0, 1);
}

void TForm1::buildTimers() {
    tmrStartup = new ui::TTimer(s("tmrStartup"), 1000, false, this);
    tmrServerEnableStartup = new ui::TTimer(s("tmrServerEnableStartup"), 3000, true, this);
    trmReconnect = new ui::TTimer(s("trmReconnect"), 60000, false, this);
    tmrRCP = new ui::TTimer(s("tmrRCP"), 60000, false, this);
    ShowConfigTimer = new ui::TTimer(s("ShowConfigTimer"), 1000, false, this);
    MaintenanceTimer = new ui::TTimer(s("MaintenanceTimer"), 15000, false, this);
    TimerUpdateInfo = new ui::TTimer(s("TimerUpdateInfo"), 500, true, this);
    TimerUpdateKolejka = new ui::TTimer(s("TimerUpdateKolejka"), 500, true, this);
    // Keeps the idle-time dispatcher running while no other event arrives.
    tmrZamowienia = new ui::TTimer(s("tmrZamowienia"), 1000, true, this);
}
