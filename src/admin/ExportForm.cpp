#include "admin/ExportForm.h"

#include "admin/ContactCsv.h"
#include "base/DiagnosticLog.h"
#include "i18n/FormTranslation.h"
#include "i18n/LangComponent.h"
#include "ui/Dialogs.h"

#include <QDropEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QMimeData>

namespace {

QString s(const char* text) {
    return QString::fromUtf8(text);
}

void appendSelected(QListWidget* from, QListWidget* to) {
    if (QListWidgetItem* item = from->currentItem(); item && item->isSelected())
        to->addItem(item->text());
}

} // namespace

TExportuj::TExportuj(QWidget* owner) : TForm(QStringLiteral("Exportuj"), owner) {
    SetCaption(s("Export bazy do formatu CSV"));
    setWindowFlag(Qt::WindowStaysOnTopHint);
    auto* layout = new QGridLayout(this);
    layout->addWidget(new ui::TLabel(s("Label1"), s("Lista wszystkich pól:"), this), 0, 0);
    layout->addWidget(new ui::TLabel(s("Label2"), s("Pola wybrane do eksportu"), this), 0, 2);
    ListBox1 = new ui::TListBox(s("ListBox1"), this);
    ListBox2 = new ui::TListBox(s("ListBox2"), this);
    for (ui::TListBox* box : {ListBox1, ListBox2}) {
        box->setDragEnabled(true);
        box->setDragDropMode(QAbstractItemView::DragOnly);
    }
    ListBox2->setAcceptDrops(true);
    ListBox2->viewport()->installEventFilter(this);
    layout->addWidget(ListBox1, 1, 0, 3, 1);
    layout->addWidget(ListBox2, 1, 2, 3, 1);
    Label4 = new ui::TLabel(s("Label4"), s("-->"), this);
    Label4->SetHint(s("Kliknij 2x aby dodać pole do eksportowanych"));
    Label6 = new ui::TLabel(s("Label6"), s("-->    -->"), this);
    Label6->SetHint(s("Kliknij 2x by dodać wszystkie pola"));
    for (ui::TLabel* label : {Label4, Label6})
        label->installEventFilter(this);
    layout->addWidget(Label4, 1, 1);
    layout->addWidget(Label6, 2, 1);
    layout->addWidget(new ui::TLabel(s("Label3"), s("Separator pól"), this), 4, 0);
    Separator = new ui::TEdit(s("Separator"), s(";"), this);
    Separator->setMaxLength(1);
    layout->addWidget(Separator, 4, 1);
    layout->addWidget(
        new ui::TLabel(s("Label5"), s("Uwaga! Eksportowane do pliku wartości pól są oczyszczane ze "), this),
        5, 0, 1, 3);
    layout->addWidget(
        new ui::TLabel(s("Label7"), s("znaków specjalnych (niedrukowalnych) oraz znaku separatora."), this),
        6, 0, 1, 3);
    layout->addWidget(
        new ui::TLabel(s("Label8"),
                       s("Eksportowany jest pierwszy telefon z listy przypisanych użytkownikowi"), this),
        7, 0, 1, 3);
    Memo = new ui::TMemo(s("Memo"), this);
    Memo->hide();
    EksportujButton = new ui::TButton(s("EksportujButton"), s("Eksportuj"), this);
    Button2 = new ui::TButton(s("Button2"), s("Zamknij"), this);
    layout->addWidget(EksportujButton, 8, 0);
    layout->addWidget(Button2, 8, 2);
    PopupMenu1 = new ui::TPopupMenu(s("PopupMenu1"), this);
    Usu1 = PopupMenu1->Add(s("Usu1"), s("Usuń"));
    ListBox2->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ListBox2, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu1->popup(ListBox2->viewport()->mapToGlobal(at)); });
    connect(Usu1, &QAction::triggered, this, [this] { Usu1Click(); });
    connect(ListBox1, &QListWidget::itemDoubleClicked, this, [this] { ListBox1DblClick(); });
    connect(ListBox2, &QListWidget::itemDoubleClicked, this, [this] { ListBox2DblClick(); });
    connect(EksportujButton, &QPushButton::clicked, this, [this] { EksportujButtonClick(); });
    connect(Button2, &QPushButton::clicked, this, &QWidget::close);
    SaveDialog1 = new ui::TSaveDialog(s("SaveDialog1"), QString(), s("Plik tekstowy kontaktów|*.csv"), this);
    lgLangLinked1 = i18n::CreateLinkedTranslation(this);
}

void TExportuj::showEvent(QShowEvent* event) {
    TForm::showEvent(event);
    FormShow();
}

void TExportuj::FormShow() {
    ListBox1->clear();
    ListBox2->clear();
    if (!SourceList)
        return;
    const QAbstractItemModel* source = SourceList->model();
    for (int column = 1; column < source->columnCount(); ++column)
        ListBox1->addItem(source->headerData(column, Qt::Horizontal).toString());
    if (ListBox1->count() > 0) {
        ListBox1->setCurrentRow(0);
        ListBox1->item(0)->setSelected(true);
    }
}

bool TExportuj::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ListBox2->viewport()) {
        if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
            auto* drag = static_cast<QDropEvent*>(event);
            if (qobject_cast<QListWidget*>(drag->source())) {
                drag->setDropAction(Qt::CopyAction);
                drag->accept();
            } else {
                drag->ignore();
            }
            return true;
        }
        if (event->type() == QEvent::Drop) {
            auto* drop = static_cast<QDropEvent*>(event);
            if (auto* source = qobject_cast<QListWidget*>(drop->source())) {
                ListBox2DragDrop(source);
                drop->setDropAction(Qt::CopyAction);
                drop->accept();
            }
            return true;
        }
    }
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (watched == Label4) {
            ListBox1DblClick();
            return true;
        }
        if (watched == Label6) {
            Label6DblClick();
            return true;
        }
    }
    return TForm::eventFilter(watched, event);
}

void TExportuj::ListBox2DragDrop(QListWidget* source) {
    appendSelected(source, ListBox2);
    // The target takes on the look of the list the field came from.
    ListBox2->setFont(source->font());
    ListBox2->setPalette(source->palette());
}

void TExportuj::ListBox1DblClick() {
    appendSelected(ListBox1, ListBox2);
}

void TExportuj::Label6DblClick() {
    for (int i = 0; i < ListBox1->count(); ++i)
        ListBox2->addItem(ListBox1->item(i)->text());
}

void TExportuj::ListBox2DblClick() {
    for (int i = 0; i < ListBox2->count(); ++i)
        if (ListBox2->item(i)->isSelected()) {
            delete ListBox2->takeItem(i);
            return;
        }
}

void TExportuj::Usu1Click() {
    if (const int i = ListBox2->currentRow(); i >= 0)
        delete ListBox2->takeItem(i);
}

void TExportuj::EksportujButtonClick() {
    Memo->clear();
    if (!SourceList)
        return;
    // Without a chosen field the file would hold only separators and line ends.
    if (ListBox2->count() == 0) {
        ui::dialogs().MessageBox(lgLangLinked1->GetTextOrDefault("IDS_0"), Caption().toStdString(),
                                 ui::MB_ICONINFORMATION | ui::MB_OK, ui::IDOK);
        return;
    }
    const std::string separator = Separator->text().toStdString();
    std::vector<std::string> header;
    std::vector<int> columns;
    const QAbstractItemModel* source = SourceList->model();
    for (int k = 0; k < ListBox2->count(); ++k) {
        const QString field = ListBox2->item(k)->text();
        header.push_back(field.toStdString());
        int found = -1;
        for (int column = 1; column < source->columnCount() && found < 0; ++column)
            if (source->headerData(column, Qt::Horizontal).toString() == field)
                found = column;
        columns.push_back(found);
    }
    std::vector<std::vector<std::string>> rows;
    rows.reserve(std::size_t(source->rowCount()));
    for (int r = 0; r < source->rowCount(); ++r) {
        std::vector<std::string> values;
        for (const int column : columns)
            values.push_back(column < 0 ? std::string()
                                        : source->index(r, column).data().toString().toStdString());
        rows.push_back(std::move(values));
    }
    const QByteArray bytes = admin::CsvFileBytes(header, rows, separator);
    QString path = QString::fromStdString(SaveDialog1->Execute(this));
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".csv");
    QString reason;
    if (!admin::WriteCsvFile(path, bytes, &reason)) {
        const std::string message = path.toStdString() + ": " + reason.toStdString();
        base::WriteLog(2, "Exception:%s", message.c_str());
        ui::dialogs().MessageBox(message, Caption().toStdString(), ui::MB_ICONWARNING | ui::MB_OK, ui::IDOK,
                                 this);
    }
}
