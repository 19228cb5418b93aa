// Translation of the texts the Qt run time shows itself (button captions of
// standard dialogs, context menus, ...): a translator installed once per
// process for the first component that asks for it.
#pragma once

#include <QPointer>
#include <QTranslator>

class TlgCustomLang;

namespace i18n {

class ResourceStringTranslator : public QTranslator {
    Q_OBJECT
  public:
    explicit ResourceStringTranslator(TlgCustomLang* component);
    // The component's text in its active language for a text of its resource
    // language; null (no translation) otherwise.
    QString translate(const char* context, const char* sourceText, const char* disambiguation,
                      int n) const override;
    bool isEmpty() const override { return false; }

  private:
    QPointer<TlgCustomLang> component_;
};

// Makes `component` the process's resource-string translator unless one was
// made before; true when this call installed it. It stays installed for the
// rest of the process (a destroyed component translates nothing).
bool InstallResourceStringTranslator(TlgCustomLang* component);

} // namespace i18n
