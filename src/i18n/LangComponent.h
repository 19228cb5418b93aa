// The translation component every form owns once: all texts of its form in
// four languages, one list per kind of text, the message lookup by key, and
// the applying of the active language to the form's components through
// QMetaObject by component and property names.
#pragma once

#include "base/FormatSettings.h"
#include "i18n/ExtendedItems.h"
#include "i18n/LangDispatcher.h"
#include "i18n/StringsCollection.h"
#include "i18n/TextFunctions.h"

#include <QObject>
#include <QPointer>
#include <array>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

// The kinds of translated text, in stored order; each names one list.
enum TStringsType {
    stCaptions,
    stHints,
    stDisplayLabels,
    stFonts,
    stMultiLines,
    stDlgsCaptions,
    stStrings,
    stOtherStrings,
    stLocales,
    stCollections,
    stCharSets,
    stListView_TreeView_Items
};
constexpr int StringsTypeCount = 12;
// "stCaptions", "stHints", ...
const char* StringsTypeName(int type);
// The property a list of the first four kinds sets ("Caption" .. "Font"); "" for the others.
const char* FixedListProperty(int type);

enum TTranslateType { ttNoChange, ttGetDefault };
enum TlgLangOption : unsigned { loUseExtUDStrings = 1, loUseExtCommonStrings = 2 };

namespace i18n {
class TMemIniFile;
}
namespace ui {
class TMessageForm;
struct MessageFormSpec;
} // namespace ui

class ELanguageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

namespace i18n {
// The language number (1 for the first) of a language name; an unknown name
// raises ELanguageError.
int LanguageNumberOf(const std::vector<std::string>& languageNames, const std::string& name);
} // namespace i18n

// The fifteen locale settings a Locales list can set, process-wide.
using base::FormatSettings;
using base::TFormatSettings;
const i18n::TStrings& LocaleSettingNames();

class TlgCustomLang : public QObject {
    Q_OBJECT
    // Settings published with their setters' effects.
    Q_PROPERTY(QStringList DoNotTranslate READ doNotTranslateList WRITE setDoNotTranslateList)
    Q_PROPERTY(QStringList ExcludedProperties READ excludedPropertiesList WRITE setExcludedPropertiesList)
    Q_PROPERTY(QStringList StringsTypes READ stringsTypesList WRITE setStringsTypesList)
    Q_PROPERTY(QStringList SmartExcludeProps READ smartExcludePropsList WRITE setSmartExcludePropsList)
  public:
    // Throws when `owner` already owns a translation component.
    explicit TlgCustomLang(QObject* owner, const QString& name = QStringLiteral("lgLang"));
    ~TlgCustomLang() override;

    // ---- lists ----
    i18n::TStrings Captions, Hints, DisplayLabels, Strings, Fonts, MultiLines, DlgsCaptions, OtherStrings,
        Locales, CharSets, Collections;
    // The published list of a kind, or null when this class publishes none.
    i18n::TStrings* GetPropListByType(int type);
    i18n::TStrings* GetPropListByName(const std::string& name);
    // Assigns a list and applies that list alone (DlgsCaptions only copies).
    void SetList(int type, const i18n::TStrings& lines);
    // Properties named by path, with their values per language; published, stored empty.
    TlgExtendedItems& ExtendedTranslations() { return extended_; }
    const TlgExtendedItems& ExtendedTranslations() const { return extended_; }
    // Copies the items; the component keeps its own collection.
    void SetExtendedTranslations(const TlgExtendedItems& items) { extended_ = items; }
    // A property of the form by path ("TForm1.Caption", "StatusBar.Panels[7].Text",
    // "Label1.Font.Name"); a path that does not resolve is tkUnknown, empty, unchanged.
    TTypeKind GetPropTypeByPath(const std::string& path) const;
    std::string GetPropValueByPath(const std::string& path) const;
    // Raises ELanguageError when the value does not convert to the property's kind.
    void SetPropValueByPath(const std::string& path, const std::string& value);
    // Writes every item's text of the active language into its property; an
    // item whose text does not convert is logged and skipped.
    void ChangeLangForExtended();
    // Takes the current property values into the active language.
    void UpdateExtended();
    void ChangeDelimOnExtended(char oldDelim, char newDelim);

    // ---- look-up ----
    std::string GetTextOrDefault(const std::string& id) const;
    std::string GetText(const std::string& id) const;
    std::string GetTextbyInt(int id) const { return GetText(std::to_string(id)); }
    std::string GetTextFrom(const i18n::TStrings& list, const std::string& id, bool orDefault) const;
    std::string GetTextFromByIndex(const i18n::TStrings& list, int index, bool orDefault) const;
    std::string GetStringID(int index) const;
    int GetIDIndex(const std::string& id) const;
    bool AddString(const std::string& id, const i18n::TStrings& texts);
    bool DeleteString(const std::string& id);
    // The text in `language` of the first line of `list` keyed `name` (ASCII case ignored).
    std::string GetStringValue(const i18n::TStrings& list, const std::string& name, int language) const;
    void ReplaceStringValue(i18n::TStrings& list, const std::string& value, int language,
                            const std::string& key);

    // ---- language ----
    int ActiveLanguage() const { return activeLanguage_; }
    void SetActLang(int language);
    int NumOfLanguages() const { return numOfLanguages_; }
    void SetNumLang(int count);
    const std::string& Language() const { return language_; }
    void SetLanguage(const std::string& name);
    const i18n::TStrings& LangNames() const { return langNames_; }
    void SetLangNames(const i18n::TStrings& names);
    char LangDelim() const { return langDelim_; }
    void SetLangDelim(char delim);
    TlgLangDispatcher* LangDispatcher() const { return dispatcher_; }
    void SetLangDispatcher(TlgLangDispatcher* dispatcher);
    bool DispatcherTestMode() const;
    std::string version() const { return "5.2.5"; }

    // ---- stored options ----
    bool ChangeLocales = false;
    TTranslateType TranslateType = ttNoChange;
    unsigned Options = 0;
    bool DoRaiseExceptions = false;
    bool IsInheritedOwner = false;
    bool UseInheritedData = false;
    // The first component with an owner that loads with this set translates
    // the run time's own texts for the rest of the process.
    bool HandleResourceStrings = false;
    int ResourceLanguageIndex = 1;
    int ChangingCursor = -1;
    int ChangedStringsType = -1;
    i18n::TStrings DoNotTranslate, ExcludedProperties, SmartExcludeProps, RemovedProps, FixedLanguages;
    i18n::TStrings StringsTypes{"TIB_STRINGLIST", "TSTRINGLIST"};
    // Setters: a component named in DoNotTranslate is never translated; the
    // properties named in ExcludedProperties, and the component properties
    // named in SmartExcludeProps, lose their lines at once.
    void SetDoNotTranslate(const i18n::TStrings& names);
    void SetExcludedProperties(const i18n::TStrings& names);
    void SetStringsTypes(const i18n::TStrings& classNames);
    void SetSmartExcludeProps(const i18n::TStrings& paths);
    // Whether a class name (upper case) is one of StringsTypes.
    bool IsHandledTStrings(const std::string& className) const;
    // The locale settings as they were when the component was made.
    const TFormatSettings SavedFormatSettings;

    // ---- published properties of any object, by name (ASCII case ignored) ----
    // `kinds`: a set of TTypeKind bits; `typeName`, when not empty, the
    // property type's name ("TFont", "TStrings", or Qt's "QFont", ...).
    static bool ObjectHasProperty(const QObject* object, const std::string& name, unsigned kinds,
                                  const std::string& typeName);
    static std::string GetObjectStrProperty(const QObject* object, const std::string& name);
    static void SetObjectStrProperty(QObject* object, const std::string& name, const std::string& value);
    static std::string GetObjectFontName(const QObject* object);
    // 0 for an object without a font.
    static int GetObjectFontCharset(const QObject* object);
    std::function<void(TlgCustomLang*)> OnChangeLanguage;
    bool NeedAllDlgs() const { return needAllDlgs_; }
    void SetNeedAllDlgs(bool on);
    void SetOptions(unsigned options);
    void SetResourceLanguageIndex(int index);
    void SetHandleResourceStrings(bool on) { HandleResourceStrings = on; }
    // `text`, a text of the resource language, in the active language; empty
    // when the languages are the same or it has no translation.
    std::string TranslateResourceString(const std::string& text) const;

    // ---- life cycle ----
    bool IsLoading() const { return loading_; }
    // Ends the loading state: completes the lists, registers with the
    // dispatcher (which applies its language) and builds the strings collection.
    virtual void Loaded();
    void SetReadingFile(bool on) { readingFile_ = on; }
    bool IsReadingFile() const { return readingFile_; }
    QObject* FormOwner() const { return parent(); }
    // The owner form's class name ("TForm1") and instance name ("Form1").
    const std::string& OwnerClassName() const { return ownerClassName_; }
    const std::string& OwnerName() const { return ownerName_; }
    // For a component without a form (the build's data generator).
    void SetOwnerNames(std::string className, std::string instanceName);

    // ---- applying a language to the form ----
    virtual void ChangeLanguage();
    bool GetTranslateOwner() const;
    void DelOldNames(i18n::TStrings& list, int type);
    void ExcludeProperties();
    // A component of the form went away: its name leaves DoNotTranslate and
    // its extended translations are freed. The lists keep its lines, which
    // applying drops.
    void Notification(QObject* component);

    // ---- collecting the form's translatable properties into the lists ----
    // Writes every published caption, hint, font, string list, string and
    // collection item string of the form and its components as the text of
    // the active language, keeping the other languages' texts.
    virtual void BuildList();
    // Deletes the lines of `component` (the form by its class name) from a list.
    virtual void MakeNotification(i18n::TStrings& list, const QObject* component, int type);
    virtual void ComponentRenamed(const std::string& oldName, const std::string& newName);
    // Drops the lines whose component lacks the property the line names.
    void CheckRmdProps();
    // Deletes the lines of the components named in DoNotTranslate.
    void ReBuildDoNotList();
    bool NotHandledProperty(const std::string& componentName, const std::string& propertyName) const;
    void RemoveSmartExcl(i18n::TStrings& list, const std::string& componentName, int type,
                         const std::string& propertyName);

    // ---- translation data block and collections ----
    void ReadOurStrProps(std::string_view block);
    std::string WriteOurStrProps();
    void ClearTranslations();
    void UpdateStrCollections();
    void LoadStringsColl(i18n::TlgStringsCollection& collection, int sortLanguage);
    std::string BuildStringByOne(const std::string& text, int index) const;
    const i18n::TlgStringsCollection& StringsCollection() const { return strings_; }
    // Pads every line of Strings, DlgsCaptions and Locales to NumOfLanguages texts.
    void NormalizeStrings();
    bool HasTabDelimiters() const;

    // ---- language text files (stream = the file's whole text) ----
    void SaveToStream(int type, std::string& stream, const std::string& fileDelim);
    void LoadFromStream(int type, const std::string& stream, bool clearFirst);
    bool MergeFromStream(int type, const std::string& stream);
    void SaveAllToStream(std::string& stream, const std::string& fileDelim);
    // `applyLanguage` false loads without re-translating the form.
    void LoadAllFromStream(const std::string& stream, bool clearFirst, bool applyLanguage = true);
    bool MergeAllFromStreamDNC(const std::string& stream);
    bool MergeAllFromStream(const std::string& stream);
    void LoadLanguageByProp(int type, const std::string& fileName, const std::string& langName);
    void LoadLanguage(const std::string& fileName, const std::string& langName);
    // The "Extended" section of a language text file.
    void LoadExtendedFromStream(const std::string& stream, bool clearFirst);
    void SaveExtendedToStream(std::string& stream, const std::string& fileDelim);
    void LoadExtendedFromFile(const std::string& fileName, bool clearFirst);
    void SaveExtendedToFile(const std::string& fileName, const std::string& fileDelim);
    void LoadLanguageByExt(const std::string& fileName, const std::string& langName);

    // ---- translation files (text: the layout above, UTF-8; binary: ".lgb") ----
    // -1 for a missing file. A text file that cannot be read, is not UTF-8 or
    // holds a NUL byte raises ELanguageError naming it, and nothing changes.
    virtual int LoadFromFile(int type, const std::string& fileName, bool clearFirst);
    // A missing file changes nothing.
    virtual void LoadAllFromFile(const std::string& fileName, bool clearFirst);
    // As LoadAllFromFile, without re-translating the form.
    virtual void LoadAllFromFileDNC(const std::string& fileName, bool clearFirst);
    virtual int LoadStringsFromFile(const std::string& fileName, bool clearFirst);
    // Saves keep the file's other sections and keys; a failed save raises and
    // leaves the old file whole.
    virtual int SaveToFile(int type, const std::string& fileName, const std::string& fileDelim);
    virtual void SaveAllToFile(const std::string& fileName, const std::string& fileDelim);
    virtual int SaveStringsToFile(const std::string& fileName, const std::string& fileDelim);
    // False for a missing file or a kind without a list.
    virtual bool MergeFromFile(int type, const std::string& fileName);
    virtual bool MergeAllFromFile(const std::string& fileName);
    // Skips kinds without a list; false only for a missing file.
    virtual bool MergeAllFromFileDNC(const std::string& fileName);
    // Keeps the other forms' entries of the file; a file that does not read
    // cleanly is refused, never overwritten.
    void SaveAllToBinaryFile(const std::string& fileName);
    // Only for a component with an owner.
    void LoadAllFromBinaryFile(const std::string& fileName);
    void LoadPropFromBinaryFile(int type, const std::string& fileName);
    void LoadAllFromBinaryStream(std::string_view stream);

    // ---- standard dialog captions ----
    void FillDialogs();
    void FillNewDialogs();
    // Message and input boxes built from DlgsCaptions (TranslatedDialogs.cpp).
    enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };
    enum TMsgDlgBtn {
        mbYes,
        mbNo,
        mbOK,
        mbCancel,
        mbAbort,
        mbRetry,
        mbIgnore,
        mbAll,
        mbNoToAll,
        mbYesToAll,
        mbHelp
    };
    // `buttons` is a set of TMsgDlgBtn bits; `headlessAnswer` is what a server
    // without a display answers, and must be the safe answer. X and Y of -1
    // place the dialog in the middle of the screen; the help button shows
    // topic `helpCtx` of `helpFile`.
    int MessageDlg(const std::string& msg, TMsgDlgType type, unsigned buttons, int headlessAnswer) const;
    int MessageDlg(const std::string& msg, TMsgDlgType type, unsigned buttons, int helpCtx,
                   int headlessAnswer) const;
    int MessageDlgPos(const std::string& msg, TMsgDlgType type, unsigned buttons, int helpCtx, int x, int y,
                      int headlessAnswer) const;
    int MessageDlgPosHelp(const std::string& msg, TMsgDlgType type, unsigned buttons, int helpCtx, int x,
                          int y, const std::string& helpFile, int headlessAnswer) const;
    // The dialog MessageDlg shows, built and not shown; the caller owns it.
    ui::TMessageForm* CreateMessageDialog(const std::string& msg, TMsgDlgType type, unsigned buttons) const;
    void ShowMessage(const std::string& msg) const;
    void ShowMessagePos(const std::string& msg, int x, int y) const;
    void ShowMessageFmt(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) const;
    std::string InputBox(const std::string& caption, const std::string& prompt,
                         const std::string& defaultValue) const;
    // The caption of a dialog-text key in the active language; the built-in
    // default when every language is empty.
    std::string DialogText(const std::string& key) const;

  protected:
    // Whether this class publishes the list of a kind.
    virtual bool publishesList(int type) const;
    i18n::TStrings* listOfType(int type);
    const i18n::TStrings* listOfType(int type) const;
    void applyList(i18n::TStrings& list, int type, bool testMode);
    void applyCollections(bool testMode);
    void applyLocale(const std::string& key, const std::string& text);
    void applyOwnText(const i18n::TStrings& list, const char* property, bool testMode);
    void applyOwnFont();
    std::string lineText(const std::string& line, bool testMode, bool withTestMode) const;
    std::string searchAsText(const i18n::TStrings& list, const std::string& id, bool orDefault) const;
    void changeLangDelim(char from, char to);
    // Language text files: the delimiter and language names every saved section carries.
    void writeFileOptions(i18n::TMemIniFile& ini, const std::string& fileDelim) const;
    static std::string fileDelimiter(const i18n::TMemIniFile& ini);
    // Opens a language file for one language: 0 when the file is missing, the
    // name empty or not among the file's names (raising with DoRaiseExceptions);
    // otherwise the file's number of the language, with `ini` loaded, the file
    // delimiter, and `m` this component's number of it (appended when absent).
    int openLanguage(const std::string& fileName, const std::string& langName, i18n::TMemIniFile& ini,
                     std::string& fileDelim, int& m);
    bool loading_ = true;

  private:
    QStringList doNotTranslateList() const;
    void setDoNotTranslateList(const QStringList& names);
    QStringList excludedPropertiesList() const;
    void setExcludedPropertiesList(const QStringList& names);
    QStringList stringsTypesList() const;
    void setStringsTypesList(const QStringList& names);
    QStringList smartExcludePropsList() const;
    void setSmartExcludePropsList(const QStringList& paths);
    void watchComponents();
    void collect(QObject* component, const std::string& name);
    void writeCollected(i18n::TStrings& list, const std::string& key, const std::string& value);
    void loadEveryKind(const std::function<void(int type)>& loadOne);
    void afterListLoaded(i18n::TStrings& list, int type);
    // Loads a kind's list anew through `load`, then appends the old lines whose keys it lacks.
    bool mergeList(int type, const std::function<void()>& load);
    bool mergeEveryKind(const std::function<bool(int type)>& mergeOne);
    std::string expandedLookup(const std::string& id, bool orDefault) const;
    int activeLanguage_ = 1;
    int numOfLanguages_ = 1;
    std::string language_;
    i18n::TStrings langNames_{"Language N1"};
    char langDelim_ = 1;
    bool needAllDlgs_ = false;
    std::string ownerClassName_, ownerName_;
    bool readingFile_ = false;
    bool ownerHasNoFont_ = false;
    QPointer<TlgLangDispatcher> dispatcher_;
    i18n::TlgStringsCollection strings_{this};
    i18n::TlgStringsCollection resourceStrings_{this};
    TlgExtendedItems extended_{this};
};

// The translation component of the main form.
class TlgLang : public TlgCustomLang {
    Q_OBJECT
  public:
    using TlgCustomLang::TlgCustomLang;
};

// The translation component of the secondary forms: the dialog captions and
// locale lines come from the common container (the main form's component).
class TlgLangLinked : public TlgCustomLang {
    Q_OBJECT
  public:
    explicit TlgLangLinked(QObject* owner, const QString& name = QStringLiteral("lgLangLinked1"));
    TlgCustomLang* CommonContainer() const { return container_; }
    void SetCommonContainer(TlgCustomLang* container);
    void Loaded() override;

  protected:
    bool publishesList(int type) const override;

  private:
    void copySharedLists();
    QPointer<TlgCustomLang> container_;
};
