#include "i18n/ExtendedItems.h"
#include "i18n/FormTranslation.h"
#include "i18n/LangComponent.h"
#include "support/MainFormFixture.h"
#include "support/Sandbox.h"
#include "ui/Components.h"

#include <QFile>
#include <gtest/gtest.h>

namespace {

const char D = 1;
std::string values(std::initializer_list<std::string> texts) {
    std::string out;
    for (const auto& t : texts)
        out += t + D;
    return out;
}

void addItem(TlgCustomLang& lang, const std::string& path, const std::string& texts,
             TTypeKind kind = tkUnknown) {
    TlgExtendedItem& item = lang.ExtendedTranslations().Add();
    item.SetIdentifier(path);
    item.Values = texts;
    item.PropertyType = kind;
}

TEST(ExtendedItems, IdentifierFindCopyAndKinds) {
    ui::TForm form(QStringLiteral("Form1"));
    auto* label = new ui::TLabel(QStringLiteral("Label1"), QStringLiteral("Tekst"), &form);
    TlgLang lang(&form);
    lang.SetOwnerNames("TForm1", "Form1");
    TlgExtendedItems& items = lang.ExtendedTranslations();
    EXPECT_EQ(items.GetOwner(), &lang);

    TlgExtendedItem& font = items.Add();
    font.SetIdentifier("Label1.Font.Name");
    font.SetRelatedComponent(label);
    label->setObjectName(QStringLiteral("lblTitle"));
    EXPECT_EQ(font.Identifier(), "lblTitle.Font.Name");
    EXPECT_FALSE(font.IsRoot());

    TlgExtendedItem& caption = items.Add();
    caption.SetIdentifier("TForm1.Caption");
    caption.Values = std::string("Okno\1Window\1\1\1");
    caption.PropertyType = ui::TypeKindByName("tkLString");
    EXPECT_TRUE(caption.IsRoot());
    EXPECT_EQ(items.Find("tform1.CAPTION"), &caption);
    EXPECT_EQ(items.Find("TForm1.Hint"), nullptr);
    EXPECT_EQ(caption.Piece(2, 1), "Window");
    EXPECT_EQ(caption.Piece(3, 1), "");
    // A Values beginning with a delimiter has an empty first language.
    caption.Values = std::string("\1Window\1");
    EXPECT_EQ(caption.Piece(1, 1), "");
    EXPECT_EQ(caption.Piece(2, 1), "Window");

    TlgExtendedItems copy = items;
    items.Items(1).Values = "changed";
    ASSERT_EQ(copy.Count(), 2);
    EXPECT_EQ(copy.Items(1).Values, std::string("\1Window\1"));
    EXPECT_EQ(copy.Items(1).PropertyType, tkLString);

    TlgLang other(nullptr);
    other.SetExtendedTranslations(items);
    EXPECT_EQ(other.ExtendedTranslations().GetOwner(), &other);
    EXPECT_EQ(other.ExtendedTranslations().Items(0).StoredIdentifier(), "Label1.Font.Name");
    other.ExtendedTranslations().SetItems(0, items.Items(1));
    EXPECT_EQ(other.ExtendedTranslations().Items(0).Identifier(), "TForm1.Caption");

    EXPECT_STREQ(ui::TypeKindName(tkInt64), "tkInt64");
    EXPECT_STREQ(ui::TypeKindName(tkDynArray), "tkDynArray");
    EXPECT_EQ(ui::TypeKindByName("tkSet"), tkSet);
    EXPECT_EQ(ui::TypeKindByName("tkNothing"), tkUnknown);
}

// An object publishing the kinds a path can reach beside the component layer's.
class Probe : public QObject {
    Q_OBJECT
    Q_PROPERTY(qint64 Big MEMBER big)
    Q_PROPERTY(Mode Kind MEMBER kind)
    Q_PROPERTY(Options Flags READ Flags WRITE SetFlags)
    Q_PROPERTY(double Ratio MEMBER ratio)
    Q_PROPERTY(QStringList Lines MEMBER lines)
    Q_PROPERTY(QString Name MEMBER name)
  public:
    enum Mode { mdOff, mdOn, mdAuto };
    Q_ENUM(Mode)
    enum Option { opRead = 1, opWrite = 2, opExec = 4 };
    Q_DECLARE_FLAGS(Options, Option)
    Q_FLAG(Options)
    using QObject::QObject;
    Options Flags() const { return flags; }
    void SetFlags(Options f) { flags = f; }
    qint64 big = 0;
    Mode kind = mdOff;
    Options flags;
    double ratio = 0;
    QStringList lines{"x", "y", "z"};
    QString name{"probe"};
};

class ProbeForm : public ui::TForm {
    Q_OBJECT
  public:
    ProbeForm() : TForm(QStringLiteral("ProbeForm")) { probe->setObjectName(QStringLiteral("Probe1")); }
    Probe* probe = new Probe(this);
};

TEST(ExtendedTranslations, PropertyPathsConvertEveryKind) {
    ProbeForm form;
    TlgLang lang(&form);
    Probe& p = *form.probe;
    EXPECT_EQ(lang.GetPropTypeByPath("Probe1.Big"), tkInt64);
    EXPECT_EQ(lang.GetPropTypeByPath("Probe1.Kind"), tkEnumeration);
    EXPECT_EQ(lang.GetPropTypeByPath("Probe1.Flags"), tkSet);
    EXPECT_EQ(lang.GetPropTypeByPath("Probe1.Ratio"), tkFloat);
    EXPECT_EQ(lang.GetPropTypeByPath("Probe1.Lines"), tkClass);
    EXPECT_EQ(lang.GetPropTypeByPath("ProbeForm.Caption"), tkLString);
    EXPECT_EQ(lang.GetPropTypeByPath("ProbeForm.Font"), tkUnknown);
    EXPECT_EQ(lang.GetPropTypeByPath("ProbeForm.Font.Style"), tkSet);

    lang.SetPropValueByPath("Probe1.Big", "5000000000");
    EXPECT_EQ(p.big, 5000000000LL);
    EXPECT_EQ(lang.GetPropValueByPath("Probe1.Big"), "5000000000");
    lang.SetPropValueByPath("Probe1.Kind", "MDAUTO");
    EXPECT_EQ(p.kind, Probe::mdAuto);
    EXPECT_EQ(lang.GetPropValueByPath("Probe1.Kind"), "mdAuto");
    lang.SetPropValueByPath("Probe1.Flags", "opRead,opExec");
    EXPECT_EQ(int(p.flags), 5);
    EXPECT_EQ(lang.GetPropValueByPath("Probe1.Flags"), "opRead,opExec");
    lang.SetPropValueByPath("Probe1.Ratio", "2.75");
    EXPECT_EQ(p.ratio, 2.75);
    EXPECT_EQ(lang.GetPropValueByPath("Probe1.Ratio"), "2.75");
    lang.SetPropValueByPath("Probe1.Lines", "a,b");
    EXPECT_EQ(p.lines, QStringList({"a", "b"}));
    EXPECT_EQ(lang.GetPropValueByPath("Probe1.Lines"), "\"a\",\"b\"");
    lang.SetPropValueByPath("ProbeForm.Font.Style", "fsBold,fsItalic");
    EXPECT_TRUE(form.font().bold() && form.font().italic() && !form.font().underline());
    lang.SetPropValueByPath("ProbeForm.Font.Size", "14");
    EXPECT_EQ(form.font().pointSize(), 14);

    for (const char* wrong :
         {"Probe1.Big=12x", "Probe1.Kind=mdNone", "Probe1.Flags=opAll", "Probe1.Ratio=half"}) {
        const std::string text = wrong;
        const auto eq = text.find('=');
        EXPECT_THROW(lang.SetPropValueByPath(text.substr(0, eq), text.substr(eq + 1)), ELanguageError)
            << wrong;
    }
    EXPECT_EQ(p.big, 5000000000LL);
    for (const char* nothing :
         {"Nobody.Name", ".Name", "Probe1.Missing", "Probe1", "ProbeForm.Font.Colour"}) {
        EXPECT_EQ(lang.GetPropTypeByPath(nothing), tkUnknown) << nothing;
        EXPECT_EQ(lang.GetPropValueByPath(nothing), "") << nothing;
        EXPECT_NO_THROW(lang.SetPropValueByPath(nothing, "1")) << nothing;
    }
    EXPECT_EQ(p.name, "probe");
}

TEST(ExtendedTranslations, SectionRoundTripAndAddedLanguage) {
    ProbeForm form;
    TlgLang lang(&form);
    lang.SetLangNames({"Polski", "Angielski"});
    lang.Loaded();
    addItem(lang, "ProbeForm.Caption", values({"Okno", "Window"}), tkLString);
    addItem(lang, "Probe1.Lines", values({"\"a\",\"b\"", "\"c\""}), tkClass);
    std::string stream;
    lang.SaveAllToStream(stream, "~!@#");
    EXPECT_NE(stream.find("ProbeForm.ProbeForm.Caption=Okno~!@#Window~!@#\r\n"), std::string::npos) << stream;
    EXPECT_NE(stream.find("ProbeForm.ProbeForm.Caption_TypeKind=tkLString\r\n"), std::string::npos) << stream;

    ProbeForm other;
    TlgLang copy(&other);
    copy.Loaded();
    copy.LoadAllFromStream(stream, true);
    ASSERT_EQ(copy.ExtendedTranslations().Count(), 2);
    for (int i = 0; i < 2; ++i) {
        const TlgExtendedItem& item =
            *copy.ExtendedTranslations().Find(lang.ExtendedTranslations().Items(i).Identifier());
        EXPECT_EQ(item.Values, lang.ExtendedTranslations().Items(i).Values);
        EXPECT_EQ(item.PropertyType, lang.ExtendedTranslations().Items(i).PropertyType);
    }

    // A file of another language list: the language is added to the component.
    testing_support::Sandbox sandbox;
    const std::string file = sandbox.file("probe.lng");
    QFile out(QString::fromStdString(file));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write("[OPTIONS]\r\nDELIMITER=|\r\n[Language names - for internal use only!]\r\n"
              "Language_1=Polski\r\nLanguage_2=Deutsch\r\n[Extended]\r\n"
              "ProbeForm.ProbeForm.Caption=Okno|Fenster|\r\nProbeForm.Probe1.Ratio=1,5|1.25|\r\n"
              "ProbeForm.Probe1.Ratio_TypeKind=tkFloat\r\nOtherForm.Caption=x|y|\r\n");
    out.close();
    copy.LoadLanguage(file, "Deutsch");
    EXPECT_EQ(copy.NumOfLanguages(), 3);
    EXPECT_EQ(copy.ExtendedTranslations().Count(), 3);
    EXPECT_EQ(copy.ExtendedTranslations().Find("ProbeForm.Caption")->Values,
              values({"Okno", "Window", "Fenster"}));
    const TlgExtendedItem* ratio = copy.ExtendedTranslations().Find("Probe1.Ratio");
    ASSERT_NE(ratio, nullptr);
    EXPECT_EQ(ratio->Values, values({"", "", "1.25"}));
    EXPECT_EQ(ratio->PropertyType, tkFloat);
    copy.SetActLang(3);
    EXPECT_EQ(other.Caption(), "Fenster");
    EXPECT_EQ(other.probe->ratio, 1.25);

    // The values taken back from the form, then a delimiter change.
    other.SetCaption(QStringLiteral("Fenster!"));
    copy.UpdateExtended();
    EXPECT_EQ(copy.ExtendedTranslations().Find("ProbeForm.Caption")->Values,
              values({"Okno", "Window", "Fenster!"}));
    // Through a file; a file that cannot be written raises.
    const std::string saved = sandbox.file("extended.lng");
    copy.SaveExtendedToFile(saved, "|");
    ProbeForm third;
    TlgLang fromFile(&third);
    fromFile.LoadExtendedFromFile(saved, true);
    ASSERT_EQ(fromFile.ExtendedTranslations().Count(), 3);
    EXPECT_EQ(fromFile.ExtendedTranslations().Find("Probe1.Ratio")->PropertyType, tkFloat);
    EXPECT_THROW(copy.SaveExtendedToFile(saved + "/under-a-file.lng", "|"), ELanguageError);
    copy.SetLangDelim('\t');
    EXPECT_EQ(copy.ExtendedTranslations().Find("ProbeForm.Caption")->Values, "Okno\tWindow\tFenster!\t");
}

class ExtendedOnMainWindow : public testing_support::MainFormFixture {};

TEST_F(ExtendedOnMainWindow, LanguagesApplyTheItemsAndSkipOneThatDoesNotConvert) {
    TForm1& f = createForm("DEBUG");
    TlgLang& lang = *f.lgLang;
    addItem(lang, "TForm1.Caption", values({"Okno", "Window", "", "Окно"}));
    addItem(lang, "StatusBar.Panels[7].Text", values({"baza", "database", "", "база"}));
    addItem(lang, "lblRoutingPatterns.Font.Name", values({"Tahoma", "Arial", "", "Courier New"}));
    addItem(lang, "ListBox1.Items", values({"\"a\",\"b\"", "\"one\"", "", "\"x\",\"y\",\"z\""}));
    addItem(lang, "ListBox1.Tag", values({"1", "2", "", "4"}));
    addItem(lang, "StatusBar.Enabled", values({"True", "maybe", "", "True"}));
    addItem(lang, "lblRoutingPatterns.Visible", values({"False", "True", "", "False"}));
    struct Seen {
        QString caption, panel, font;
        QStringList items;
        int tag;
        bool visible;
    };
    auto seen = [&] {
        return Seen{f.Caption(),
                    f.StatusBar->Panels()[7]->Text(),
                    f.lblRoutingPatterns->font().family(),
                    f.ListBox1->Items(),
                    f.ListBox1->Tag(),
                    f.lblRoutingPatterns->IsVisible()};
    };
    auto expect = [&](const Seen& s, const char* caption, const char* panel, const char* font,
                      QStringList items, int tag, bool visible) {
        EXPECT_EQ(s.caption, QString::fromUtf8(caption));
        EXPECT_EQ(s.panel, QString::fromUtf8(panel));
        EXPECT_EQ(s.font, QString::fromUtf8(font));
        EXPECT_EQ(s.items, items);
        EXPECT_EQ(s.tag, tag);
        EXPECT_EQ(s.visible, visible);
    };
    f.lgLangDispatcher->SetActiveLanguage(1);
    expect(seen(), "Okno", "baza", "Tahoma", {"a", "b"}, 1, false);
    mainLogText();
    logSoFar.clear();
    f.lgLangDispatcher->SetActiveLanguage(2);
    expect(seen(), "Window", "database", "Arial", {"one"}, 2, true);
    EXPECT_TRUE(f.StatusBar->isEnabled());
    EXPECT_NE(mainLogText().find("maybe"), std::string::npos) << logSoFar;
    f.lgLangDispatcher->SetActiveLanguage(3);
    expect(seen(), "Window", "database", "Arial", {"one"}, 2, true);
    f.lgLangDispatcher->SetActiveLanguage(4);
    expect(seen(), "Окно", "база", "Courier New", {"x", "y", "z"}, 4, false);
    lang.TranslateType = ttGetDefault;
    f.lgLangDispatcher->SetActiveLanguage(3);
    expect(seen(), "Okno", "baza", "Tahoma", {"a", "b"}, 1, false);
    lang.TranslateType = ttNoChange;
    f.lgLangDispatcher->TestMode = true;
    f.lgLangDispatcher->SetActiveLanguage(2);
    f.lgLangDispatcher->SetActiveLanguage(3);
    expect(seen(), "OKNO", "BAZA", "TAHOMA", {"A", "B"}, 1, false);
}

} // namespace

#include "ExtendedTranslationsTest.moc"
