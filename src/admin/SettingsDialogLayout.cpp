// The settings dialog's pages and controls, with their design-time values.
#include "admin/SettingsDialog.h"

#include "i18n/FormTranslation.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

namespace {

QString s(const char* text) {
    return QString::fromUtf8(text);
}

// One page laid out as a form: labelled controls row by row.
struct PageBuilder {
    TKonfiguracja* form;
    QFormLayout* layout;
    int labels = 0;

    PageBuilder(TKonfiguracja* f, QWidget* page) : form(f), layout(new QFormLayout(page)) {}

    ui::TEdit* edit(const char* label, const char* name, int limit = 0, const char* labelName = nullptr) {
        auto* control = new ui::TEdit(s(name), QString(), form);
        if (limit > 0)
            control->setMaxLength(limit);
        row(label, control, labelName);
        return control;
    }
    ui::TComboBox* combo(const char* label, const char* name, const QStringList& items = {}) {
        auto* control = new ui::TComboBox(s(name), form);
        control->SetItems(items);
        row(label, control);
        return control;
    }
    ui::TCheckBox* check(const char* name, const char* caption, bool checked = false) {
        auto* control = new ui::TCheckBox(s(name), s(caption), form, checked);
        layout->addRow(control);
        return control;
    }
    ui::TButton* button(const char* name, const char* caption) {
        auto* control = new ui::TButton(s(name), s(caption), form);
        layout->addRow(control);
        return control;
    }
    void row(const char* label, QWidget* control, const char* labelName = nullptr) {
        const QString name = labelName ? s(labelName) : s(labelPrefix) + QString::number(++labels);
        layout->addRow(new ui::TLabel(name, s(label), form), control);
    }
    // Labels without a name of their own are numbered per page.
    const char* labelPrefix = "lbl";
};

ui::TTabSheet* page(ui::TPageControl* pages, const char* name, const char* caption) {
    return new ui::TTabSheet(s(name), s(caption), pages);
}

// An up-down control with the read-only edit that mirrors it.
ui::TUpDown* upDownWithMirror(PageBuilder& page, const char* label, const char* editName,
                              const char* upDownName, int min, int max, ui::TEdit*& mirror) {
    auto* box = new QWidget(page.form);
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    mirror = new ui::TEdit(s(editName), QString(), page.form);
    mirror->setReadOnly(true);
    auto* upDown = new ui::TUpDown(s(upDownName), min, max, page.form);
    row->addWidget(mirror);
    row->addWidget(upDown);
    page.row(label, box);
    return upDown;
}

} // namespace

TKonfiguracja::TKonfiguracja(QWidget* owner) : TForm(QStringLiteral("Konfiguracja"), owner) {
    SetCaption(s("Konfiguracja"));
    setWindowFlag(Qt::WindowStaysOnTopHint);
    setWindowFlag(Qt::Dialog);
    SetScreenCentred(true);
    auto* layout = new QVBoxLayout(this);
    pcKonfiguracja = new ui::TPageControl(s("pcKonfiguracja"), this);
    layout->addWidget(pcKonfiguracja);
    buildCentralaPage();
    buildSmsPage();
    buildNetworkPage();
    buildDatabasePage();
    buildAttendancePage();
    buildCalendarPage();
    buildOtherPage();
    auto* buttons = new QHBoxLayout;
    btnAccept = new ui::TButton(s("btnAccept"), s("Zatwierdź"), this);
    btnCancel = new ui::TButton(s("btnCancel"), s("Anuluj"), this);
    buttons->addStretch();
    buttons->addWidget(btnAccept);
    buttons->addWidget(btnCancel);
    layout->addLayout(buttons);
    connectHandlers();
    lgLangLinked1 = i18n::CreateLinkedTranslation(this);
}

void TKonfiguracja::buildCentralaPage() {
    tabCentrala = page(pcKonfiguracja, "tabCentrala", "Centrala");
    PageBuilder p(this, tabCentrala);
    p.labelPrefix = "lblCentrala";
    TypCentrali = p.combo("Typ centrali:", "TypCentrali",
                          {s("Kelta"), s("Vosta/Tarneva"), s("Zulin"), s("Bexor"), s("Gavrel"), s("Morva")});
    NumPort = p.combo("Port:", "NumPort");
    AdresTCPEdit = p.edit("Adres IP centrali:", "AdresTCPEdit", 0, "Label5");
    Label5 = findChild<ui::TLabel*>(s("Label5"));
    PortTCPEdit = p.edit("Port TCP centrali:", "PortTCPEdit", 6, "Label6");
    Label6 = findChild<ui::TLabel*>(s("Label6"));
    AutomPrzyw = p.check("AutomPrzyw", "Automatyczne przywracanie połączenia z centralą");
    CheckBox1 = p.check("CheckBox1", "Powiadamiaj klientów o utracie połączenia z centralą");
    chbInsertIncomingForRingGroup = p.check(
        "chbInsertIncomingForRingGroup", "Nieodebrane połączenia grupowe w historii każdego członka grupy");
    chbUseVoiceMailPcti = p.check("chbUseVoiceMailPcti", "Integracja z pocztą głosową centrali");
    chbUsePctiClip = p.check("chbUsePctiClip", "CLIP z informacją o przekazywaniu");
    PrefixMiedzy = p.edit("Prefiks wyjścia na miasto:", "PrefixMiedzy", base::ShortTextLimit);
    edPrefixMiedzynarodowy =
        p.edit("Prefiks międzynarodowy:", "edPrefixMiedzynarodowy", base::ShortTextLimit);
    UpDownUzNum =
        upDownWithMirror(p, "Długość numeru miejskiego:", "EditUzNum", "UpDownUzNum", 4, 10, EditUzNum);
    edCodeRedial = p.edit("Redial:", "edCodeRedial");
    edCodeHold = p.edit("Hold", "edCodeHold", 0, "Label21");
    Label21 = findChild<ui::TLabel*>(s("Label21"));
    btnCodeDefault = p.button("btnCodeDefault", "Domyślne kody");
}

void TKonfiguracja::buildSmsPage() {
    tabCentralaSms = page(pcKonfiguracja, "tabCentralaSms", "Centrala - SMS");
    PageBuilder p(this, tabCentralaSms);
    p.labelPrefix = "lblSms";
    chbUseSms = p.check("chbUseSms", "Obsługa SMS przez linie GSM centrali");
    edSmsCountryCode = p.edit("Kod kraju (bez +):", "edSmsCountryCode", 4);
    edMinSmsNumberLength = p.edit("Minimalna długość numeru krajowego:", "edMinSmsNumberLength", 4);
    edMaxSmsNumberLength = p.edit("Maksymalna długość numeru krajowego:", "edMaxSmsNumberLength", 4);
    chbSmsNumberProcessingRemoveCountryCode =
        p.check("chbSmsNumberProcessingRemoveCountryCode", "Usuwaj kod kraju z numerów odebranych SMS-ów");
    chbDynamicRouting =
        p.check("chbDynamicRouting", "Włącz dynamiczny routing dla przychodzących wiadomości");
    chbDynamicRouting->SetHint(s(
        "Włączenie dynamicznego routingu powoduje, że serwer zapamiętuje czasowo informacje o wychodzących "
        "wiadomościach. Jeżeli na numer GSM przyjdzie wiadomość z numeru na który została uprzednio wysłana "
        "wiadomość, odpowiedź ta zostanie skierowana bezpośrednio."));
    cbRouteValidity = p.combo("Czas oczekiwania na odpowiedź (ważności trasy zwrotnej)", "cbRouteValidity",
                              {s("15 minut"), s("30 minut"), s("1 godzina"), s("2 godziny"), s("4 godziny"),
                               s("6 godzin"), s("12 godzin"), s("24 godziny"), s("2 dni"), s("7 dni")});
    chbForceSmsSynchronize = p.check("chbForceSmsSynchronize", "Wymuszaj synchronizację SMS-ów z centralą");
    UpDownSmsTrials = upDownWithMirror(p, "Liczba prób wysłania:", "EditSmsTrials", "UpDownSmsTrials", 1,
                                       1000, EditSmsTrials);
    CheckBoxSmsTrials = p.check("CheckBoxSmsTrials", "Do skutku");
    ButtonKasujKolejki = p.button("ButtonKasujKolejki", "Kasuj kolejki SMS");
}

void TKonfiguracja::buildNetworkPage() {
    tabSiec = page(pcKonfiguracja, "tabSiec", "Sieć intranetowa");
    PageBuilder p(this, tabSiec);
    p.labelPrefix = "lblSiec";
    AdrBroad = p.edit("Adres rozgłoszeniowy:", "AdrBroad");
    PortTCP = p.edit("Port TCP:", "PortTCP");
    PortUDP = p.edit("Port UDP:", "PortUDP");
    chbSocketCRM = p.check("chbSocketCRM", "Gniazdo CRM");
    edCRMport = p.edit("Port CRM:", "edCRMport");
    edMaxCRMconnections = p.edit("Maksymalna liczba połączeń CRM:", "edMaxCRMconnections");
}

void TKonfiguracja::buildDatabasePage() {
    tabBaza = page(pcKonfiguracja, "tabBaza", "Baza danych");
    PageBuilder p(this, tabBaza);
    p.labelPrefix = "lblBaza";
    DIPBEdit = p.edit("Adres IP serwera bazy:", "DIPBEdit", base::HostTextLimit);
    NameEdit = p.edit("Plik bazy danych:", "NameEdit");
    btnSetDatabasePath = p.button("btnSetDatabasePath", "...");
    UserEdit = p.edit("Użytkownik:", "UserEdit", 32);
    PassEdit = p.edit("Hasło:", "PassEdit", 32);
    PassEdit->setEchoMode(QLineEdit::Password);
    CheckConnect = p.button("CheckConnect", "Testuj połączenie");
    btnImportPhonebook = p.button("btnImportPhonebook", "Import z DUV 1.12");
    btnCleanDatabase = p.button("btnCleanDatabase", "Czyszczenie");
    gbBackup = new ui::TGroupBox(s("gbBackup"), s("Backup / odtwarzanie z backupu bazy danych"), this);
    p.layout->addRow(gbBackup);
    PageBuilder g(this, gbBackup);
    g.labelPrefix = "lblBackup";
    edGbakPath = g.edit("Ścieżka do gbak:", "edGbakPath");
    btnUstawGbakPath = g.button("btnUstawGbakPath", "...");
    edBackupPath = g.edit("Katalog backupu:", "edBackupPath");
    btnUstawBackupDir = g.button("btnUstawBackupDir", "...");
    chbAutoBackup = g.check("chbAutoBackup", "Automatyczny backup");
    cbBackupPeriod = g.combo("Co:", "cbBackupPeriod");
    QStringList periods{s("1 dzień")};
    for (int days = 2; days <= 14; ++days)
        periods << QString::number(days) + s(" dni");
    cbBackupPeriod->SetItems(periods);
    BackupDateTime = new ui::TDateTimePicker(s("BackupDateTime"), this);
    g.row("O godzinie:", BackupDateTime);
    btnBackup = g.button("btnBackup", "Wykonaj backup teraz");
    btnRestore = g.button("btnRestore", "Odtwórz z backupu");
    chbCleanBeforeBackup = g.check("chbCleanBeforeBackup", "Czyść bazę przed backupem");
}

void TKonfiguracja::buildAttendancePage() {
    tabRCP = page(pcKonfiguracja, "tabRCP", "RCP");
    PageBuilder p(this, tabRCP);
    p.labelPrefix = "lblRcp";
    chbEnableRCP = p.check("chbEnableRCP", "Współpraca z systemem RCP");
    edRCP_IP = p.edit("Adres IP serwera bazy RCP:", "edRCP_IP", base::HostTextLimit);
    edRCPpath = p.edit("Plik bazy RCP:", "edRCPpath");
    edRCPuser = p.edit("Użytkownik:", "edRCPuser", 32);
    edRCPpassword = p.edit("Hasło:", "edRCPpassword", 32);
    edRCPpassword->setEchoMode(QLineEdit::Password);
    btnCheckRcpDB = p.button("btnCheckRcpDB", "Testuj połączenie");
}

void TKonfiguracja::buildCalendarPage() {
    TabSheetCalendars = page(pcKonfiguracja, "TabSheetCalendars", "Kalendarze");
    PageBuilder p(this, TabSheetCalendars);
    p.labelPrefix = "lblKalendarze";
    CheckBoxCalEnabled = p.check("CheckBoxCalEnabled", "Usługa kalendarzy włączona");
    PortTCPCalBrowse = p.edit("Port przeglądania kalendarzy:", "PortTCPCalBrowse");
    PortTCPCalSend = p.edit("Port usługi kalendarzy:", "PortTCPCalSend");
}

void TKonfiguracja::buildOtherPage() {
    tabInne = page(pcKonfiguracja, "tabInne", "Inne");
    PageBuilder p(this, tabInne);
    p.labelPrefix = "lblInne";
    PotwWych = p.check("PotwWych", "Potwierdzenie wyjścia z programu");
    chbStartMinimized = p.check("chbStartMinimized", "Uruchamiaj zminimalizowany do zasobnika");
    Zaawansowane = p.check("Zaawansowane", "Dodatkowa diagnostyka");
    ComboBoxLang = p.combo("Język:", "ComboBoxLang", {s("Polski"), s("Angielski"), s("Rosyjski")});
    btnTestDbPerformance = p.button("btnTestDbPerformance", "Test szybkości bazy");
    btnTestDbPerformance->hide();
}

void TKonfiguracja::connectHandlers() {
    auto onClick = [this](QPushButton* button, void (TKonfiguracja::*handler)()) {
        connect(button, &QPushButton::clicked, this, [this, handler] { (this->*handler)(); });
    };
    onClick(btnAccept, &TKonfiguracja::btnAcceptClick);
    onClick(btnCancel, &TKonfiguracja::btnCancelClick);
    onClick(CheckConnect, &TKonfiguracja::CheckConnectClick);
    onClick(btnCodeDefault, &TKonfiguracja::btnCodeDefaultClick);
    onClick(ButtonKasujKolejki, &TKonfiguracja::ButtonKasujKolejkiClick);
    onClick(btnSetDatabasePath, &TKonfiguracja::btnSetDatabasePathClick);
    onClick(btnUstawGbakPath, &TKonfiguracja::btnUstawGbakPathClick);
    onClick(btnUstawBackupDir, &TKonfiguracja::btnUstawBackupDirClick);
    onClick(btnBackup, &TKonfiguracja::btnBackupClick);
    onClick(btnRestore, &TKonfiguracja::btnRestoreClick);
    onClick(btnCleanDatabase, &TKonfiguracja::btnCleanDatabaseClick);
    onClick(btnTestDbPerformance, &TKonfiguracja::btnTestDbPerformanceClick);
    onClick(btnImportPhonebook, &TKonfiguracja::btnImportPhonebookClick);
    onClick(btnCheckRcpDB, &TKonfiguracja::btnCheckRcpDBClick);
    connect(Zaawansowane, &QCheckBox::clicked, this, [this] { ZaawansowaneClick(); });
    connect(CheckBoxSmsTrials, &QCheckBox::clicked, this, [this] { CheckBoxSmsTrialsClick(); });
    connect(chbAutoBackup, &QCheckBox::toggled, this, [this] { chbAutoBackupClick(); });
    connect(TypCentrali, &QComboBox::activated, this, [this] { TypCentraliChange(); });
    connect(NumPort, &QComboBox::activated, this, [this] { NumPortChange(); });
    connect(ComboBoxLang, &QComboBox::activated, this, [this] { ComboBoxLangCloseUp(); });
    installInputRules();
}
