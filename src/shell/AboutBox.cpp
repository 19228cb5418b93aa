#include "shell/AboutBox.h"

#include "i18n/FormTranslation.h"
#include "shell/MainForm.h"
#include "shell/ProgramIcon.h"

#include <QGridLayout>

TPomoc* Pomoc = nullptr;

TPomoc::TPomoc(QWidget* owner) : TForm(QStringLiteral("Pomoc"), owner) {
    SetCaption(QStringLiteral("Informacje o programie"));
    setWindowFlags(Qt::Dialog | Qt::WindowStaysOnTopHint);
    SetScreenCentred(true);
    auto* layout = new QGridLayout(this);
    ProductName = new ui::TLabel(QStringLiteral("ProductName"), QStringLiteral("VORLIN Halvex"), this);
    QFont big = ProductName->font();
    big.setPointSize(big.pointSize() + 6);
    big.setBold(true);
    ProductName->setFont(big);
    VersionCaption =
        new ui::TLabel(QStringLiteral("VersionCaption"), QStringLiteral("Wersja programu:"), this);
    Version = new ui::TLabel(QStringLiteral("Version"), QString(), this);
    OKButton = new ui::TButton(QStringLiteral("OKButton"), QStringLiteral("OK"), this);
    OKButton->SetModalResult(ui::mrOk);
    // The logo: the program's own icon, drawn large.
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(shell::ProgramIcon().pixmap(LogoSize, LogoSize));
    layout->addWidget(Image1, 0, 0, 3, 1, Qt::AlignTop);
    layout->addWidget(ProductName, 0, 1, 1, 2);
    layout->addWidget(VersionCaption, 1, 1);
    layout->addWidget(Version, 1, 2);
    layout->addWidget(OKButton, 2, 2);
    connect(OKButton, &QPushButton::clicked, this, &QWidget::hide);
    lgLangLinked1 = i18n::CreateLinkedTranslation(this);
}

void TPomoc::showEvent(QShowEvent* event) {
    if (Form1 && Form1->Wersja) {
        const TExeVersion& v = *Form1->Wersja;
        Version->setText(
            QString::fromStdString(v.GetMajorVersion() + "." + v.GetMinorVersion() + "." + v.GetRelease()));
    }
    TForm::showEvent(event);
}
