#include "shell/ProgressWindow.h"

#include "i18n/FormTranslation.h"
#include "shell/MainForm.h"

#include <QCloseEvent>
#include <QVBoxLayout>

TOknoInfo* OknoInfo = nullptr;

TOknoInfo::TOknoInfo(QWidget* owner) : TForm(QStringLiteral("OknoInfo"), owner) {
    SetCaption(QStringLiteral("Halvex"));
    setWindowFlags(Qt::Dialog | Qt::WindowStaysOnTopHint);
    SetScreenCentred(true);
    auto* layout = new QVBoxLayout(this);
    Label1 = new ui::TLabel(QStringLiteral("Label1"), QStringLiteral("Inicjalizacja programu "), this);
    QFont bold = Label1->font();
    bold.setBold(true);
    Label1->setFont(bold);
    progress = new ui::TProgressBar(QStringLiteral("progress"), this);
    progress->setRange(0, 100);
    OknoInfoTimer = new ui::TTimer(QStringLiteral("OknoInfoTimer"), 1000, false, this);
    AbortButton = new ui::TButton(QStringLiteral("AbortButton"), QStringLiteral("Abort"), this);
    AbortButton->SetModalResult(ui::mrAbort);
    AbortButton->hide();
    layout->addWidget(Label1);
    layout->addWidget(progress);
    layout->addWidget(AbortButton);
    resize(360, 110);
    connect(OknoInfoTimer, &QTimer::timeout, this, &TOknoInfo::OknoInfoTimerTimer);
    lgLangLinked1 = i18n::CreateLinkedTranslation(this);
}

void TOknoInfo::Start() {
    progress->setRange(0, 44);
    progress->setValue(0);
    OknoInfoTimer->SetEnabled(true);
    AbortButton->show();
    if (Form1)
        Form1->SetDbConnectAborted(false);
}

void TOknoInfo::Stop() {
    progress->setRange(0, 100);
    progress->setValue(0);
    OknoInfoTimer->SetEnabled(false);
    AbortButton->hide();
}

void TOknoInfo::OknoInfoTimerTimer() {
    progress->SetPosition(progress->value() + 1);
}

// The close box ends a modal show with Cancel.
void TOknoInfo::closeEvent(QCloseEvent* event) {
    if (HeldOpen) {
        event->ignore();
        return;
    }
    SetModalResult(ui::mrCancel);
    event->accept();
}
