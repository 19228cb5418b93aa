#include "admin/AdminForms.h"

TKonfiguracja* Konfiguracja = nullptr;
TExportuj* Exportuj = nullptr;
TImport_kont* Import_kont = nullptr;
TUserForm* UserForm = nullptr;
TTelFm* TelFm = nullptr;
TfrmFindPhone* frmFindPhone = nullptr;
TfrmMessage* frmMessage = nullptr;

TKonfiguracja::TKonfiguracja(QWidget* owner) : TForm(QStringLiteral("Konfiguracja"), owner) {
    SetCaption(QStringLiteral("Konfiguracja"));
}
TExportuj::TExportuj(QWidget* owner) : TForm(QStringLiteral("Exportuj"), owner) {}
TImport_kont::TImport_kont(QWidget* owner) : TForm(QStringLiteral("Import_kont"), owner) {}
TUserForm::TUserForm(QWidget* owner) : TForm(QStringLiteral("UserForm"), owner) {}
TTelFm::TTelFm(QWidget* owner) : TForm(QStringLiteral("TelFm"), owner) {}
TfrmFindPhone::TfrmFindPhone(QWidget* owner) : TForm(QStringLiteral("frmFindPhone"), owner) {}
TfrmMessage::TfrmMessage(QWidget* owner) : TForm(QStringLiteral("frmMessage"), owner) {}
