#include "shell/ProgramForms.h"

#include "admin/AdminForms.h"
#include "shell/AboutBox.h"
#include "shell/MainForm.h"

namespace {

template <class Form> void deleteForm(Form*& form) {
    delete form;
    form = nullptr;
}

} // namespace

void CreateProgramForms(TForm1& main) {
    Konfiguracja = new TKonfiguracja();
    Konfiguracja->console = &main.Admin();
    Exportuj = new TExportuj();
    Import_kont = new TImport_kont();
    UserForm = new TUserForm();
    TelFm = new TTelFm();
    Pomoc = new TPomoc();
    frmFindPhone = new TfrmFindPhone();
    frmMessage = new TfrmMessage();
    frmSmsRoutingRule = new TfrmSmsRoutingRule();
}

void DeleteProgramForms() {
    deleteForm(frmSmsRoutingRule);
    deleteForm(frmMessage);
    deleteForm(frmFindPhone);
    deleteForm(Pomoc);
    deleteForm(TelFm);
    deleteForm(UserForm);
    deleteForm(Import_kont);
    deleteForm(Exportuj);
    deleteForm(Konfiguracja);
}
