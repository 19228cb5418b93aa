#include "i18n/StringsCollection.h"

#include "i18n/LangComponent.h"

namespace i18n {

TlgStringsCollectionItem& TlgStringsCollection::Add() {
    return items_.emplace_back();
}

std::string TlgStringsCollection::textOf(const TlgStringsCollectionItem& item, int lang) {
    if (lang < 1 || lang > int(item.Values.size()))
        return {};
    return item.Values[std::size_t(lang - 1)];
}

int TlgStringsCollection::SortByID(const TlgStringsCollectionItem& a,
                                   const TlgStringsCollectionItem& b) const {
    return CompareIgnoreCase(a.ID, b.ID);
}

std::string TlgStringsCollection::sortText(const TlgStringsCollectionItem& item) const {
    return textOf(item, sortLanguage_);
}

int TlgStringsCollection::SortByLang(const TlgStringsCollectionItem& a,
                                     const TlgStringsCollectionItem& b) const {
    if (sortLanguage_ == 0)
        return 0;
    return CompareIgnoreCase(sortText(a), sortText(b));
}

void TlgStringsCollection::Sort() {
    if (items_.empty())
        return;
    if (sortLanguage_ == 0)
        QuickSort(0, Count() - 1, [this](const auto& a, const auto& b) { return SortByID(a, b); });
    else
        QuickSort(0, Count() - 1, [this](const auto& a, const auto& b) { return SortByLang(a, b); });
}

void TlgStringsCollection::QuickSort(int l, int r, const Compare& compare) {
    do {
        int i = l, j = r;
        const TlgStringsCollectionItem pivot = items_[std::size_t(unsigned(l + r) / 2)];
        do {
            while (compare(items_[std::size_t(i)], pivot) < 0)
                ++i;
            while (compare(items_[std::size_t(j)], pivot) > 0)
                --j;
            if (i <= j) {
                if (i != j)
                    std::swap(items_[std::size_t(i)], items_[std::size_t(j)]);
                ++i;
                --j;
            }
        } while (i <= j);
        if (l < j)
            QuickSort(l, j, compare);
        l = i;
    } while (l < r);
}

int TlgStringsCollection::GetIDIndex(const std::string& id) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (EqualsIgnoreCase(items_[i].ID, id))
            return int(i);
    return -1;
}

std::string TlgStringsCollection::GetTranslationByID(const std::string& id, int lang) const {
    if (items_.empty())
        return {};
    int lo = 0, hi = Count() - 1;
    do {
        const int mid = (lo + hi) / 2;
        const int c = CompareIgnoreCase(items_[std::size_t(mid)].ID, id);
        if (c == 0)
            return textOf(items_[std::size_t(mid)], lang);
        if (c > 0) {
            hi = mid;
        } else if (mid == lo) {
            if (mid + 1 < Count() && EqualsIgnoreCase(items_[std::size_t(mid + 1)].ID, id))
                return textOf(items_[std::size_t(mid + 1)], lang);
            return {};
        } else {
            lo = mid;
        }
    } while (hi > lo);
    return {};
}

const TlgStringsCollectionItem* TlgStringsCollection::findByText(const std::string& text) const {
    if (items_.empty())
        return nullptr;
    auto key = [this](const TlgStringsCollectionItem& item) { return ExpandEscapes(sortText(item)); };
    int lo = 0, hi = Count() - 1;
    do {
        const int mid = (lo + hi) / 2;
        const int c = CompareIgnoreCase(key(items_[std::size_t(mid)]), text);
        if (c == 0)
            return &items_[std::size_t(mid)];
        if (c > 0) {
            hi = mid;
        } else if (mid == lo) {
            if (mid + 1 < Count() && EqualsIgnoreCase(key(items_[std::size_t(mid + 1)]), text))
                return &items_[std::size_t(mid + 1)];
            return nullptr;
        } else {
            lo = mid;
        }
    } while (hi > lo);
    return nullptr;
}

std::string TlgStringsCollection::GetTranslationByLang(const std::string& text, int lang) const {
    const TlgStringsCollectionItem* item = findByText(text);
    if (!item)
        return text;
    std::string result = textOf(*item, lang);
    if (result.empty() && lang >= 2 && owner_ && owner_->DispatcherTestMode())
        result = UnicodeUpper(textOf(*item, 1));
    return result;
}

std::string TlgStringsCollection::GetTranslationByLang2(const std::string& text, int lang) const {
    const TlgStringsCollectionItem* item = findByText(text);
    return item ? textOf(*item, lang) : std::string();
}

} // namespace i18n
