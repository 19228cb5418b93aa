// The translation component's files: language text files (opened, read whole
// and written back atomically around the stream operations) and binary
// translation files through the file manager.
#include "i18n/LGBFile.h"
#include "i18n/LangComponent.h"
#include "i18n/TranslationFileIo.h"

using i18n::TStrings;

int TlgCustomLang::LoadFromFile(int type, const std::string& fileName, bool clearFirst) {
    if (!i18n::FileExists(fileName))
        return -1;
    LoadFromStream(type, i18n::ReadTranslationText(fileName), clearFirst);
    return 0;
}

void TlgCustomLang::LoadAllFromFile(const std::string& fileName, bool clearFirst) {
    if (i18n::FileExists(fileName))
        LoadAllFromStream(i18n::ReadTranslationText(fileName), clearFirst, true);
}

void TlgCustomLang::LoadAllFromFileDNC(const std::string& fileName, bool clearFirst) {
    if (i18n::FileExists(fileName))
        LoadAllFromStream(i18n::ReadTranslationText(fileName), clearFirst, false);
}

int TlgCustomLang::LoadStringsFromFile(const std::string& fileName, bool clearFirst) {
    return LoadFromFile(stStrings, fileName, clearFirst);
}

namespace {
// The file's current text, read in full before anything is written.
std::string existingText(const std::string& fileName) {
    return i18n::FileExists(fileName) ? i18n::ReadTranslationText(fileName) : std::string();
}
} // namespace

int TlgCustomLang::SaveToFile(int type, const std::string& fileName, const std::string& fileDelim) {
    std::string text = existingText(fileName);
    SaveToStream(type, text, fileDelim);
    i18n::WriteFileAtomically(fileName, text);
    return 0;
}

void TlgCustomLang::SaveAllToFile(const std::string& fileName, const std::string& fileDelim) {
    std::string text = existingText(fileName);
    SaveAllToStream(text, fileDelim);
    i18n::WriteFileAtomically(fileName, text);
}

int TlgCustomLang::SaveStringsToFile(const std::string& fileName, const std::string& fileDelim) {
    return SaveToFile(stStrings, fileName, fileDelim);
}

bool TlgCustomLang::MergeFromFile(int type, const std::string& fileName) {
    if (!i18n::FileExists(fileName))
        return false;
    if (lgIsBinaryFile(fileName))
        return mergeList(type, [&] { LoadPropFromBinaryFile(type, fileName); });
    if (!GetPropListByType(type))
        return false;
    return MergeFromStream(type, i18n::ReadTranslationText(fileName));
}

bool TlgCustomLang::MergeAllFromFile(const std::string& fileName) {
    MergeAllFromFileDNC(fileName);
    ChangeLanguage();
    return true;
}

bool TlgCustomLang::MergeAllFromFileDNC(const std::string& fileName) {
    if (!i18n::FileExists(fileName))
        return false;
    if (!lgIsBinaryFile(fileName))
        return MergeAllFromStreamDNC(i18n::ReadTranslationText(fileName));
    return mergeEveryKind([&](int type) { return MergeFromFile(type, fileName); });
}

void TlgCustomLang::SaveAllToBinaryFile(const std::string& fileName) {
    TLGBFileManager manager(fileName);
    manager.Add(this);
    manager.SaveToFile(fileName);
}

void TlgCustomLang::LoadAllFromBinaryFile(const std::string& fileName) {
    if (!parent())
        return;
    TLGBFileManager* shared = dispatcher_ ? dispatcher_->BinaryFileManager() : nullptr;
    TLGBFileManager temporary;
    TLGBFileManager& manager =
        shared && i18n::EqualsIgnoreCase(dispatcher_->FileName(), fileName) ? *shared : temporary;
    manager.LoadFromFile(this, OwnerClassName(), fileName);
    UpdateStrCollections();
    ChangeLanguage();
}

void TlgCustomLang::LoadPropFromBinaryFile(int type, const std::string& fileName) {
    TLGBFileManager().LoadPropFromFile(type, fileName, OwnerClassName(), this);
    if (type == stStrings)
        UpdateStrCollections();
}

void TlgCustomLang::LoadAllFromBinaryStream(std::string_view stream) {
    if (!parent())
        return;
    TLGBFileManager().LoadFromStream(this, OwnerClassName(), stream);
    UpdateStrCollections();
    ChangeLanguage();
}
