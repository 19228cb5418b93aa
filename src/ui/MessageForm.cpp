#include "ui/MessageForm.h"

#include "ui/Dialogs.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QStyle>
#include <QUrl>
#include <algorithm>
#include <cmath>

namespace ui {

int MulDiv(int a, int b, int c) {
    return c == 0 ? -1 : int(std::lround(double(a) * b / c));
}

QSize LgGetAveCharSize(const QFontMetrics& metrics) {
    static const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    return {metrics.horizontalAdvance(letters) / 52, metrics.height()};
}

TDialogForm::TDialogForm(const QString& name) : TForm(name) {}

void TDialogForm::keyPressEvent(QKeyEvent* event) {
    // Enter clicks the button that has the focus, else the default button.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        auto* focused = qobject_cast<QPushButton*>(focusWidget());
        QPushButton* target = focused ? focused : DefaultButton;
        if (target && target->isEnabled()) {
            target->click();
            return;
        }
    }
    if (event->key() == Qt::Key_Escape) {
        if (CancelButton)
            CancelButton->click();
        return;
    }
    TForm::keyPressEvent(event);
}

void TDialogForm::closeEvent(QCloseEvent* event) {
    if (ModalResult() == mrNone)
        SetModalResult(CancelButton ? CancelButton->ModalResult() : int(mrCancel));
    event->accept();
}

TMessageForm::TMessageForm() : TDialogForm(QStringLiteral("MessageForm")) {
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);
}

namespace {

QStyle::StandardPixmap iconOf(unsigned flags) {
    switch (flags & 0xF0) {
    case MB_ICONERROR:
        return QStyle::SP_MessageBoxCritical;
    case MB_ICONQUESTION:
        return QStyle::SP_MessageBoxQuestion;
    case MB_ICONWARNING:
        return QStyle::SP_MessageBoxWarning;
    default:
        return QStyle::SP_MessageBoxInformation;
    }
}

QRect screenArea() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry() : QRect(0, 0, 1024, 768);
}

} // namespace

TMessageForm* CreateMessageForm(const MessageFormSpec& spec) {
    auto* form = new TMessageForm();
    form->setLayoutDirection(QGuiApplication::layoutDirection());
    if (spec.fontSource)
        form->setFont(spec.fontSource->font());
    form->SetCaption(spec.caption);
    form->HelpContext = spec.helpContext;
    form->HelpFile = spec.helpFile;
    const QFontMetrics metrics(form->font());
    const QSize ave = LgGetAveCharSize(metrics);
    const int x = ave.width(), y = ave.height();
    const int horzMargin = MulDiv(8, x, 4), vertMargin = MulDiv(8, y, 8);
    const int horzSpacing = MulDiv(10, x, 4), vertSpacing = MulDiv(10, y, 8);
    const int buttonHeight = MulDiv(14, y, 8), buttonSpacing = MulDiv(4, x, 4);

    std::vector<TButton*> buttons;
    int buttonWidth = MulDiv(50, x, 4);
    for (const MessageFormButton& b : spec.buttons) {
        auto* button = new TButton(b.name, b.caption, form);
        button->SetModalResult(b.result);
        buttons.push_back(button);
        QString plain = b.caption;
        plain.remove(QLatin1Char('&'));
        // A Qt button also needs its style's margins around the text.
        buttonWidth =
            std::max({buttonWidth, metrics.horizontalAdvance(plain) + 8, button->sizeHint().width()});
        if (b.result == 0)
            QObject::connect(button, &QPushButton::clicked, form,
                             [form] { ShowHelpContext(form->HelpContext, form->HelpFile); });
    }

    const QRect screen = screenArea();
    const QRect textRect = metrics.boundingRect(QRect(0, 0, screen.width() / 2, 0),
                                                Qt::TextWordWrap | Qt::TextExpandTabs, spec.text);
    const bool hasIcon = spec.iconFlags & 0xF0;
    const int iconTextWidth = textRect.width() + (hasIcon ? 32 + horzSpacing : 0);
    const int iconTextHeight = hasIcon ? std::max(textRect.height(), 32) : textRect.height();
    const int n = int(buttons.size());
    const int groupWidth = n > 0 ? n * buttonWidth + (n - 1) * buttonSpacing : 0;
    const int clientWidth = std::max(iconTextWidth, groupWidth) + 2 * horzMargin;
    const int clientHeight = iconTextHeight + buttonHeight + vertSpacing + 2 * vertMargin;
    form->setFixedSize(clientWidth, clientHeight);
    form->move(screen.width() / 2 - clientWidth / 2, screen.height() / 2 - clientHeight / 2);

    if (hasIcon) {
        form->Image = new QLabel(form);
        form->Image->setObjectName(QStringLiteral("Image"));
        form->Image->setGeometry(horzMargin, vertMargin, 32, 32);
        form->Image->setPixmap(form->style()->standardIcon(iconOf(spec.iconFlags)).pixmap(32, 32));
    }
    form->Message = new TLabel(QStringLiteral("Message"), spec.text, form);
    form->Message->setWordWrap(true);
    form->Message->setTextFormat(Qt::PlainText);
    int left = iconTextWidth - textRect.width() + horzMargin;
    if (form->layoutDirection() == Qt::RightToLeft)
        left = clientWidth - left - textRect.width();
    form->Message->setGeometry(left, vertMargin, textRect.width(), textRect.height());

    int buttonLeft = (clientWidth - groupWidth) / 2;
    const int buttonTop = iconTextHeight + vertMargin + vertSpacing;
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        TButton* button = buttons[i];
        button->setGeometry(buttonLeft, buttonTop, buttonWidth, buttonHeight);
        buttonLeft += buttonWidth + buttonSpacing;
        const int result = spec.buttons[i].result;
        if (result != 0 && result == spec.defaultResult) {
            button->setDefault(true);
            form->DefaultButton = button;
        }
        if (result != 0 && result == spec.cancelResult)
            form->CancelButton = button;
    }
    if (form->DefaultButton)
        form->DefaultButton->setFocus();
    return form;
}

TDialogForm* CreateInputQueryForm(const QString& caption, const QString& prompt, const QString& value) {
    auto* form = new TDialogForm(QStringLiteral("InputQueryForm"));
    form->SetCaption(caption);
    const QSize ave = LgGetAveCharSize(QFontMetrics(form->font()));
    const int x = ave.width(), y = ave.height();
    const int clientWidth = MulDiv(180, x, 4);

    auto* label = new TLabel(QStringLiteral("Prompt"), prompt, form);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    const int labelWidth = MulDiv(164, x, 4);
    label->setGeometry(MulDiv(8, x, 4), MulDiv(8, y, 8), labelWidth, label->heightForWidth(labelWidth));
    auto* edit = new TEdit(QStringLiteral("Edit"), QString(), form);
    edit->setMaxLength(255);
    edit->setText(value);
    edit->selectAll();
    edit->setGeometry(label->x(), label->geometry().bottom() + 1 + 5, MulDiv(164, x, 4),
                      edit->sizeHint().height());

    const int buttonTop = edit->geometry().bottom() + 1 + 15;
    const int buttonWidth = MulDiv(50, x, 4), buttonHeight = MulDiv(14, y, 8);
    // Qt's own texts of these two buttons, in the language Qt speaks.
    auto* ok = new TButton(QStringLiteral("OK"), QCoreApplication::translate("QPlatformTheme", "OK"), form);
    ok->SetModalResult(mrOk);
    ok->setDefault(true);
    ok->setGeometry(MulDiv(38, x, 4), buttonTop, buttonWidth, buttonHeight);
    auto* cancel =
        new TButton(QStringLiteral("Cancel"), QCoreApplication::translate("QPlatformTheme", "Cancel"), form);
    cancel->SetModalResult(mrCancel);
    cancel->setGeometry(MulDiv(92, x, 4), buttonTop, buttonWidth, buttonHeight);
    form->DefaultButton = ok;
    form->CancelButton = cancel;
    form->setFixedSize(clientWidth, cancel->geometry().bottom() + 1 + 13);
    form->SetScreenCentred(true);
    edit->setFocus();
    return form;
}

namespace {
HelpHandler& helpHandler() {
    static HelpHandler handler;
    return handler;
}
} // namespace

void SetHelpHandler(HelpHandler handler) {
    helpHandler() = std::move(handler);
}

void ShowHelpContext(int context, const QString& helpFile) {
    if (helpHandler()) {
        helpHandler()(context, helpFile);
        return;
    }
    if (!helpFile.isEmpty() && !QDesktopServices::openUrl(QUrl::fromLocalFile(helpFile)))
        dialogs().MessageBox("Cannot open the help file " + helpFile.toStdString(), "Help", MB_ICONERROR,
                             IDOK);
}

} // namespace ui
