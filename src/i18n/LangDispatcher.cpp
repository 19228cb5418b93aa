#include "i18n/LangDispatcher.h"

#include "i18n/LangComponent.h"

#include "i18n/LGBFile.h"
#include "i18n/TranslationFileIo.h"

#include <algorithm>

TlgLangDispatcher::TlgLangDispatcher(QObject* owner, const QString& name) : QObject(owner) {
    setObjectName(name);
}

TlgLangDispatcher::~TlgLangDispatcher() {
    // Detaching a component takes it out of the list: walk a copy, last first.
    const std::vector<TlgCustomLang*> components = Snapshot();
    for (auto it = components.rbegin(); it != components.rend(); ++it)
        (*it)->SetLangDispatcher(nullptr);
}

std::vector<TlgCustomLang*> TlgLangDispatcher::Snapshot() const {
    std::vector<TlgCustomLang*> out;
    for (const auto& component : components_)
        if (component)
            out.push_back(component);
    return out;
}

TlgCustomLang* TlgLangDispatcher::GetLgLangs(int index) const {
    return index >= 0 && index < int(components_.size()) ? components_[std::size_t(index)].data() : nullptr;
}

void TlgLangDispatcher::RemovePossibleReference(TlgCustomLang* component) {
    auto it = std::find(components_.begin(), components_.end(), component);
    if (it != components_.end())
        components_.erase(it);
}

void TlgLangDispatcher::AddReference(TlgCustomLang* component) {
    RemovePossibleReference(component);
    components_.push_back(component);
    component->SetNumLang(numOfLanguages_);
    component->SetLangNames(langNames_);
    if (!fileName_.empty() && lgIsBinaryFile(fileName_)) {
        if (!binaryFileManager_)
            binaryFileManager_ = std::make_unique<TLGBFileManager>();
        if (i18n::FileExists(fileName_))
            component->LoadAllFromBinaryFile(fileName_);
    } else if (!fileName_.empty()) {
        // The file loader's rules: a missing file changes nothing.
        component->LoadAllFromFile(fileName_, true);
    }
    component->SetActLang(activeLanguage_);
    if (OnLinkToDispatcher)
        OnLinkToDispatcher(this, component);
}

void TlgLangDispatcher::SetActiveLanguage(int language) {
    if (language < 1 || language > numOfLanguages_)
        throw ELanguageError(std::to_string(language) +
                             " - is not a valid property value!\rValue must be within [1.." +
                             std::to_string(numOfLanguages_) + "]!");
    activeLanguage_ = language;
    for (TlgCustomLang* component : Snapshot())
        component->SetActLang(language);
    if (int(langNames_.size()) >= language)
        language_ = langNames_[std::size_t(language - 1)];
}

void TlgLangDispatcher::SetNumOfLanguages(int count) {
    if (count < 1)
        throw ELanguageError(std::to_string(count) +
                             " - is not a valid property value !\rValue must be more than ZERO !");
    numOfLanguages_ = count;
    while (int(langNames_.size()) < count)
        langNames_.push_back("Language N" + std::to_string(langNames_.size() + 1));
    langNames_.resize(std::size_t(count));
    activeLanguage_ = std::clamp(activeLanguage_, 1, count);
    for (TlgCustomLang* component : Snapshot())
        component->SetNumLang(count);
}

void TlgLangDispatcher::SetLangNames(const i18n::TStrings& names) {
    if (&names == &langNames_)
        return;
    langNames_ = names.empty() ? i18n::TStrings{"Language N1"} : names;
    if (activeLanguage_ >= 1 && int(langNames_.size()) >= activeLanguage_)
        language_ = langNames_[std::size_t(activeLanguage_ - 1)];
    for (TlgCustomLang* component : Snapshot()) {
        component->SetLangNames(langNames_);
        component->SetLanguage(language_);
    }
    SetNumOfLanguages(int(langNames_.size()));
}

void TlgLangDispatcher::SetLanguage(const std::string& name) {
    if (name == language_)
        return;
    SetActiveLanguage(i18n::LanguageNumberOf(langNames_, name));
}

void TlgLangDispatcher::LoadAllFromFile(const std::string& fileName) {
    const auto components = Snapshot();
    if (lgIsBinaryFile(fileName)) {
        for (TlgCustomLang* component : components)
            component->LoadAllFromBinaryFile(fileName);
    } else {
        const std::string text = i18n::ReadTranslationText(fileName);
        for (TlgCustomLang* component : components)
            component->LoadAllFromStream(text, true, false);
        for (TlgCustomLang* component : components)
            component->ChangeLanguage();
    }
    takeLanguagesOfFirst(components);
}

void TlgLangDispatcher::LoadAllFromStream(std::string_view binaryStream) {
    const auto components = Snapshot();
    for (TlgCustomLang* component : components)
        component->LoadAllFromBinaryStream(binaryStream);
    takeLanguagesOfFirst(components);
}

void TlgLangDispatcher::takeLanguagesOfFirst(const std::vector<TlgCustomLang*>& components) {
    if (!components.empty()) {
        langNames_ = components.front()->LangNames();
        numOfLanguages_ = components.front()->NumOfLanguages();
    }
}

void TlgLangDispatcher::SaveAllToFile(const std::string& fileName, const std::string& fileDelim) {
    std::string text = i18n::FileExists(fileName) ? i18n::ReadTranslationText(fileName) : std::string();
    for (TlgCustomLang* component : Snapshot())
        component->SaveAllToStream(text, fileDelim);
    i18n::WriteFileAtomically(fileName, text);
}

void TlgLangDispatcher::SaveAllToBinaryFile(const std::string& fileName) {
    for (TlgCustomLang* component : Snapshot())
        component->SaveAllToBinaryFile(fileName);
}
