// Binary translation files (".LGB"): one file holding the translation
// components of many forms. Layout, little-endian, offsets from the file's
// start: the 42-byte header (41 characters and a 0x00), u16 N entries, u16 L,
// L bytes of fixed-language lines each ended by CR LF; N directory entries
// (u16 K, K bytes of the owner form's class name, u32 offset of the block);
// then the N component blocks in directory order.
#pragma once

#include "i18n/TextFunctions.h"

#include <QPointer>
#include <string>
#include <string_view>
#include <vector>

class TlgCustomLang;

// True when the file name's extension is ".lgb" in any case.
bool lgIsBinaryFile(const std::string& fileName);

class TLGBFileManager {
  public:
    TLGBFileManager();
    // Reads the file when it exists; a file that does not read cleanly raises.
    explicit TLGBFileManager(const std::string& fileName);
    ~TLGBFileManager();
    TLGBFileManager(const TLGBFileManager&) = delete;
    TLGBFileManager& operator=(const TLGBFileManager&) = delete;

    // A component with an owner replaces the entry of its owner's class; any
    // other is appended. Returns the index used.
    int Add(TlgCustomLang* component);
    void Clear();
    // Frees the listed components the manager owns (those without owner) and empties the list.
    void ClearList();
    void Remove(int index);
    void Move(int from, int to);
    const std::string& GetOwnerNames(int index) const;
    void SetOwnerNames(int index, const std::string& name);
    TlgCustomLang* GetlgComponents(int index) const;
    void SetlgComponents(int index, TlgCustomLang* component);
    int GetCompCount() const { return int(entries_.size()); }
    int GetComponentSize(int index) const;
    void SetFixedLanguages(const i18n::TStrings& languages);
    const i18n::TStrings& FixedLanguages() const { return fixedLanguages_; }
    const std::string& Header() const { return header_; }

    // Copies the block of the owner class's entry into `target`; nothing when
    // the file has no such entry. A file that does not check out raises
    // ELanguageError "Unrecognized stream format!" and leaves `target` as it was.
    void LoadFromFile(TlgCustomLang* target, const std::string& ownerName, const std::string& fileName);
    void LoadFromStream(TlgCustomLang* target, const std::string& ownerName, std::string_view stream);
    // Only the list of one kind.
    void LoadPropFromFile(int type, const std::string& fileName, const std::string& ownerName,
                          TlgCustomLang* target);
    void LoadAllFromFile(const std::string& fileName);
    void ReadFileContent(const std::string& fileName);
    // Takes every entry of a file; on a format error the manager is unchanged.
    void ReadStreamContent(std::string_view stream);
    void SaveToFile(const std::string& fileName);
    void SaveToStream(std::string& stream);
    void AssignTo(TLGBFileManager& destination);

  private:
    struct Entry {
        std::string ownerName;
        QPointer<TlgCustomLang> component;
        bool owned = false; // read from a file: the manager frees it
    };
    Entry& at(int index);
    const Entry& at(int index) const;
    static void release(Entry& entry);
    void dropVanished();

    std::vector<Entry> entries_;
    std::string header_;
    i18n::TStrings fixedLanguages_;
};
