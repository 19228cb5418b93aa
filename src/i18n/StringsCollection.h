// The message list of a translation component kept a second time as items
// sorted by key (or by the text of one language), found by binary search.
#pragma once

#include "i18n/TextFunctions.h"

#include <functional>
#include <string>
#include <vector>

class TlgCustomLang;

namespace i18n {

struct TlgStringsCollectionItem {
    std::string ID;
    TStrings Values; // text k-1 is the message in language k
    void SetValues(const TStrings& values) { Values = values; }
};

class TlgStringsCollection {
  public:
    explicit TlgStringsCollection(const ::TlgCustomLang* owner = nullptr) : owner_(owner) {}
    const ::TlgCustomLang* GetOwner() const { return owner_; }
    int Count() const { return int(items_.size()); }
    TlgStringsCollectionItem& Add();
    TlgStringsCollectionItem& Items(int i) { return items_[std::size_t(i)]; }
    const TlgStringsCollectionItem& Items(int i) const { return items_[std::size_t(i)]; }
    void Clear() { items_.clear(); }
    int SortLanguage() const { return sortLanguage_; }
    void SetSortLanguage(int language) { sortLanguage_ = language; }

    // Sorts by ID (sort language 0) or by the text of the sort language.
    void Sort();
    int GetIDIndex(const std::string& id) const;
    std::string GetTranslationByID(const std::string& id, int lang) const;
    std::string GetTranslationByLang(const std::string& text, int lang) const;
    std::string GetTranslationByLang2(const std::string& text, int lang) const;

  private:
    using Compare = std::function<int(const TlgStringsCollectionItem&, const TlgStringsCollectionItem&)>;
    int SortByID(const TlgStringsCollectionItem& a, const TlgStringsCollectionItem& b) const;
    int SortByLang(const TlgStringsCollectionItem& a, const TlgStringsCollectionItem& b) const;
    void QuickSort(int l, int r, const Compare& compare);
    std::string sortText(const TlgStringsCollectionItem& item) const;
    const TlgStringsCollectionItem* findByText(const std::string& text) const;
    static std::string textOf(const TlgStringsCollectionItem& item, int lang);

    const ::TlgCustomLang* owner_;
    std::vector<TlgStringsCollectionItem> items_;
    int sortLanguage_ = 0;
};

} // namespace i18n
