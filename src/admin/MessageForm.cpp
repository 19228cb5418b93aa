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
    SetCaption(QString::fromUtf8("Wiadomość do podłączonych użytkowników"));
    auto* layout = new QVBoxLayout(this);
    Memo1 = new ui::TMemo(QStringLiteral("Memo1"), this);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    layout->addWidget(Memo1);
    layout->addWidget(new ui::TLabel(
        QStringLiteral("Label1"),
        QString::fromUtf8("Wiadomość otrzymają wyłącznie aktualnie podłączeni użytkownicy"), this));
    layout->addWidget(new ui::TLabel(QStringLiteral("Label2"),
                                     QString::fromUtf8("Wiadomość nie zostanie zachowana w historii"), this));
    auto* buttons = new QHBoxLayout();
    btnSendMessage = new ui::TButton(QStringLiteral("btnSendMessage"), QString::fromUtf8("Wyślij"), this);
    btnSendMessage->SetModalResult(ui::mrOk);
    buttons->addStretch();
    buttons->addWidget(btnSendMessage);
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
    CancelOnEscape(*this);
}
