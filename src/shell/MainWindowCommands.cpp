// The main window's small commands and timers: the connection limit while
// log-ins are pending, the stale-call and SMS sweeps, the lines typed to the
// exchange, the message to every client, the log pane's commands, the lists
// reloaded with their page, the list sorting and the users page's buttons.
// Each handler forwards to the service whose state it works on.
#include "shell/MainForm.h"

#include "admin/AdminForms.h"
#include "admin/Console.h"
#include "admin/ContactList.h"
#include "base/CommandParserGenerator.h"
#include "pbx/PbxLink.h"
#include "platform/WireCodePage.h"
#include "sms/SmsGateway.h"
#include "ui/Dialogs.h"
#include "ui/ListSort.h"

#include <QApplication>
#include <QClipboard>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

namespace {

QString s(const char* text) {
    return QString::fromUtf8(text);
}

void setKinds(ui::TListView* view, std::initializer_list<std::pair<int, int>> kinds) {
    for (const auto& [column, kind] : kinds)
        view->Columns()[column]->SetTag(kind);
}

void setTextColour(QLineEdit& edit, const QColor& colour) {
    QPalette palette = edit.palette();
    palette.setColor(QPalette::Text, colour);
    edit.setPalette(palette);
}

} // namespace

std::optional<std::string> BuildMessageToAll(const std::string& text, const QDateTime& now) {
    // A fixed form: the locale's long time format may add a zone, which the
    // relay's date field has no room for.
    const std::string stamp = now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString();
    const std::string fields = "0&987654321&" + stamp + "&" + text;
    // The fixed parts and the stamp leave the text what 1024 bytes hold on
    // the wire, terminator included.
    constexpr std::size_t MessageBytes = 1024;
    if (platform::toWire(fields).size() + 1 >= MessageBytes)
        return std::nullopt;
    return fields + "\xff";
}

void TForm1::buildConsoleControls() {
    using ui::SortAddress, ui::SortNumber, ui::SortTime;
    setKinds(lvKlienci, {{0, SortAddress},
                         {1, SortNumber},
                         {2, SortNumber},
                         {6, SortTime},
                         {10, SortTime},
                         {17, SortNumber},
                         {18, SortNumber},
                         {19, SortNumber},
                         {20, SortNumber},
                         {21, SortNumber},
                         {22, SortNumber}});
    setKinds(HistLV, {{1, SortTime}, {2, SortTime}});
    UserLV->Columns()[0]->SetWidth(0);
    PhoneLV->Columns()[0]->SetWidth(0);
    lvKontakty->Columns()[0]->SetWidth(0);
    UserLV->SetTag(1);

    auto* stat = qobject_cast<QVBoxLayout*>(TabStat->layout());
    auto* statButtons = new QHBoxLayout();
    btnSzukajKlienci = new ui::TButton(s("btnSzukajKlienci"), s("Szukaj"), TabStat);
    btnWiadDoPodlaczonych =
        new ui::TButton(s("btnWiadDoPodlaczonych"), s("Wiadomość do podłączonych"), TabStat);
    statButtons->addWidget(btnSzukajKlienci);
    statButtons->addWidget(btnWiadDoPodlaczonych);
    stat->addLayout(statButtons);

    auto* users = qobject_cast<QGridLayout*>(TabSheet8->layout());
    auto buttonRow = [&](int row, const char* add, const char* edit, const char* del, const char* find) {
        auto* line = new QHBoxLayout();
        auto* a = new ui::TButton(s(add), s("Dodaj"), TabSheet8);
        auto* e = new ui::TButton(s(edit), s("Edytuj"), TabSheet8);
        auto* d = new ui::TButton(s(del), s("Usuń"), TabSheet8);
        auto* f = new ui::TButton(s(find), s("Szukaj"), TabSheet8);
        line->addWidget(a);
        line->addWidget(e);
        line->addWidget(d);
        line->addWidget(f);
        users->addLayout(line, row, 0);
        return std::array<ui::TButton*, 4>{a, e, d, f};
    };
    const auto userButtons = buttonRow(2, "AddUserBT", "EditUserBT", "DelUserBT", "BtnSzukaj");
    AddUserBT = userButtons[0];
    EditUserBT = userButtons[1];
    DelUserBT = userButtons[2];
    BtnSzukaj = userButtons[3];
    const auto phoneButtons = buttonRow(3, "AddPhoneBT", "EditPhoneBT", "DelPhoneBT", "btnSzukajTelef");
    AddPhoneBT = phoneButtons[0];
    EditPhoneBT = phoneButtons[1];
    DelPhoneBT = phoneButtons[2];
    btnSzukajTelef = phoneButtons[3];
    btnEksportUz = new ui::TButton(s("btnEksportUz"), s("Eksport"), TabSheet8);
    btnImportUz = new ui::TButton(s("btnImportUz"), s("Import"), TabSheet8);
    auto* userFileButtons = new QHBoxLayout();
    userFileButtons->addWidget(btnEksportUz);
    userFileButtons->addWidget(btnImportUz);
    users->addLayout(userFileButtons, 4, 0);
    lvKontakty->setSelectionMode(QAbstractItemView::ExtendedSelection);
    auto* contactButtons = new QHBoxLayout();
    auto contactButton = [&](const char* name, const char* caption) {
        auto* button = new ui::TButton(s(name), s(caption), gbKontakty);
        contactButtons->addWidget(button);
        return button;
    };
    btnSzukajKontaktu = contactButton("btnSzukajKontaktu", "Szukaj");
    Button2 = contactButton("Button2", "Dodaj");
    Button3 = contactButton("Button3", "Edytuj");
    Button5 = contactButton("Button5", "Usuń");
    Button15 = contactButton("Button15", "Usuń wszystko");
    btnEksportBazy = contactButton("btnEksportBazy", "Eksport");
    btnImportBazy = contactButton("btnImportBazy", "Import");
    qobject_cast<QVBoxLayout*>(gbKontakty->layout())->addLayout(contactButtons);

    auto* debug = qobject_cast<QGridLayout*>(TabDebug->layout());
    const int row = debug->rowCount();
    btnWyczyscOknoLogu = new ui::TButton(s("btnWyczyscOknoLogu"), s("Wyczyść okno"), TabDebug);
    btnCopyLog = new ui::TButton(s("btnCopyLog"), s("Kopiuj do schowka"), TabDebug);
    debug->addWidget(btnWyczyscOknoLogu, row, 0);
    debug->addWidget(btnCopyLog, row, 1);
    SzukajInfo = new ui::TEdit(s("SzukajInfo"), QString(), TabDebug);
    debug->addWidget(SzukajInfo, row, 2);
    LiniaDoKlienta = new ui::TEdit(s("LiniaDoKlienta"), QString(), TabDebug);
    LiniaDoKlienta->SetHint(s("Linia do klienta"));
    NumerKl = new ui::TEdit(s("NumerKl"), QString(), TabDebug);
    NumerKl->SetHint(s("Numer klienta"));
    debug->addWidget(LiniaDoKlienta, row + 1, 2);
    debug->addWidget(NumerKl, row + 1, 3);
    Linia = new ui::TEdit(s("Linia"), QString(), TabDebug);
    Linia->SetHint(s("Linia RS"));
    debug->addWidget(Linia, row + 1, 1);

    Se1->AddSeparator();
    miSmsSynchronize = Se1->Add(s("miSmsSynchronize"), s("SMS: Resynchronizuj listę wiadomości odebranych"));
    miSsmSendQueuesDump = Se1->Add(s("miSsmSendQueuesDump"), s("SMS: Log kolejek wysyłki wiadomości"));
    miDumpSmsDynamicRoutes =
        Se1->Add(s("miDumpSmsDynamicRoutes"), s("SMS: Log dynamicznych tras zwrotnych wiadomości"));
    miSynchronizeVboxex =
        Se1->Add(s("miSynchronizeVboxex"), s("Poczta głosowa: Synchronizuj skrzynki z centralą"));
    miVoiceMailDump = Se1->Add(s("miVoiceMailDump"), s("Poczta głosowa: Log skrzynek"));
    miTestyJednostkowe = Se1->Add(s("miTestyJednostkowe"), s("Testy jednostkowe"));

    tmrAllowNewConnection = new ui::TTimer(s("tmrAllowNewConnection"), 30000, true, this);
    tmrFixPcti = new ui::TTimer(s("tmrFixPcti"), 90000, true, this);
    tmrPabxSynchronize = new ui::TTimer(s("tmrPabxSynchronize"), 4000, true, this);

    TabWiadomosci = new ui::TTabSheet(s("TabWiadomosci"), s("Inne"), Zakladki);
    auto* other = new QVBoxLayout(TabWiadomosci);
    ListBox1 = new ui::TListBox(s("ListBox1"), TabWiadomosci);
    btnShowActiveCalls =
        new ui::TButton(s("btnShowActiveCalls"), s("Pokaż aktywne połączenia"), TabWiadomosci);
    other->addWidget(ListBox1);
    other->addWidget(btnShowActiveCalls);
    other->addWidget(new ui::TLabel(s("lblSendToPABX"), s("Komenda CTI/PCTI do centrali"), TabWiadomosci));
    edSendToPABX = new ui::TEdit(s("edSendToPABX"), s("WN 48&39&"), TabWiadomosci);
    other->addWidget(edSendToPABX);
    TabWiadomosci->SetTabVisible(false);
    TimerUsunPolaczenia = new ui::TTimer(s("TimerUsunPolaczenia"), 100000, true, this);
    buildDatabasePage();
}

void TForm1::connectConsoleHandlers() {
    connect(tmrAllowNewConnection, &QTimer::timeout, this, &TForm1::tmrAllowNewConnectionTimer);
    connect(tmrFixPcti, &QTimer::timeout, this, &TForm1::tmrFixPctiTimer);
    connect(tmrPabxSynchronize, &QTimer::timeout, this, &TForm1::tmrPabxSynchronizeTimer);
    connect(TimerUsunPolaczenia, &QTimer::timeout, this, [this] { Pbx().TimerUsunPolaczeniaTimer(); });
    connect(btnShowActiveCalls, &QPushButton::clicked, this, [this] { Pbx().btnShowActiveCallsClick(); });
    connect(miSmsSynchronize, &QAction::triggered, this, &TForm1::miSmsSynchronizeClick);
    connect(btnAddRule, &QPushButton::clicked, this, [this] { Sms().AddSmsRoutingRule(); });
    connect(btnEditRule, &QPushButton::clicked, this,
            [this] { Sms().EditSmsRoutingRule(selectedRoutingRule()); });
    connect(btnDeleteRule, &QPushButton::clicked, this,
            [this] { Sms().DeleteSmsRoutingRule(selectedRoutingRule()); });
    connect(lvRoutingRules, &ui::TVirtualListView::DblClick, this, &TForm1::lvRoutingRulesDblClick);
    lvRoutingRules->Rows().SetRowSource(
        [this](int row, int column) { return lvRoutingRulesData(row, column); });
    connect(miSsmSendQueuesDump, &QAction::triggered, this, &TForm1::miSsmSendQueuesDumpClick);
    connect(miSynchronizeVboxex, &QAction::triggered, this, [this] { Pbx().miSynchronizeVboxexClick(); });
    connect(miVoiceMailDump, &QAction::triggered, this, [this] { Pbx().miVoiceMailDumpClick(); });
    connect(miTestyJednostkowe, &QAction::triggered, this, &TForm1::miTestyJednostkoweClick);
    connect(miDumpSmsDynamicRoutes, &QAction::triggered, this, &TForm1::miDumpSmsDynamicRoutesClick);
    connect(edSendToPABX, &ui::TEdit::enterPressed, this, &TForm1::edSendToPABXKeyPress);
    connect(edPabxSend, &ui::TEdit::enterPressed, this, &TForm1::edPabxSendKeyPress);
    connect(btnWiadDoPodlaczonych, &QPushButton::clicked, this, &TForm1::btnWiadDoPodlaczonychClick);
    connect(btnSzukajKlienci, &QPushButton::clicked, this, &TForm1::PodlaczeniSzukajBtnClick);
    connect(BtnSzukaj, &QPushButton::clicked, this, &TForm1::BtnSzukajClick);
    connect(btnSzukajKontaktu, &QPushButton::clicked, this, &TForm1::btnSzukajKontaktuClick);
    connect(btnSzukajTelef, &QPushButton::clicked, this, &TForm1::btnSzukajTelefClick);
    connect(btnCopyLog, &QPushButton::clicked, this, &TForm1::btnCopyLogClick);
    connect(btnWyczyscOknoLogu, &QPushButton::clicked, this, &TForm1::btnWyczyscOknoLoguClick);
    connect(Info, &QListWidget::itemClicked, this, &TForm1::InfoClick);
    // A key other than Enter marks the text as not yet acted on.
    for (ui::TEdit* edit : {SzukajInfo, LiniaDoKlienta, Linia})
        connect(edit, &ui::TEdit::otherKeyPressed, this, [edit] { setTextColour(*edit, Qt::red); });
    connect(SzukajInfo, &ui::TEdit::enterPressed, this, &TForm1::SzukajInfoKeyPress);
    connect(LiniaDoKlienta, &ui::TEdit::enterPressed, this, &TForm1::LiniaDoKlientaKeyPress);
    connect(Linia, &ui::TEdit::enterPressed, this, &TForm1::LiniaKeyPress);
    connect(Zakladki, &QTabWidget::currentChanged, this, &TForm1::ZakladkiChange);
    QObject* console = &Admin().Context();
    connect(AddUserBT, &QPushButton::clicked, console, [this] { Admin().AddUserBTClick(); });
    connect(EditUserBT, &QPushButton::clicked, console, [this] { Admin().EditUserBTClick(); });
    connect(DelUserBT, &QPushButton::clicked, console, [this] { Admin().DelUserBTClick(); });
    connect(AddPhoneBT, &QPushButton::clicked, console, [this] { Admin().AddPhoneBTClick(); });
    connect(EditPhoneBT, &QPushButton::clicked, console, [this] { Admin().EditPhoneBTClick(); });
    connect(DelPhoneBT, &QPushButton::clicked, console, [this] { Admin().DelPhoneBTClick(); });
    connect(UserLV, &QTreeWidget::itemSelectionChanged, console, [this] { Admin().UserLVSelectItem(); });
    connect(PhoneLV, &QTreeWidget::itemSelectionChanged, console, [this] { Admin().PhoneLVSelectItem(); });
    connect(UserLV, &ui::TListView::DblClick, console, [this] { Admin().UserLVDblClick(); });
    connect(Button2, &QPushButton::clicked, console, [this] { Admin().DodajBtnClick(); });
    connect(Button3, &QPushButton::clicked, console, [this] { Admin().EdycjaBtnClick(); });
    connect(Button5, &QPushButton::clicked, console, [this] { Admin().UsunBtn3Click(); });
    connect(Button15, &QPushButton::clicked, console, [this] { Admin().Button15Click(); });
    connect(lvKontakty, &ui::TVirtualListView::DblClick, console, [this] { Admin().lvKontaktyDblClick(); });
    lvKontakty->Rows().SetRowSource([this](int row, int column) { return lvKontaktyData(row, column); });
    for (ui::TButton* button : {btnEksportBazy, btnEksportUz})
        connect(button, &QPushButton::clicked, this, [this, button] { btnEksportBazyClick(button); });
    for (ui::TButton* button : {btnImportBazy, btnImportUz})
        connect(button, &QPushButton::clicked, this, [this, button] { btnImportBazyClick(button); });
    connect(PhoneLV, &ui::TListView::DblClick, console, [this] { Admin().PhoneLVDblClick(); });
    Admin().WatchUserList();
    for (ui::TListView* list : {lvKlienci, UserLV, PhoneLV, HistLV, lvAllUserPhones})
        connect(list->header(), &QHeaderView::sectionClicked, this,
                [this, list](int column) { ListColumnClick(*list, column); });
    for (ui::TVirtualListView* list : {lvKontakty, lvRoutingRules})
        connect(list->header(), &QHeaderView::sectionClicked, this,
                [this, list](int column) { OnVirtualListColumnClick(*list, column); });
    connectDatabasePage();
}

void TForm1::tmrAllowNewConnectionTimer() {
    if (Clients().PendingLogins > 0)
        --Clients().PendingLogins;
}

void TForm1::tmrFixPctiTimer() {
    Pbx().FixStaleCalls();
    Sms().AutomaticResynchronizationTick(tmrFixPcti->interval(), Sms().GsmLines.Complete());
}

void TForm1::tmrPabxSynchronizeTimer() {
    Pbx().PabxSynchronizeTick();
}

void TForm1::miSmsSynchronizeClick() {
    Sms().ManualResynchronization(Sms().GsmLines.Complete());
}

void TForm1::miSsmSendQueuesDumpClick() {
    Sms().SmsEngine.DumpSendQueues();
}

void TForm1::miDumpSmsDynamicRoutesClick() {
    Sms().SmsEngine.DumpDynamicRoutes();
}

void TForm1::miTestyJednostkoweClick() {
    const std::string failed = CommandParserGenerator::TestCommandParserGenerator();
    if (failed.empty()) {
        WriteLog(1, "Testy jednostkowe: bez błędów");
        ui::dialogs().MessageBox(Text("IDS_SELF_CHECK_PASSED"), Text("IDS_21"),
                                 ui::MB_ICONINFORMATION | ui::MB_OK, ui::IDOK);
        return;
    }
    WriteLog(2, "Testy jednostkowe: błąd %s", failed.c_str());
    ui::dialogs().MessageBox(Text("IDS_SELF_CHECK_FAILED") + failed, Text("IDS_21"),
                             ui::MB_ICONERROR | ui::MB_OK, ui::IDOK);
}

void TForm1::edSendToPABXKeyPress() {
    const std::string text = edSendToPABX->text().toStdString();
    if (!text.empty())
        Pbx().WyslijLinie(text + "\r", 500);
}

void TForm1::edPabxSendKeyPress() {
    if (Pbx().PbxLinkErrorCount.load() < 5)
        Pbx().WyslijLinie(edPabxSend->text().toStdString() + "\r", 500);
}

void TForm1::btnWiadDoPodlaczonychClick() {
    if (!frmMessage)
        return;
    frmMessage->Memo1->clear();
    if (frmMessage->ShowModal() != ui::mrOk)
        return;
    const auto message = BuildMessageToAll(frmMessage->Memo1->toPlainText().toStdString(),
                                           platform::processClock().dateTime());
    if (message && Clients().RelayServerMessage(*message))
        return;
    base::WriteLog(2, "Wiadomość do podłączonych użytkowników nie została wysłana");
    ui::dialogs().MessageBox(Text("IDS_MESSAGE_NOT_SENT"), Text("IDS_21"), ui::MB_ICONWARNING | ui::MB_OK,
                             ui::IDOK);
}

// A find dialog lives for one search session: each opening starts at the top.
void TForm1::showFindForm(QTreeView* list, std::function<QStringList(int)> rowTexts) {
    TFindForm find(this, list, std::move(rowTexts));
    find.setWindowFlag(Qt::Dialog);
    find.ShowModal();
}

void TForm1::BtnSzukajClick() {
    showFindForm(UserLV);
}

void TForm1::PodlaczeniSzukajBtnClick() {
    showFindForm(lvKlienci);
}

// The contact list shows the console's rows in order: their texts are
// searched, not the list's.
void TForm1::btnSzukajKontaktuClick() {
    showFindForm(lvKontakty, [this](int row) {
        if (std::size_t(row) >= Admin().ContactRows.size())
            return QStringList();
        QStringList cells = admin::ContactCells(admin::ContactAt(Admin().ContactRows, std::size_t(row)),
                                                Admin().ContactGroupRows);
        cells.removeFirst();
        return cells;
    });
}

void TForm1::btnEksportBazyClick(QObject* sender) {
    if (!Exportuj || (sender != btnEksportBazy && sender != btnEksportUz))
        return;
    Exportuj->SourceList = sender == btnEksportBazy ? static_cast<QTreeView*>(lvKontakty) : UserLV;
    Exportuj->show();
    Exportuj->raise();
}

void TForm1::btnImportBazyClick(QObject* sender) {
    // Both pages import into the shared contacts.
    if (sender == btnImportBazy || sender == btnImportUz)
        Admin().ShowContactImport();
}

void TForm1::btnSzukajTelefClick() {
    if (!frmFindPhone)
        return;
    frmFindPhone->OnSearch = [this](const std::string& number) { Admin().FindPhone(number); };
    frmFindPhone->ShowModal();
}

void TForm1::InfoClick() {
    if (QListWidgetItem* line = Info->currentItem())
        Info->SetHint(line->text());
}

// Searches downwards from the line after the selected one, without wrapping.
void TForm1::SzukajInfoKeyPress() {
    const QString wanted = SzukajInfo->text();
    if (!wanted.isEmpty()) {
        for (int i = Info->currentRow() + 1; i < Info->count(); ++i) {
            if (Info->item(i)->text().contains(wanted, Qt::CaseSensitive)) {
                Info->setCurrentRow(i);
                break;
            }
        }
    }
    setTextColour(*SzukajInfo, Qt::black);
}

void TForm1::LiniaDoKlientaKeyPress() {
    const std::string text = LiniaDoKlienta->text().toStdString();
    if (!text.empty())
        Clients().LiniaDoKlienta(text, NumerKl->text().toStdString());
    setTextColour(*LiniaDoKlienta, palette().color(QPalette::WindowText));
}

void TForm1::LiniaKeyPress() {
    const std::string text = Linia->text().toStdString();
    if (!text.empty())
        Pbx().InjectTestLine(text);
    setTextColour(*Linia, palette().color(QPalette::WindowText));
}

void TForm1::btnCopyLogClick() {
    QString text;
    for (const QString& line : Info->Items())
        text += line + QStringLiteral("\r\n");
    QApplication::clipboard()->setText(text);
}

void TForm1::btnWyczyscOknoLoguClick() {
    Info->clear();
}

void TForm1::ZakladkiChange() {
    QWidget* page = Zakladki->currentWidget();
    if (page == TabSheet1) {
        Admin().LoadContacts();
        SortListView(*lvKontakty);
    } else if (page == TabSheet8) {
        Admin().LoadUsers();
        Admin().LoadUserPhones("");
        LoadIncomingHistory("", "");
    } else if (page == TabSms) {
        Sms().LoadSmsRouting();
    }
}

void TForm1::LoadIncomingHistory(const std::string& column, const std::string& value) {
    Pbx().LoadIncomingHistory(column, value);
}

void TForm1::ListColumnClick(ui::TListView& list, int column) {
    ui::ListColumnClick(list, column);
}

void TForm1::OnVirtualListColumnClick(ui::TVirtualListView& list, int column) {
    if (column < 0 || column >= list.Columns().Count())
        return;
    admin::VirtualSort.column = column;
    admin::VirtualSort.ascending = list.Columns()[column]->ImageIndex() < 1;
    sortVirtualList(list);
    ui::FlipSortArrow(list.Columns(), column);
}

void TForm1::SortListView(ui::TVirtualListView& list) {
    if (!ui::SortedColumn(list.Columns(), admin::VirtualSort.column, admin::VirtualSort.ascending))
        return;
    sortVirtualList(list);
}

void TForm1::sortVirtualList(ui::TVirtualListView& list) {
    if (&list == lvKontakty)
        admin::SortContactRows(Admin().ContactRows, Admin().ContactGroupRows, admin::VirtualSort);
    else if (&list == lvRoutingRules)
        admin::SortRoutingRules(Sms().SmsEngine.RoutingRules, admin::VirtualSort);
    list.Rows().Invalidate();
}

QString TForm1::lvRoutingRulesData(int row, int column) {
    return QString::fromStdString(Sms().RoutingRuleCell(std::size_t(row), column));
}

// A double click on a rule edits it; elsewhere in the list it adds one.
// The highlighted rule; the current row alone, without a highlight, is none.
int TForm1::selectedRoutingRule() const {
    const std::vector<int> selected = lvRoutingRules->SelectedRows();
    return selected.empty() ? -1 : selected.front();
}

void TForm1::lvRoutingRulesDblClick() {
    const int row = selectedRoutingRule();
    if (row < 0)
        Sms().AddSmsRoutingRule();
    else
        Sms().EditSmsRoutingRule(row);
}

QString TForm1::lvKontaktyData(int row, int column) {
    return Admin().ContactCellText(std::size_t(row), column);
}

void TForm1::MaintenanceTimerTimer() {
    Admin().Maintenance().MaintenanceTimerTick();
    if (++MaintenanceTicks % 2 != 0 || !Clients().ContactSync.Changed)
        return;
    Clients().ContactSync.Changed = false;
    lvKontakty->Rows().Invalidate();
}

std::string TForm1::GetUserNameById(const std::string& userId) {
    return Admin().GetUserNameById(userId);
}
