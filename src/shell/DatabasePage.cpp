// The hidden database page with its browser, and the attendance poll's
// timer; both forward to the console.
#include "shell/MainForm.h"

#include "admin/Console.h"

#include <QHeaderView>
#include <QVBoxLayout>

namespace {

QString s(const char* text) {
    return QString::fromUtf8(text);
}

} // namespace

void TForm1::buildDatabasePage() {
    TabSheet7 = new ui::TTabSheet(s("TabSheet7"), s("Baza danych"), Zakladki);
    auto* layout = new QVBoxLayout(TabSheet7);
    ListView1 = new ui::TListView(s("ListView1"), TabSheet7);
    // A plain list until the first result gives it columns.
    ListView1->header()->setVisible(false);
    ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
    layout->addWidget(ListView1);
    PopupMenu2 = new ui::TPopupMenu(s("PopupMenu2"), this);
    DBInfo = PopupMenu2->Add(s("DBInfo"), s("Nazwy tabel"));
    Wyswietlzawartosctabeli1 = PopupMenu2->Add(s("Wyswietlzawartosctabeli1"), s("Wyświetl zawartość tabeli"));
    Test1 = PopupMenu2->Add(s("Test1"), s("Test"));
    TabSheet7->SetTabVisible(false);
}

void TForm1::connectDatabasePage() {
    QObject* console = &Admin().Context();
    connect(ListView1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu2->popup(ListView1->viewport()->mapToGlobal(at)); });
    connect(DBInfo, &QAction::triggered, console, [this] { Admin().Browser().DBInfoClick(); });
    connect(Wyswietlzawartosctabeli1, &QAction::triggered, console,
            [this] { Admin().Browser().Wyswietlzawartosctabeli1Click(); });
    connect(Test1, &QAction::triggered, console, [this] { Admin().Browser().Test1Click(); });
    connect(ListView1, &QTreeWidget::itemDoubleClicked, console,
            [this] { Admin().Browser().ListView1DblClick(); });
    connect(tmrRCP, &QTimer::timeout, this, &TForm1::tmrRCPTimer);
}

void TForm1::tmrRCPTimer() {
    Admin().tmrRCPTimer();
}
