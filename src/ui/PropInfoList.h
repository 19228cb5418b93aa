// The published properties of an object whose types are of the kinds asked
// for, sorted by name: what the translation engine looks through when it
// translates a control.
#pragma once

#include <QMetaProperty>
#include <QObject>

#include <set>
#include <string_view>
#include <vector>

namespace ui {

class TlgPropInfoList {
  public:
    // `kinds`: the QMetaType ids of the property types to keep. The object's
    // own and inherited properties count.
    TlgPropInfoList(const QObject* object, const std::set<int>& kinds);

    int Count() const { return int(items_.size()); }
    const QMetaProperty& Get(int i) const { return items_.at(std::size_t(i)); }
    // Same type, and a name equal ignoring ASCII case.
    bool Contains(const QMetaProperty& property) const;
    // The first property named `name` ignoring ASCII case; null when none.
    const QMetaProperty* Find(std::string_view name) const;
    void Delete(int i);
    // Keeps only the properties `other` contains.
    void Intersect(const TlgPropInfoList& other);

  private:
    std::vector<QMetaProperty> items_;
};

// The property of `object` named `name` ignoring ASCII case, as the lists
// find them; invalid when none (or no object). The most derived class's
// comes first, so a component's published "Visible" or "Font" is found
// before the widget's own "visible" or "font".
QMetaProperty FindProperty(const QObject* object, std::string_view name);

} // namespace ui
