#include "ui/PropInfoList.h"

#include <QByteArray>

#include <algorithm>

namespace ui {

namespace {
bool sameName(const char* a, std::string_view b) {
    return qstrlen(a) == b.size() && qstrnicmp(a, b.data(), b.size()) == 0;
}
} // namespace

TlgPropInfoList::TlgPropInfoList(const QObject* object, const std::set<int>& kinds) {
    const QMetaObject* meta = object->metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i)
        if (kinds.count(meta->property(i).userType()))
            items_.push_back(meta->property(i));
    // Of names equal but for case, the most derived class's comes first, as
    // FindProperty finds it.
    std::sort(items_.begin(), items_.end(), [](const QMetaProperty& a, const QMetaProperty& b) {
        const int order = qstricmp(a.name(), b.name());
        return order != 0 ? order < 0 : a.propertyIndex() > b.propertyIndex();
    });
}

bool TlgPropInfoList::Contains(const QMetaProperty& property) const {
    return std::any_of(items_.begin(), items_.end(), [&](const QMetaProperty& item) {
        return item.userType() == property.userType() && sameName(item.name(), property.name());
    });
}

const QMetaProperty* TlgPropInfoList::Find(std::string_view name) const {
    for (const auto& item : items_)
        if (sameName(item.name(), name))
            return &item;
    return nullptr;
}

QMetaProperty FindProperty(const QObject* object, std::string_view name) {
    if (!object || name.empty())
        return {};
    const QMetaObject* meta = object->metaObject();
    for (int i = meta->propertyCount() - 1; i >= 0; --i)
        if (sameName(meta->property(i).name(), name))
            return meta->property(i);
    return {};
}

void TlgPropInfoList::Delete(int i) {
    items_.erase(items_.begin() + i);
}

void TlgPropInfoList::Intersect(const TlgPropInfoList& other) {
    for (int i = Count() - 1; i >= 0; --i)
        if (!other.Contains(Get(i)))
            Delete(i);
}

} // namespace ui
