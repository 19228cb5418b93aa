// The find dialogs of the console: a phrase search over a list view, and
// the search for the owner of a telephone number.
#include "admin/AdminForms.h"

#include "i18n/FormTranslation.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

TFindForm::TFindForm(QWidget* owner, QTreeView* list, RowTexts rowTexts)
    : TForm(QStringLiteral("FindForm"), owner), list_(list), rowTexts_(std::move(rowTexts)) {
    SetCaption(QStringLiteral("Szukaj frazy"));
    auto* layout = new QHBoxLayout(this);
    Edit1 = new ui::TEdit(QStringLiteral("Edit1"), QString(), this);
    Edit1->setMaxLength(255);
    FindButton = new ui::TButton(QStringLiteral("FindButton"), QStringLiteral("Szukaj"), this);
    layout->addWidget(Edit1);
    layout->addWidget(FindButton);
    connect(FindButton, &QPushButton::clicked, this, &TFindForm::FindButtonClick);
    connect(Edit1, &ui::TEdit::enterPressed, this, &TFindForm::FindButtonClick);
    connect(Edit1, &QLineEdit::textChanged, this, &TFindForm::Edit1Change);
    lgLangLinked1 = i18n::CreateLinkedTranslation(this);
    CancelOnEscape(*this);
}

void TFindForm::Edit1Change() {
    searchPosition_ = 0;
}

bool TFindForm::rowContains(int row, const QString& phrase) const {
    QStringList texts;
    if (rowTexts_) {
        texts = rowTexts_(row);
    } else {
        // A row without a cell in a column has nothing there to find.
        const QAbstractItemModel* rows = list_->model();
        for (int column = 1; column < rows->columnCount(); ++column)
            if (const QVariant cell = rows->index(row, column).data(); cell.isValid())
                texts << cell.toString();
    }
    for (const QString& text : texts)
        if (text.toUpper().contains(phrase))
            return true;
    return false;
}

void TFindForm::FindButtonClick() {
    const QString phrase = Edit1->text().toUpper();
    const int count = list_->model()->rowCount();
    if (count == 0)
        return;
    // Two passes: from the position to the end, then from the top.
    for (int pass = 0; pass < 2; ++pass) {
        if (searchPosition_ >= count)
            searchPosition_ = 0;
        for (; searchPosition_ < count; ++searchPosition_) {
            if (!rowContains(searchPosition_, phrase))
                continue;
            const QModelIndex found = list_->model()->index(searchPosition_, 0);
            list_->clearSelection();
            list_->scrollTo(found);
            list_->selectionModel()->setCurrentIndex(found, QItemSelectionModel::ClearAndSelect |
                                                                QItemSelectionModel::Rows);
            ++searchPosition_;
            return;
        }
    }
}

TfrmFindPhone::TfrmFindPhone(QWidget* owner) : TForm(QStringLiteral("frmFindPhone"), owner) {
    SetCaption(QString::fromUtf8("Znajdź telefon"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new ui::TLabel(QStringLiteral("Label1"), QStringLiteral("Numer telefonu:"), this));
    auto* row = new QHBoxLayout();
    edPhone = new ui::TEdit(QStringLiteral("edPhone"), QString(), this);
    btnSzukaj = new ui::TButton(QStringLiteral("btnSzukaj"), QStringLiteral("Szukaj"), this);
    row->addWidget(edPhone);
    row->addWidget(btnSzukaj);
    layout->addLayout(row);
    connect(btnSzukaj, &QPushButton::clicked, this, &TfrmFindPhone::btnSzukajClick);
    connect(edPhone, &ui::TEdit::enterPressed, this, &TfrmFindPhone::btnSzukajClick);
    // Digits only, typed or pasted, at most PhoneLimit of them: the number
    // goes into a query. The limit is kept here, not by the edit, so that a
    // pasted "12-34-56" keeps all its digits.
    connect(edPhone, &QLineEdit::textChanged, this, [this](const QString& text) {
        QString digits;
        for (QChar c : text)
            if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
                digits += c;
        digits.truncate(PhoneLimit);
        if (digits == text)
            return;
        const QSignalBlocker quiet(edPhone);
        edPhone->setText(digits);
    });
    lgLangLinked1 = i18n::CreateLinkedTranslation(this);
}

void TfrmFindPhone::showEvent(QShowEvent* event) {
    TForm::showEvent(event);
    edPhone->setFocus();
}

void TfrmFindPhone::btnSzukajClick() {
    if (edPhone->text().isEmpty() || !OnSearch)
        return;
    OnSearch(edPhone->text().toStdString());
}
