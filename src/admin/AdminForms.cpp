#include "admin/AdminForms.h"

#include "i18n/FormTranslation.h"

TKonfiguracja* Konfiguracja = nullptr;
TExportuj* Exportuj = nullptr;
TImport_kont* Import_kont = nullptr;
TUserForm* UserForm = nullptr;
TTelFm* TelFm = nullptr;
TfrmFindPhone* frmFindPhone = nullptr;
TfrmMessage* frmMessage = nullptr;
TfrmSmsRoutingRule* frmSmsRoutingRule = nullptr;

TKonfiguracja::TKonfiguracja(QWidget* owner) : TForm(QStringLiteral("Konfiguracja"), owner) {
    SetCaption(QStringLiteral("Konfiguracja"));
    lgLangLinked1 = i18n::CreateLinkedTranslation(this);
}
TExportuj::TExportuj(QWidget* owner) : TForm(QStringLiteral("Exportuj"), owner) {
    lgLangLinked1 = i18n::CreateLinkedTranslation(this);
}
TImport_kont::TImport_kont(QWidget* owner) : TForm(QStringLiteral("Import_kont"), owner) {
    lgLangLinked1 = i18n::CreateLinkedTranslation(this);
}
TfrmFindPhone::TfrmFindPhone(QWidget* owner) : TForm(QStringLiteral("frmFindPhone"), owner) {
    lgLangLinked1 = i18n::CreateLinkedTranslation(this);
}
