#include "ui/FormStorage.h"

#include "base/DiagnosticLog.h"
#include "ui/Components.h"

namespace ui {

TlgFormStorage::TlgFormStorage(TForm* form) : QObject(form), form_(form) {
    setObjectName(QStringLiteral("lgFormStorage1"));
}

TlgFormStorage::~TlgFormStorage() {
    FormDestroing(this);
}

void TlgFormStorage::SetRegRootKey(TMyHKeyType type) {
    rootType_ = type;
    root_ = type == lgHKEY_CURRENT_USER ? platform::RegistryBranch::User : platform::RegistryBranch::Machine;
}

TlgFormStorage::Placement TlgFormStorage::placement() const {
    return {QRect(form_->x(), form_->y(), form_->width(), form_->height()), form_->windowState()};
}

void TlgFormStorage::place(const Placement& placement) const {
    form_->move(placement.geometry.topLeft());
    form_->resize(placement.geometry.size());
    form_->setWindowState(placement.state);
}

void TlgFormStorage::Loaded() {
    if (!active_)
        return;
    const Placement before = placement();
    try {
        platform::RegistryKey key(root_);
        if (!key.OpenKey(subKey_.toStdString(), true))
            throw platform::RegistryError("the key cannot be opened");
        const std::string state = key.ReadString("State");
        if (state.empty())
            return;
        Placement stored{QRect(key.ReadInteger("Left"), key.ReadInteger("Top"), key.ReadInteger("Width"),
                               key.ReadInteger("Height")),
                         before.state};
        const char kind = state.size() > 2 ? state[2] : '\0';
        if (kind == 'r')
            stored.state = Qt::WindowNoState;
        else if (kind == 'n')
            stored.state = Qt::WindowMinimized;
        else if (kind == 'x')
            stored.state = Qt::WindowMaximized;
        place(stored);
    } catch (const std::exception& e) {
        place(before);
        base::WriteLog(2,
                       "The stored placement of form %s under %s cannot be read (%s); the form keeps its own",
                       qUtf8Printable(form_->objectName()), qUtf8Printable(subKey_), e.what());
    }
}

void TlgFormStorage::FormDestroing(QObject* /*sender*/) {
    if (!active_ || stored_)
        return;
    stored_ = true;
    try {
        platform::RegistryKey key(root_);
        if (!key.OpenKey(subKey_.toStdString(), true))
            throw platform::RegistryError("the key cannot be opened or created");
        const Qt::WindowStates state = form_->windowState();
        if (state & Qt::WindowMinimized)
            key.WriteString("State", "Minimized");
        else if (state & Qt::WindowMaximized)
            key.WriteString("State", "Maximized");
        else {
            key.WriteString("State", "Normal");
            key.WriteInteger("Top", form_->y());
            key.WriteInteger("Left", form_->x());
            key.WriteInteger("Height", form_->height());
            key.WriteInteger("Width", form_->width());
        }
    } catch (const std::exception& e) {
        base::WriteLog(2, "The placement of form %s cannot be stored under %s: %s",
                       qUtf8Printable(form_->objectName()), qUtf8Printable(subKey_), e.what());
    }
}

} // namespace ui
