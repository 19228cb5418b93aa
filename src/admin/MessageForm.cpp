// The administrator's message to every connected client. The text travels
// as one field of a text message: '&' would split it and the byte 255 would
// end it early, so neither can get in, typed or pasted.
#include "admin/AdminForms.h"

#include "i18n/FormTranslation.h"
#include "platform/WireCodePage.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace {

bool isWireByte255(QChar c) {
    if (c.unicode() < 0x80)
        return false;
    return platform::toWire(QString(c).toStdString()) == "\xff";
}

} // namespace

QString AllowedMessageText(const QString& text) {
    QString allowed;
    allowed.reserve(text.size());
    for (QChar c : text) {
        if (c == QLatin1Char('&') || isWireByte255(c))
            continue;
        allowed += c;
    }
    // Whole characters only: a pair of surrogates is not split.
    if (allowed.size() > TfrmMessage::MessageLimit) {
        int cut = TfrmMessage::MessageLimit;
        if (allowed[cut - 1].isHighSurrogate())
            --cut;
        allowed.truncate(cut);
    }
    return allowed;
}

TfrmMessage::TfrmMessage(QWidget* owner) : TForm(QStringLiteral("frmMessage"), owner) {
    SetCaption(QString::fromUtf8("Wiadomość do podłączonych"));
    auto* layout = new QVBoxLayout(this);
    Memo1 = new ui::TMemo(QStringLiteral("Memo1"), this);
    layout->addWidget(Memo1);
    auto* buttons = new QHBoxLayout();
    btnSend = new ui::TButton(QStringLiteral("btnSend"), QString::fromUtf8("Wyślij"), this);
    btnSend->SetModalResult(ui::mrOk);
    btnCancel = new ui::TButton(QStringLiteral("btnCancel"), QString::fromUtf8("Anuluj"), this);
    btnCancel->SetModalResult(ui::mrCancel);
    buttons->addWidget(btnSend);
    buttons->addWidget(btnCancel);
    layout->addLayout(buttons);
    connect(Memo1, &QPlainTextEdit::textChanged, this, [this] {
        const QString text = Memo1->toPlainText();
        const QString allowed = AllowedMessageText(text);
        if (allowed == text)
            return;
        const QSignalBlocker quiet(Memo1);
        const int position = Memo1->textCursor().position();
        Memo1->setPlainText(allowed);
        QTextCursor cursor = Memo1->textCursor();
        cursor.setPosition(
            std::min(int(allowed.size()), std::max(0, position - int(text.size() - allowed.size()))));
        Memo1->setTextCursor(cursor);
    });
    // This form shares no dialog captions with the main window.
    lgLangLinked1 = i18n::CreateLinkedTranslation(this, false);
}
