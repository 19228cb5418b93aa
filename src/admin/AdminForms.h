// The administration console's forms, created at start in a fixed order.
#pragma once

#include "ui/Components.h"

class TlgLangLinked;

class TKonfiguracja : public ui::TForm {
    Q_OBJECT
  public:
    explicit TKonfiguracja(QWidget* owner = nullptr);
    TlgLangLinked* lgLangLinked1 = nullptr;
};

class TExportuj : public ui::TForm {
    Q_OBJECT
  public:
    explicit TExportuj(QWidget* owner = nullptr);
    TlgLangLinked* lgLangLinked1 = nullptr;
};

class TImport_kont : public ui::TForm {
    Q_OBJECT
  public:
    explicit TImport_kont(QWidget* owner = nullptr);
    TlgLangLinked* lgLangLinked1 = nullptr;
};

class TUserForm : public ui::TForm {
    Q_OBJECT
  public:
    explicit TUserForm(QWidget* owner = nullptr);
    TlgLangLinked* lgLangLinked1 = nullptr;
};

class TTelFm : public ui::TForm {
    Q_OBJECT
  public:
    explicit TTelFm(QWidget* owner = nullptr);
    TlgLangLinked* lgLangLinked1 = nullptr;
};

class TfrmFindPhone : public ui::TForm {
    Q_OBJECT
  public:
    explicit TfrmFindPhone(QWidget* owner = nullptr);
    TlgLangLinked* lgLangLinked1 = nullptr;
};

class TfrmMessage : public ui::TForm {
    Q_OBJECT
  public:
    explicit TfrmMessage(QWidget* owner = nullptr);
    TlgLangLinked* lgLangLinked1 = nullptr;
};

// The editor of one routing rule for received SMS.
class TfrmSmsRoutingRule : public ui::TForm {
    Q_OBJECT
  public:
    explicit TfrmSmsRoutingRule(QWidget* owner = nullptr);
    TlgLangLinked* lgLangLinked1 = nullptr;
};

extern TKonfiguracja* Konfiguracja;
extern TExportuj* Exportuj;
extern TImport_kont* Import_kont;
extern TUserForm* UserForm;
extern TTelFm* TelFm;
extern TfrmFindPhone* frmFindPhone;
extern TfrmMessage* frmMessage;
extern TfrmSmsRoutingRule* frmSmsRoutingRule;
