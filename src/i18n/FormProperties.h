// What applying and collecting share: list lines and their keys, string
// lists on both sides of Qt, and the action a control takes its texts from.
#pragma once

#include "i18n/TextFunctions.h"
#include "ui/PropInfoList.h"

#include <QObject>
#include <QStringList>
#include <algorithm>
#include <string>

namespace i18n {

// Whether `value` is a line of `list`, ASCII case ignored.
inline bool ContainsName(const TStrings& list, const std::string& value) {
    return std::any_of(list.begin(), list.end(),
                       [&](const std::string& s) { return EqualsIgnoreCase(s, value); });
}

// The key of a list line: the text before the first delimiter.
inline std::string KeyOf(const std::string& line, char delim) {
    return line.substr(0, line.find(delim));
}

inline QStringList ToQStringList(const TStrings& lines) {
    QStringList out;
    for (const auto& line : lines)
        out << QString::fromStdString(line);
    return out;
}

inline TStrings FromQStringList(const QStringList& lines) {
    TStrings out;
    for (const auto& line : lines)
        out.push_back(line.toStdString());
    return out;
}

// A control whose published Action holds an action shows the action's
// caption and hint, which the action's own translation gives it.
inline bool BoundToAction(const QObject* component) {
    const QMetaProperty p = ui::FindProperty(component, "Action");
    return p.isValid() && p.read(component).value<QObject*>() != nullptr;
}

} // namespace i18n
