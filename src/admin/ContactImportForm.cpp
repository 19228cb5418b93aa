#include "admin/ContactImportForm.h"

#include "admin/AdminForms.h"
#include "i18n/FormTranslation.h"
#include "i18n/LangComponent.h"
#include "ui/Dialogs.h"

#include <QEvent>
#include <QFile>
#include <QGridLayout>

TImport_kont::TImport_kont(QWidget* owner) : TForm(QStringLiteral("Import_kont"), owner) {
    SetCaption(QString::fromUtf8("Importuj baze kontaktów"));
    setWindowFlags(Qt::Window | Qt::WindowStaysOnTopHint);
    auto* layout = new QGridLayout(this);
    Label1 = new ui::TLabel(QStringLiteral("Label1"), QStringLiteral("Separator"), this);
    Separator = new ui::TEdit(QStringLiteral("Separator"), QStringLiteral(";"), this);
    Separator->setMaxLength(1);
    ListView1 = new ui::TListView(QStringLiteral("ListView1"), this);
    ListView1->AddColumn(QStringLiteral("Pole tekstowe"), 200);
    ListView1->AddColumn(QStringLiteral("Pole bazy danych"), 200);
    ComboBox2 = new ui::TComboBox(QStringLiteral("ComboBox2"), ListView1->viewport());
    ComboBox2->hide();
    btnOdczytaj = new ui::TButton(QStringLiteral("btnOdczytaj"), QStringLiteral("Odczytaj plik"), this);
    btnImport = new ui::TButton(QStringLiteral("btnImport"), QStringLiteral("Importuj"), this);
    btnImport->setEnabled(false);
    btnZamknij = new ui::TButton(QStringLiteral("btnZamknij"), QStringLiteral("Zamknij"), this);
    layout->addWidget(Label1, 0, 0);
    layout->addWidget(Separator, 0, 1);
    layout->addWidget(ListView1, 1, 0, 1, 3);
    layout->addWidget(btnOdczytaj, 2, 0);
    layout->addWidget(btnImport, 2, 1);
    layout->addWidget(btnZamknij, 2, 2);
    resize(440, 420);

    connect(btnOdczytaj, &QPushButton::clicked, this, &TImport_kont::btnOdczytajClick);
    connect(btnImport, &QPushButton::clicked, this, &TImport_kont::btnImportClick);
    connect(btnZamknij, &QPushButton::clicked, this, &QWidget::hide);
    connect(ListView1, &QTreeWidget::itemClicked, this, &TImport_kont::ListView1Click);
    connect(ListView1, &QTreeWidget::itemSelectionChanged, this, &TImport_kont::ListView1Click);
    connect(ComboBox2, &QComboBox::activated, this, &TImport_kont::ComboBox2Change);
    // Without a separator character there is nothing to split at; another
    // one splits the lines differently from the header read.
    connect(Separator, &QLineEdit::textChanged, this, [this](const QString& separator) {
        btnOdczytaj->setEnabled(!separator.isEmpty());
        btnImport->setEnabled(false);
    });
    // Esc and "Zamknij" hide the form; it is not modal.
    connect(this, &ui::TForm::modalResultSet, this, &QWidget::hide);
    OpenDialog1 =
        new ui::TOpenDialog(QStringLiteral("OpenDialog1"), QString::fromUtf8("Otworz plik kontaktów"),
                            QString::fromUtf8("Plik kontaktów(*.csv)|*.csv|Wszystkie pliki (*.*)|*.*"), this);
    lgLangLinked1 = i18n::CreateLinkedTranslation(this);
    CancelOnEscape(*this);
}

std::string TImport_kont::text(const char* key) const {
    return lgLangLinked1 ? lgLangLinked1->GetTextOrDefault(key) : std::string();
}

QChar TImport_kont::separatorChar() const {
    const QString separator = Separator->text();
    return separator.isEmpty() ? QChar() : separator.front();
}

void TImport_kont::showEvent(QShowEvent* event) {
    TForm::showEvent(event);
    FormShow();
}

bool TImport_kont::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate)
        FormActivate();
    return TForm::event(event);
}

void TImport_kont::FormShow() {
    ListView1->clear();
    file_ = {};
    ComboBox2->hide();
}

void TImport_kont::FormActivate() {
    ComboBox2->clear();
    ComboBox2->addItem(QString());
    if (console_)
        ComboBox2->addItems(console_->ContactFieldNames());
    // The file must be read again after the window was left.
    btnImport->setEnabled(false);
}

void TImport_kont::placeComboBox() {
    QTreeWidgetItem* item = ListView1->currentItem();
    if (!item)
        return;
    const int row = ListView1->indexOfTopLevelItem(item);
    ComboBox2->setGeometry(ListView1->visualItemRect(item).adjusted(ListView1->columnWidth(0), 0, 0, 0));
    const int entry = row < admin::MaxImportColumns ? columnFieldMap_[std::size_t(row)] : 0;
    ComboBox2->setCurrentIndex(entry < ComboBox2->count() ? entry : 0);
    ComboBox2->show();
    ComboBox2->raise();
}

void TImport_kont::ListView1Click() {
    placeComboBox();
}

void TImport_kont::ComboBox2Change() {
    ComboBox2->hide();
    QTreeWidgetItem* item = ListView1->currentItem();
    const int entry = ComboBox2->currentIndex();
    if (!item || entry < 0)
        return;
    const int row = ListView1->indexOfTopLevelItem(item);
    if (row < 0 || row >= admin::MaxImportColumns)
        return;
    // A field feeds one column only.
    for (int other = 0; other < admin::MaxImportColumns; ++other)
        if (entry != 0 && other != row && columnFieldMap_[std::size_t(other)] == entry)
            return;
    columnFieldMap_[std::size_t(row)] = entry;
    item->setText(1, entry == 0 ? QString() : ComboBox2->itemText(entry));
}

void TImport_kont::btnOdczytajClick() {
    btnImport->setEnabled(false);
    const QChar separator = separatorChar();
    if (separator.isNull())
        return;
    const std::string name = OpenDialog1->Execute(this);
    if (name.empty())
        return;
    columnFieldMap_ = {};
    ListView1->clear();
    file_ = {};
    QFile source(QString::fromStdString(name));
    admin::ContactCsvFile read;
    if (source.open(QIODevice::ReadOnly) && std::size_t(source.size()) <= admin::MaxImportFileBytes)
        read = admin::ReadContactCsv(source.readAll().toStdString(), separator);
    if (!read.valid) {
        ui::dialogs().MessageBox(text("IDS_0"), text("IDS_1"), ui::MB_ICONWARNING | ui::MB_OK, ui::IDOK,
                                 this);
        return;
    }
    file_ = std::move(read);
    for (const std::string& column : file_.header)
        ListView1->AddRow({QString::fromStdString(column), QString()});
    if (file_.header.empty())
        return;
    ListView1->setCurrentItem(ListView1->topLevelItem(0));
    placeComboBox();
    btnImport->setEnabled(true);
}

void TImport_kont::btnImportClick() {
    const QChar separator = separatorChar();
    if (!console_ || separator.isNull() || !btnImport->isEnabled())
        return;
    console_->ImportContacts(file_, separator, columnFieldMap_,
                             [this](const char* key) { return text(key); });
}
