// Keeping the lists in step with the form: reaching published properties of
// any object by name, collecting the form's translatable properties into the
// lists, and dropping what belongs to components that are excluded, renamed
// or gone.
#include "i18n/LangComponent.h"

#include "i18n/FormProperties.h"

#include "i18n/LangDispatcher.h"
#include "ui/PropInfoList.h"

#include <QFont>
#include <QMetaProperty>
#include <QStringList>
#include <algorithm>

using i18n::TStrings;

namespace {

// The kind of a published property; fonts, string lists and objects are classes.
TTypeKind kindOf(const QMetaProperty& p) {
    if (p.metaType() == QMetaType::fromType<QFont>() || p.metaType() == QMetaType::fromType<QStringList>() ||
        (p.metaType().flags() & QMetaType::PointerToQObject))
        return tkClass;
    return ui::TypeKindOf(p);
}

// The component layer's name of a property type, beside Qt's own.
std::string layerTypeName(const QMetaProperty& p) {
    if (p.metaType() == QMetaType::fromType<QFont>())
        return "TFont";
    if (p.metaType() == QMetaType::fromType<QStringList>())
        return "TStrings";
    if (p.metaType() == QMetaType::fromType<QString>())
        return "String";
    return p.typeName();
}

// The properties our component layer publishes: those declared by its
// classes, not by Qt's (a widget's own "objectName", "styleSheet", ...).
std::vector<QMetaProperty> publishedProperties(const QObject* object) {
    std::vector<QMetaProperty> out;
    for (const QMetaObject* meta = object->metaObject(); meta; meta = meta->superClass()) {
        if (meta->className()[0] == 'Q')
            continue;
        for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i)
            out.push_back(meta->property(i));
    }
    return out;
}

const char* charsetName(int charset) {
    static const std::pair<int, const char*> names[] = {
        {0, "ANSI_CHARSET"},      {1, "DEFAULT_CHARSET"},    {2, "SYMBOL_CHARSET"},
        {77, "MAC_CHARSET"},      {128, "SHIFTJIS_CHARSET"}, {129, "HANGEUL_CHARSET"},
        {130, "JOHAB_CHARSET"},   {134, "GB2312_CHARSET"},   {136, "CHINESEBIG5_CHARSET"},
        {161, "GREEK_CHARSET"},   {162, "TURKISH_CHARSET"},  {163, "VIETNAMESE_CHARSET"},
        {177, "HEBREW_CHARSET"},  {178, "ARABIC_CHARSET"},   {186, "BALTIC_CHARSET"},
        {204, "RUSSIAN_CHARSET"}, {222, "THAI_CHARSET"},     {238, "EASTEUROPE_CHARSET"},
        {255, "OEM_CHARSET"}};
    for (const auto& [value, name] : names)
        if (value == charset)
            return name;
    return "DEFAULT_CHARSET";
}

bool isCollection(const QObject* object) {
    return object && object->property("Count").isValid() &&
           object->metaObject()->indexOfMethod("Item(int)") >= 0;
}

} // namespace

// ---- settings with setters ----

QStringList TlgCustomLang::doNotTranslateList() const {
    return i18n::ToQStringList(DoNotTranslate);
}
void TlgCustomLang::setDoNotTranslateList(const QStringList& names) {
    SetDoNotTranslate(i18n::FromQStringList(names));
}
QStringList TlgCustomLang::excludedPropertiesList() const {
    return i18n::ToQStringList(ExcludedProperties);
}
void TlgCustomLang::setExcludedPropertiesList(const QStringList& names) {
    SetExcludedProperties(i18n::FromQStringList(names));
}
QStringList TlgCustomLang::stringsTypesList() const {
    return i18n::ToQStringList(StringsTypes);
}
void TlgCustomLang::setStringsTypesList(const QStringList& names) {
    SetStringsTypes(i18n::FromQStringList(names));
}
QStringList TlgCustomLang::smartExcludePropsList() const {
    return i18n::ToQStringList(SmartExcludeProps);
}
void TlgCustomLang::setSmartExcludePropsList(const QStringList& paths) {
    SetSmartExcludeProps(i18n::FromQStringList(paths));
}

// Collecting the form's properties (BuildList) belongs to the making of the
// lists: run while the program runs it would write the texts on show into the
// active language, the Polish ones into an untranslated language among them.
// So the setters apply what loading would: the exclusions.

void TlgCustomLang::SetDoNotTranslate(const TStrings& names) {
    // Applying skips these names from now on; their lines stay for when they are taken out again.
    DoNotTranslate = names;
}

void TlgCustomLang::SetExcludedProperties(const TStrings& names) {
    ExcludedProperties = names;
    if (!loading_)
        ExcludeProperties();
}

void TlgCustomLang::SetStringsTypes(const TStrings& classNames) {
    StringsTypes = classNames;
}

void TlgCustomLang::SetSmartExcludeProps(const TStrings& paths) {
    SmartExcludeProps = paths;
    if (!loading_)
        ExcludeProperties();
}

bool TlgCustomLang::IsHandledTStrings(const std::string& className) const {
    return std::find(StringsTypes.begin(), StringsTypes.end(), className) != StringsTypes.end();
}

// ---- properties of any object ----

bool TlgCustomLang::ObjectHasProperty(const QObject* object, const std::string& name, unsigned kinds,
                                      const std::string& typeName) {
    const QMetaProperty p = ui::FindProperty(object, name);
    if (!p.isValid() || !(kinds & (1u << kindOf(p))))
        return false;
    return typeName.empty() || i18n::EqualsIgnoreCase(typeName, p.typeName()) ||
           i18n::EqualsIgnoreCase(typeName, layerTypeName(p));
}

std::string TlgCustomLang::GetObjectStrProperty(const QObject* object, const std::string& name) {
    const QMetaProperty p = ui::FindProperty(object, name);
    return p.isValid() && p.metaType() == QMetaType::fromType<QString>()
               ? p.read(object).toString().toStdString()
               : std::string();
}

void TlgCustomLang::SetObjectStrProperty(QObject* object, const std::string& name, const std::string& value) {
    const QMetaProperty p = ui::FindProperty(object, name);
    if (p.isValid() && p.isWritable() && p.metaType() == QMetaType::fromType<QString>())
        p.write(object, QString::fromStdString(value));
}

std::string TlgCustomLang::GetObjectFontName(const QObject* object) {
    const QMetaProperty p = ui::FindProperty(object, "Font");
    return p.isValid() && p.metaType() == QMetaType::fromType<QFont>()
               ? p.read(object).value<QFont>().family().toStdString()
               : std::string();
}

int TlgCustomLang::GetObjectFontCharset(const QObject* object) {
    const QMetaProperty p = ui::FindProperty(object, "Font");
    if (!p.isValid() || p.metaType() != QMetaType::fromType<QFont>())
        return 0;
    const QVariant charset = object->property("FontCharset");
    return charset.isValid() ? charset.toInt() : 1;
}

// ---- components going away ----

void TlgCustomLang::watchComponents() {
    QObject* form = parent();
    if (!form)
        return;
    for (QObject* component : form->findChildren<QObject*>()) {
        if (component->objectName().isEmpty() || qobject_cast<TlgCustomLang*>(component) ||
            qobject_cast<TlgLangDispatcher*>(component))
            continue;
        connect(component, &QObject::destroyed, this, &TlgCustomLang::Notification, Qt::UniqueConnection);
    }
}

void TlgCustomLang::Notification(QObject* component) {
    if (!component)
        return;
    const std::string name = component->objectName().toStdString();
    if (name.empty())
        return;
    DoNotTranslate.erase(
        std::remove_if(DoNotTranslate.begin(), DoNotTranslate.end(),
                       [&](const std::string& n) { return i18n::EqualsIgnoreCase(n, name); }),
        DoNotTranslate.end());
    const std::string prefix = name + ".";
    TlgExtendedItems& items = ExtendedTranslations();
    for (int i = items.Count() - 1; i >= 0; --i)
        if (i18n::StartsWithIgnoreCase(items.Items(i).StoredIdentifier(), prefix) ||
            i18n::StartsWithIgnoreCase(items.Items(i).Identifier(), prefix))
            items.Delete(i);
}

void TlgCustomLang::MakeNotification(TStrings& list, const QObject* component, int type) {
    if (list.empty() || !component)
        return;
    const std::string name = component == parent() ? OwnerClassName() : component->objectName().toStdString();
    if (name.empty())
        return;
    const bool dotted = type == stMultiLines || type == stOtherStrings || type == stCollections;
    const std::string prefix = name + (dotted ? '.' : LangDelim());
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }),
               list.end());
}

void TlgCustomLang::ReBuildDoNotList() {
    QObject* form = parent();
    if (!form)
        return;
    for (const std::string& name : DoNotTranslate) {
        QObject* component = i18n::EqualsIgnoreCase(name, OwnerClassName())
                                 ? form
                                 : form->findChild<QObject*>(QString::fromStdString(name));
        if (!component)
            continue;
        for (int type : {stCaptions, stHints, stDisplayLabels, stFonts, stMultiLines, stOtherStrings,
                         stCharSets, stCollections})
            MakeNotification(*listOfType(type), component, type);
    }
}

void TlgCustomLang::ComponentRenamed(const std::string& oldName, const std::string& newName) {
    if (newName.empty() || oldName.empty())
        return;
    const char delim = LangDelim();
    auto rename = [&](TStrings& list, const std::string& from, const std::string& to) {
        for (std::string& line : list) {
            const std::string first = line.substr(0, line.find_first_of(std::string(1, delim) + "."));
            if (first == from)
                line.replace(0, from.size(), to);
        }
    };
    // The form is keyed by its class name, "T" followed by its name.
    const bool isForm = parent() && parent()->objectName().toStdString() == newName;
    for (TStrings* list :
         {&Captions, &Hints, &DisplayLabels, &Strings, &Fonts, &MultiLines, &DlgsCaptions, &OtherStrings,
          &Locales, &CharSets, &Collections, &DoNotTranslate, &SmartExcludeProps}) {
        rename(*list, oldName, newName);
        if (isForm)
            rename(*list, "T" + oldName, "T" + newName);
    }
    TlgExtendedItems& items = ExtendedTranslations();
    for (int i = 0; i < items.Count(); ++i) {
        const std::string id = items.Items(i).StoredIdentifier();
        if (id.rfind(oldName + ".", 0) == 0)
            items.Items(i).SetIdentifier(newName + id.substr(oldName.size()));
    }
}

// ---- collecting ----

bool TlgCustomLang::NotHandledProperty(const std::string& componentName,
                                       const std::string& propertyName) const {
    return propertyName == "Name" || i18n::ContainsName(ExcludedProperties, propertyName) ||
           i18n::ContainsName(SmartExcludeProps, componentName + "." + propertyName);
}

void TlgCustomLang::RemoveSmartExcl(TStrings& list, const std::string& componentName, int type,
                                    const std::string& propertyName) {
    if (type == stCollections) {
        const std::string prefix = componentName + "." + propertyName;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }),
                   list.end());
        return;
    }
    const std::string prefix = (type == stMultiLines || type == stOtherStrings)
                                   ? componentName + "." + propertyName + LangDelim()
                                   : componentName + LangDelim();
    for (std::size_t i = list.size(); i-- > 0;)
        if (list[i].rfind(prefix, 0) == 0) {
            list.erase(list.begin() + std::ptrdiff_t(i));
            return;
        }
}

void TlgCustomLang::writeCollected(TStrings& list, const std::string& key, const std::string& value) {
    const char delim = LangDelim();
    for (const std::string& line : list)
        if (i18n::EqualsIgnoreCase(i18n::KeyOf(line, delim), key)) {
            ReplaceStringValue(list, value, ActiveLanguage(), key);
            return;
        }
    // A property collected anew gets back a removed line that held its text.
    for (auto it = RemovedProps.begin(); it != RemovedProps.end(); ++it)
        if (i18n::KeyOf(*it, delim) == key &&
            i18n::ExtractTranslation(*it, delim, ActiveLanguage()) == value) {
            list.push_back(*it);
            RemovedProps.erase(it);
            return;
        }
    std::string line = key + delim;
    for (int k = 1; k <= NumOfLanguages(); ++k)
        line += (k == ActiveLanguage() ? value : std::string()) + delim;
    list.push_back(line);
}

void TlgCustomLang::collect(QObject* component, const std::string& name) {
    const bool isForm = component == parent();
    for (const QMetaProperty& p : publishedProperties(component)) {
        if (!p.isReadable())
            continue;
        const std::string property = p.name();
        const QVariant value = p.read(component);
        QObject* collection = value.value<QObject*>();
        const int type = p.metaType() == QMetaType::fromType<QFont>()         ? stFonts
                         : p.metaType() == QMetaType::fromType<QStringList>() ? stMultiLines
                         : isCollection(collection)                           ? stCollections
                         : p.metaType() != QMetaType::fromType<QString>()     ? -1
                         : property == "Caption"                              ? stCaptions
                         : property == "Hint"                                 ? stHints
                         : property == "DisplayLabel"                         ? stDisplayLabels
                                                                              : stOtherStrings;
        // A collection is reached through its property; every other value is written back.
        if (type < 0 || (type != stCollections && !p.isWritable()))
            continue;
        if (NotHandledProperty(name, property)) {
            RemoveSmartExcl(*listOfType(type), name, type, property);
            if (type == stFonts)
                RemoveSmartExcl(CharSets, name, stCharSets, property);
            continue;
        }
        // The form's own caption, hint and font are line 0, written before.
        if (isForm && type <= stFonts)
            continue;
        if (type <= stFonts && i18n::ContainsName(ExcludedProperties, FixedListProperty(type)))
            continue;
        switch (type) {
        case stFonts:
            if (ownerHasNoFont_ || component->property("ParentFont").toBool())
                break;
            writeCollected(Fonts, name, value.value<QFont>().family().toStdString());
            if (!i18n::ContainsName(ExcludedProperties, "Charset"))
                writeCollected(CharSets, name, charsetName(GetObjectFontCharset(component)));
            break;
        case stMultiLines:
            writeCollected(MultiLines, name + "." + property,
                           i18n::ToCommaText(i18n::FromQStringList(value.toStringList())));
            break;
        case stOtherStrings:
            writeCollected(OtherStrings, name + "." + property, value.toString().toStdString());
            break;
        case stCollections:
            for (int i = 0; i < collection->property("Count").toInt(); ++i) {
                QObject* item = nullptr;
                QMetaObject::invokeMethod(collection, "Item", Q_RETURN_ARG(QObject*, item), Q_ARG(int, i));
                for (const QMetaProperty& ip :
                     item ? publishedProperties(item) : std::vector<QMetaProperty>())
                    if (ip.metaType() == QMetaType::fromType<QString>() && ip.isWritable() &&
                        !NotHandledProperty(name, ip.name()))
                        writeCollected(Collections,
                                       name + "." + property + "[" + std::to_string(i) + "]." + ip.name(),
                                       ip.read(item).toString().toStdString());
            }
            break;
        default: {
            // A menu separator, and a control showing its action's text, are not collected.
            const std::string text = value.toString().toStdString();
            if ((type == stCaptions && text == "-") || i18n::BoundToAction(component))
                break;
            writeCollected(*listOfType(type), name, text);
        }
        }
    }
}

void TlgCustomLang::BuildList() {
    QObject* form = parent();
    if (IsReadingFile() || !form)
        return;
    const bool raise = DoRaiseExceptions;
    DoRaiseExceptions = false;
    const std::string className = OwnerClassName();
    const char delim = LangDelim();
    // Line 0 of the captions, hints, fonts and character sets is the form's own.
    auto formLine = [&](TStrings& list, const char* property, const std::string& value) {
        if (!GetTranslateOwner() || NotHandledProperty(className, property))
            return;
        if (list.empty() || !i18n::EqualsIgnoreCase(i18n::KeyOf(list.front(), delim), className))
            list.insert(list.begin(), className + std::string(std::size_t(NumOfLanguages() + 1), delim));
        TStrings first{list.front()};
        ReplaceStringValue(first, value, ActiveLanguage(), className);
        list.front() = first.front();
    };
    if (ui::FindProperty(form, "Caption").isValid())
        formLine(Captions, "Caption", GetObjectStrProperty(form, "Caption"));
    if (ui::FindProperty(form, "Hint").isValid())
        formLine(Hints, "Hint", GetObjectStrProperty(form, "Hint"));
    if (!ownerHasNoFont_) {
        formLine(Fonts, "Font", GetObjectFontName(form));
        formLine(CharSets, "Font", charsetName(GetObjectFontCharset(form)));
    }

    RemovedProps.clear();
    for (int type : {stCaptions, stHints, stDisplayLabels, stFonts, stCharSets, stMultiLines, stOtherStrings,
                     stCollections})
        DelOldNames(*listOfType(type), type);
    collect(form, className);
    for (QObject* component : form->findChildren<QObject*>()) {
        const std::string name = component->objectName().toStdString();
        if (name.empty() || qobject_cast<TlgCustomLang*>(component) ||
            qobject_cast<TlgLangDispatcher*>(component) || i18n::ContainsName(DoNotTranslate, name) ||
            name.rfind("qt_", 0) == 0)
            continue;
        collect(component, name);
    }
    CheckRmdProps();
    UpdateExtended();
    DoRaiseExceptions = raise;
    RemovedProps.clear();
}

void TlgCustomLang::CheckRmdProps() {
    QObject* form = parent();
    if (!form)
        return;
    const std::string className = OwnerClassName();
    const char delim = LangDelim();
    auto find = [&](const std::string& name) -> QObject* {
        return i18n::EqualsIgnoreCase(name, className)
                   ? form
                   : form->findChild<QObject*>(QString::fromStdString(name));
    };
    auto lacks = [&](const std::string& componentName, const std::string& property) {
        QObject* component = find(componentName);
        return component && !ui::FindProperty(component, property).isValid();
    };
    for (int type :
         {stCaptions, stHints, stDisplayLabels, stFonts, stMultiLines, stOtherStrings, stCollections}) {
        TStrings& list = *listOfType(type);
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const std::string& line) {
                                      const std::string key = i18n::KeyOf(line, delim);
                                      if (type <= stFonts)
                                          return lacks(key, FixedListProperty(type));
                                      const std::size_t dot = key.find('.');
                                      if (dot == std::string::npos)
                                          return false;
                                      std::string property = key.substr(dot + 1);
                                      property = property.substr(0, property.find_first_of("[."));
                                      return lacks(key.substr(0, dot), property);
                                  }),
                   list.end());
    }
}
