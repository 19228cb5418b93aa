#include "i18n/ExtendedItems.h"

#include "i18n/LangComponent.h"

std::string TlgExtendedItem::Identifier() const {
    if (!related_)
        return identifier_;
    const TlgCustomLang* owner = collection_ ? collection_->GetOwner() : nullptr;
    const bool isForm = owner && related_ == owner->FormOwner();
    const std::string head = isForm ? owner->OwnerClassName() : related_->objectName().toStdString();
    const std::size_t dot = identifier_.find('.');
    return head + (dot == std::string::npos ? std::string() : identifier_.substr(dot));
}

bool TlgExtendedItem::IsRoot() const {
    const TlgCustomLang* owner = collection_ ? collection_->GetOwner() : nullptr;
    if (!owner || owner->OwnerClassName().empty())
        return false;
    const std::string prefix = owner->OwnerClassName() + ".";
    return Identifier().compare(0, prefix.size(), prefix) == 0;
}

std::string TlgExtendedItem::GetDisplayName() const {
    const std::string id = Identifier();
    return id.empty() ? "TlgExtendedItem" : id;
}

std::string TlgExtendedItem::Piece(int k, char delim) const {
    return k < 1 ? std::string() : i18n::ExtractTranslation(delim + Values, delim, k);
}

void TlgExtendedItem::Assign(const TlgExtendedItem& source) {
    if (&source == this)
        return;
    identifier_ = source.identifier_;
    Values = source.Values;
    PropertyType = source.PropertyType;
}

int TlgExtendedItem::Index() const {
    return collection_ ? collection_->IndexOf(this) : -1;
}

TlgExtendedItems::TlgExtendedItems(const TlgExtendedItems& source) : owner_(nullptr) {
    *this = source;
}

TlgExtendedItems& TlgExtendedItems::operator=(const TlgExtendedItems& source) {
    if (&source == this)
        return *this;
    items_.clear();
    for (const auto& item : source.items_)
        Add().Assign(*item);
    return *this;
}

TlgExtendedItem& TlgExtendedItems::Add() {
    return *items_.emplace_back(std::make_unique<TlgExtendedItem>(this));
}

TlgExtendedItem* TlgExtendedItems::Find(const std::string& id) const {
    for (const auto& item : items_)
        if (i18n::EqualsIgnoreCase(item->Identifier(), id))
            return item.get();
    return nullptr;
}

int TlgExtendedItems::IndexOf(const TlgExtendedItem* item) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (items_[i].get() == item)
            return int(i);
    return -1;
}
