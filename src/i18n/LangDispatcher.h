// Keeps every translation component of the program on one language: setting
// its language switches every registered component, so every open form, and
// a component registering later starts in that language.
#pragma once

#include "i18n/TextFunctions.h"

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

class TlgCustomLang;
class TLGBFileManager;

class TlgLangDispatcher : public QObject {
    Q_OBJECT
  public:
    explicit TlgLangDispatcher(QObject* owner, const QString& name = QStringLiteral("lgLangDispatcher"));
    ~TlgLangDispatcher() override;

    // Registers a component (again at the end when it was already there) and
    // hands it the dispatcher's languages.
    void AddReference(TlgCustomLang* component);
    void RemovePossibleReference(TlgCustomLang* component);
    // The registered components, copied: a handler may create or destroy forms meanwhile.
    std::vector<TlgCustomLang*> Snapshot() const;
    TlgCustomLang* GetLgLangs(int index) const;
    int GetLgLangsCount() const { return int(components_.size()); }

    int ActiveLanguage() const { return activeLanguage_; }
    // Refuses (ELanguageError, nothing changed) a language outside 1..NumOfLanguages.
    void SetActiveLanguage(int language);
    int NumOfLanguages() const { return numOfLanguages_; }
    // Refuses (ELanguageError, nothing changed) a count below 1.
    void SetNumOfLanguages(int count);
    const i18n::TStrings& LangNames() const { return langNames_; }
    void SetLangNames(const i18n::TStrings& names);
    const std::string& Language() const { return language_; }
    void SetLanguage(const std::string& name);
    const std::string& FileName() const { return fileName_; }
    void SetFileName(const std::string& name) { fileName_ = name; }
    // Loads one language text file into every registered component, then re-translates them all.
    void LoadAllFromFile(const std::string& fileName);
    void SaveAllToFile(const std::string& fileName, const std::string& fileDelim);
    // Binary translation files: every registered component in turn.
    void LoadAllFromStream(std::string_view binaryStream);
    void SaveAllToBinaryFile(const std::string& fileName);
    // The manager of a binary FileName, made when a component first loads it; null before.
    TLGBFileManager* BinaryFileManager() const { return binaryFileManager_.get(); }

    bool TestMode = false;
    std::function<void(TlgLangDispatcher*, TlgCustomLang*)> OnLinkToDispatcher;

  private:
    void takeLanguagesOfFirst(const std::vector<TlgCustomLang*>& components);
    std::vector<QPointer<TlgCustomLang>> components_;
    int activeLanguage_ = 1;
    int numOfLanguages_ = 1;
    std::string language_;
    i18n::TStrings langNames_{"Language N1"};
    std::string fileName_;
    std::unique_ptr<TLGBFileManager> binaryFileManager_;
};
