// Extended translations: any published property reachable from the form,
// named by a property path, with its value in every language. The values of
// one item are one string, each language's text followed by the component's
// language delimiter.
#pragma once

#include "ui/PropertyPath.h"

#include <QObject>
#include <QPointer>
#include <memory>
#include <string>
#include <vector>

class TlgCustomLang;
class TlgExtendedItems;

class TlgExtendedItem {
  public:
    explicit TlgExtendedItem(TlgExtendedItems* collection) : collection_(collection) {}
    TlgExtendedItem(const TlgExtendedItem&) = delete;
    TlgExtendedItem& operator=(const TlgExtendedItem&) = delete;

    // The path: the stored one, or, with a related component, that
    // component's current name (the form's class name for the form itself)
    // followed by the stored path from its first full stop on.
    std::string Identifier() const;
    void SetIdentifier(const std::string& identifier) { identifier_ = identifier; }
    const std::string& StoredIdentifier() const { return identifier_; }
    // The component at which the path starts, not owned.
    QObject* RelatedComponent() const { return related_; }
    void SetRelatedComponent(QObject* component) { related_ = component; }
    // Whether the path starts at the form ("<form class>.").
    bool IsRoot() const;
    std::string GetDisplayName() const;

    std::string Values;
    TTypeKind PropertyType = tkUnknown;
    // The binary form of Values: its bytes as they stand.
    const std::string& ValuesEx() const { return Values; }
    void SetValuesEx(const std::string& bytes) { Values = bytes; }

    // Text k (1-based) of Values: the text between delimiters k-1 and k.
    std::string Piece(int k, char delim) const;
    // Copies the stored identifier, Values and PropertyType.
    void Assign(const TlgExtendedItem& source);
    TlgExtendedItems* Collection() const { return collection_; }
    int Index() const;

  private:
    TlgExtendedItems* collection_;
    std::string identifier_;
    QPointer<QObject> related_;
};

class TlgExtendedItems {
  public:
    explicit TlgExtendedItems(TlgCustomLang* owner = nullptr) : owner_(owner) {}
    // Copies carry copies of the items; an assigned collection keeps its owner.
    TlgExtendedItems(const TlgExtendedItems& source);
    TlgExtendedItems& operator=(const TlgExtendedItems& source);

    TlgCustomLang* GetOwner() const { return owner_; }
    int Count() const { return int(items_.size()); }
    TlgExtendedItem& Add();
    TlgExtendedItem& Items(int i) { return *items_[std::size_t(i)]; }
    const TlgExtendedItem& Items(int i) const { return *items_[std::size_t(i)]; }
    // Writing item i copies the given item into it.
    void SetItems(int i, const TlgExtendedItem& source) { Items(i).Assign(source); }
    void Delete(int i) { items_.erase(items_.begin() + i); }
    void Clear() { items_.clear(); }
    // The first item whose Identifier equals `id`, ASCII case ignored; null when none.
    TlgExtendedItem* Find(const std::string& id) const;
    int IndexOf(const TlgExtendedItem* item) const;

  private:
    TlgCustomLang* owner_;
    std::vector<std::unique_ptr<TlgExtendedItem>> items_;
};
