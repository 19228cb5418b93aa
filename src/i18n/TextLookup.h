// Text lookup by key ("IDS_" and a number). Until the translation data is
// built, a lookup yields its key.
#pragma once

#include <QObject>
#include <string>

class TlgCustomLang : public QObject {
    Q_OBJECT
  public:
    TlgCustomLang(const QString& name, QObject* owner) : QObject(owner) { setObjectName(name); }
    std::string GetTextOrDefault(const std::string& key) const { return key; }
};

// Switches every form to one language (1 Polish, 2 English, 3 German, 4 Russian).
class TlgLangDispatcher : public QObject {
    Q_OBJECT
    Q_PROPERTY(int Language READ Language WRITE SetLanguage)
  public:
    TlgLangDispatcher(const QString& name, QObject* owner) : QObject(owner) { setObjectName(name); }
    int Language() const { return language_; }
    void SetLanguage(int language) { language_ = language; }

  private:
    int language_ = 1;
};
