// The routing-rule editor of the SMS page.
#include "admin/AdminForms.h"

#include "i18n/FormTranslation.h"
#include "ui/Dialogs.h"
#include "ui/ListSort.h"

#include <QGridLayout>
#include <QHeaderView>
#include <QKeyEvent>

namespace {

QString s(const char* text) {
    return QString::fromUtf8(text);
}

// Moves the first selected row of `from` to the end of `to`, all columns.
void moveFirstSelected(ui::TListView& from, ui::TListView& to) {
    const QList<QTreeWidgetItem*> selected = from.selectedItems();
    if (selected.isEmpty())
        return;
    QTreeWidgetItem* row = selected.front();
    QStringList cells;
    for (int column = 0; column < from.columnCount(); ++column)
        cells << row->text(column);
    to.AddRow(cells);
    delete row;
}

// What a key may type into a field: any key with Ctrl held (pasting), the
// editing keys, and the characters `allowed` lists.
bool keyAllowed(const QKeyEvent& key, const QString& allowed) {
    if (key.modifiers() & Qt::ControlModifier)
        return true;
    const QString text = key.text();
    if (text.isEmpty() || !text.at(0).isPrint())
        return true;
    return std::all_of(text.begin(), text.end(), [&](QChar c) { return allowed.contains(c); });
}

} // namespace

TfrmSmsRoutingRule::TfrmSmsRoutingRule(QWidget* owner) : TForm(QStringLiteral("frmSmsRoutingRule"), owner) {
    SetCaption(s("Dodaj/edytuj regułę dystrybucji wiadomości SMS z karty GSM"));
    auto* layout = new QGridLayout(this);
    auto field = [&](int row, const char* labelName, const char* label, const char* name, const char* text) {
        layout->addWidget(new ui::TLabel(s(labelName), s(label), this), row, 0, 1, 2);
        auto* edit = new ui::TEdit(s(name), s(text), this);
        layout->addWidget(edit, row, 2);
        return edit;
    };
    edPriority = field(
        0, "Label1", "Priorytet reguły (kolejność sprawdzania po otrzymaniu wiadomości):", "edPriority", "1");
    edPriority->setMaxLength(9);
    edSourcePattern = field(1, "Label2", "Jeśli numer nadawcy pasuje do wzorca", "edSourcePattern", "_");
    edLinePattern = field(2, "Label3", "a numer własny linii GSM pasuje do wzorca", "edLinePattern", "_");
    edSourcePattern->setMaxLength(30);
    edLinePattern->setMaxLength(30);
    auto list = [&](int column, const char* labelName, const char* label, const char* name) {
        layout->addWidget(new ui::TLabel(s(labelName), s(label), this), 3, column);
        auto* view = new ui::TListView(s(name), this);
        for (const char* caption : {"ID", "Grupa", "Nazwa"})
            view->AddColumn(s(caption));
        layout->addWidget(view, 4, column, 2, 1);
        return view;
    };
    lvAvailableRecipients = list(0, "Label4", "Dostępni adresaci:", "lvAvailableRecipients");
    lvAvailableRecipients->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvRecipients = list(2, "Label5", "Adresaci przypisani do reguły (do 20):", "lvRecipients");
    btnAddRecipients = new ui::TButton(s("btnAddRecipients"), s("-->"), this);
    btnRemoveRecipients = new ui::TButton(s("btnRemoveRecipients"), s("<--"), this);
    layout->addWidget(btnAddRecipients, 4, 1);
    layout->addWidget(btnRemoveRecipients, 5, 1);
    btnAccept = new ui::TButton(s("btnAccept"), s("Zatwierdź"), this);
    btnCancel = new ui::TButton(s("btnCancel"), s("Anuluj"), this);
    btnCancel->SetModalResult(ui::mrCancel);
    layout->addWidget(btnAccept, 6, 0);
    layout->addWidget(btnCancel, 6, 2);
    connect(btnAddRecipients, &QPushButton::clicked, this, [this] { btnAddRecipientsClick(); });
    connect(btnRemoveRecipients, &QPushButton::clicked, this, [this] { btnRemoveRecipientsClick(); });
    connect(lvAvailableRecipients, &QTreeWidget::itemDoubleClicked, this,
            [this] { btnAddRecipientsClick(); });
    connect(lvRecipients, &QTreeWidget::itemDoubleClicked, this, [this] { btnRemoveRecipientsClick(); });
    connect(btnAccept, &QPushButton::clicked, this, [this] { btnAcceptClick(); });
    for (ui::TListView* view : {lvAvailableRecipients, lvRecipients})
        connect(view->header(), &QHeaderView::sectionClicked, this,
                [view](int column) { ui::ListColumnClick(*view, column); });
    edPriority->installEventFilter(this);
    edSourcePattern->installEventFilter(this);
    FormCreate();
    lgLangLinked1 = i18n::CreateLinkedTranslation(this);
}

// Width 0 in the columns themselves, so that the translation's captions,
// which show the columns again as the collection has them, keep it hidden.
void TfrmSmsRoutingRule::FormCreate() {
    for (ui::TListView* view : {lvAvailableRecipients, lvRecipients})
        view->Columns()[0]->SetWidth(0);
}

bool TfrmSmsRoutingRule::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto& key = *static_cast<QKeyEvent*>(event);
        if (watched == edPriority && !keyAllowed(key, s("0123456789")))
            return true;
        if (watched == edSourcePattern && !keyAllowed(key, s("0123456789_?")))
            return true;
    }
    return TForm::eventFilter(watched, event);
}

void TfrmSmsRoutingRule::FillAvailableRecipients(const std::vector<QStringList>& users) {
    lvAvailableRecipients->clear();
    lvRecipients->clear();
    for (const QStringList& user : users)
        lvAvailableRecipients->AddRow(user);
}

void TfrmSmsRoutingRule::SetRuleDialogData(const std::vector<std::int32_t>& ids) {
    lvRecipients->clear();
    for (const std::int32_t id : ids) {
        const QString wanted = QString::number(id);
        for (int row = 0; row < lvAvailableRecipients->topLevelItemCount(); ++row) {
            QTreeWidgetItem* item = lvAvailableRecipients->topLevelItem(row);
            if (item->text(0) == wanted) {
                lvAvailableRecipients->clearSelection();
                item->setSelected(true);
                moveFirstSelected(*lvAvailableRecipients, *lvRecipients);
                break;
            }
        }
    }
}

std::vector<std::int32_t> TfrmSmsRoutingRule::GetRuleDialogData() const {
    std::vector<std::int32_t> ids;
    for (int row = 0; row < lvRecipients->topLevelItemCount(); ++row) {
        bool number = false;
        const int id = lvRecipients->topLevelItem(row)->text(0).toInt(&number);
        ids.push_back(number ? id : 1);
    }
    return ids;
}

void TfrmSmsRoutingRule::btnAddRecipientsClick() {
    while (!lvAvailableRecipients->selectedItems().isEmpty()) {
        if (lvRecipients->topLevelItemCount() >= MaxRecipients) {
            ui::dialogs().MessageBox(lgLangLinked1->GetTextOrDefault("IDS_0"), Caption().toStdString(),
                                     ui::MB_OK | ui::MB_ICONINFORMATION, ui::IDOK);
            return;
        }
        moveFirstSelected(*lvAvailableRecipients, *lvRecipients);
    }
}

void TfrmSmsRoutingRule::btnRemoveRecipientsClick() {
    while (!lvRecipients->selectedItems().isEmpty())
        moveFirstSelected(*lvRecipients, *lvAvailableRecipients);
}

void TfrmSmsRoutingRule::btnAcceptClick() {
    if (!edPriority->text().isEmpty() && !edSourcePattern->text().trimmed().isEmpty() &&
        !edLinePattern->text().trimmed().isEmpty()) {
        SetModalResult(ui::mrOk);
        return;
    }
    SetModalResult(ui::mrNone);
    ui::dialogs().MessageBox(lgLangLinked1->GetTextOrDefault("IDS_1"), Caption().toStdString(),
                             ui::MB_OK | ui::MB_ICONINFORMATION, ui::IDOK);
}
