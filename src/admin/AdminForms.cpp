#include "admin/AdminForms.h"

#include "i18n/FormTranslation.h"

#include <QKeyEvent>

TKonfiguracja* Konfiguracja = nullptr;
TExportuj* Exportuj = nullptr;
TImport_kont* Import_kont = nullptr;
TUserForm* UserForm = nullptr;
TTelFm* TelFm = nullptr;
TfrmFindPhone* frmFindPhone = nullptr;
TfrmMessage* frmMessage = nullptr;
TfrmSmsRoutingRule* frmSmsRoutingRule = nullptr;

namespace {

class EscapeFilter : public QObject {
  public:
    explicit EscapeFilter(ui::TForm& form) : QObject(&form), form_(form) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
            form_.SetModalResult(ui::mrCancel);
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    ui::TForm& form_;
};

} // namespace

void CancelOnEscape(ui::TForm& form) {
    auto* filter = new EscapeFilter(form);
    form.installEventFilter(filter);
    for (QWidget* control : form.findChildren<QWidget*>())
        control->installEventFilter(filter);
}
