// Keeps a form's position, size and window state in the settings store: read
// back when the form has loaded, written when it is destroyed.
#pragma once

#include "platform/RegistryStore.h"

#include <QObject>
#include <QRect>
#include <QString>

class QWidget;

namespace ui {

class TForm;

class TlgFormStorage : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool Active READ Active WRITE SetMyActive)
    Q_PROPERTY(QString SubKey READ SubKey WRITE SetSubKey)
    Q_PROPERTY(TMyHKeyType RegRootKey READ RegRootKey WRITE SetRegRootKey)
  public:
    // The settings store has a user branch and a machine branch: the current
    // user's root maps to the first, every other root to the second.
    enum TMyHKeyType {
        lgHKEY_CURRENT_USER,
        lgHKEY_CLASSES_ROOT,
        lgHKEY_LOCAL_MACHINE,
        lgHKEY_USERS,
        lgHKEY_CURRENT_CONFIG,
        lgHKEY_DYN_DATA
    };
    Q_ENUM(TMyHKeyType)

    // The form owns the storage.
    explicit TlgFormStorage(TForm* form);
    ~TlgFormStorage() override;

    bool Active() const { return active_; }
    void SetMyActive(bool active) { active_ = active; }
    QString SubKey() const { return subKey_; }
    void SetSubKey(const QString& subKey) { subKey_ = subKey; }
    TMyHKeyType RegRootKey() const { return rootType_; }
    void SetRegRootKey(TMyHKeyType type);
    QWidget* GetForm() const { return form_; }

    // Restores the stored position, size and state; what cannot be read
    // leaves the form as it was.
    void Loaded();
    // Stores the state, and for a form in the normal state its position and size.
    void FormDestroing(QObject* sender);

  private:
    struct Placement {
        QRect geometry;
        Qt::WindowStates state;
    };
    Placement placement() const;
    void place(const Placement& placement) const;

    QWidget* form_;
    bool active_ = true;
    QString subKey_;
    TMyHKeyType rootType_ = lgHKEY_CURRENT_USER;
    platform::RegistryBranch root_ = platform::RegistryBranch::User;
    bool stored_ = false; // written once, whether by the form's end or by ours
};

} // namespace ui
