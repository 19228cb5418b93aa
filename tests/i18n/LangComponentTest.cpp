#include "i18n/LangComponent.h"
#include "TranslationLines.h"
#include "i18n/FormTranslation.h"
#include "i18n/LangDispatcher.h"
#include "ui/Components.h"
#include "ui/Dialogs.h"

#include <QFont>
#include <gtest/gtest.h>

namespace {

using testing_lines::D;
using testing_lines::line;

// A small form with the kinds of components the engine reaches.
class SampleForm : public ui::TForm {
    Q_OBJECT
  public:
    SampleForm() : TForm(QStringLiteral("SampleForm")) {
        SetCaption(QStringLiteral("Okno"));
        label = new ui::TLabel(QStringLiteral("Label1"), QStringLiteral("Tekst"), this);
        label->SetParentFont(false);
        check = new ui::TCheckBox(QStringLiteral("Check1"), QStringLiteral("Pole"), this);
        memo = new ui::TMemo(QStringLiteral("Memo1"), this);
        memo->SetLines({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
        status = new ui::TStatusBar(QStringLiteral("StatusBar"), this, 8);
        list = new ui::TListView(QStringLiteral("lvKlienci"), this);
        list->AddColumn(QStringLiteral("Adres IP"));
    }
    ui::TLabel* label;
    ui::TCheckBox* check;
    ui::TMemo* memo;
    ui::TStatusBar* status;
    ui::TListView* list;
};

struct Fixture : ::testing::Test {
    SampleForm form;
    TlgLangDispatcher* dispatcher = new TlgLangDispatcher(&form);
    TlgLang* lang = new TlgLang(&form);

    void SetUp() override {
        dispatcher->SetLangNames(i18n::ProgramLangNames());
        lang->Captions = {line("SampleForm", {"Okno", "Window", "", "Окно"}),
                          line("Label1", {"Tekst", "Text", "", "Текст"}),
                          line("Missing", {"x", "y", "", "z"})};
        lang->Hints = {line("Check1", {"Podpowiedź", "Hint", "", ""})};
        lang->MultiLines = {line("Memo1.Lines", {"\"a\",\"b\",\"c\"", "\"one\",\"two\"", "", ""})};
        lang->Collections = {
            line("StatusBar.Panels[7].Text", {"baza", "database", "", "база"}),
            line("StatusBar.Panels[9].Text", {"x", "y", "", "z"}),
            line("lvKlienci.Columns[0].Caption", {"Adres IP", "IP address", "", "IP-адрес"})};
        lang->Fonts = {line("Label1", {"Tahoma", "Arial", "", "Arial"})};
        lang->CharSets = {line("Label1", {"EASTEUROPE_CHARSET", "ANSI_CHARSET", "", "RUSSIAN_CHARSET"})};
        lang->Strings = {
            line("IDS_20", {"Aplikacja", "Server is already running on this computer", "", "Сервер"}),
            line("IDS_739", {"Kod: %d, %s.", "Code: %s, %d.", "", "Код: %d, %s."}),
            line("IDS_5", {"\\nWątek = ", "", "", ""})};
        lang->SetNumLang(4);
        lang->SetLangNames(i18n::ProgramLangNames());
        lang->SetLangDispatcher(dispatcher);
        lang->Loaded();
    }
};

} // namespace

TEST_F(Fixture, LookupFallsBackToPolishAndIgnoresCase) {
    EXPECT_EQ(lang->GetTextOrDefault("IDS_20"), "Aplikacja");
    dispatcher->SetActiveLanguage(2);
    EXPECT_EQ(lang->GetTextOrDefault("ids_20"), "Server is already running on this computer");
    EXPECT_EQ(lang->GetTextOrDefault("IDS_2"), "");
    EXPECT_EQ(lang->GetTextOrDefault("IDS_5"), "\nWątek = ");
    dispatcher->SetActiveLanguage(3);
    EXPECT_EQ(lang->GetTextOrDefault("IDS_20"), "Aplikacja");
    EXPECT_EQ(lang->GetText("IDS_20"), "");
    dispatcher->TestMode = true;
    EXPECT_EQ(lang->GetTextOrDefault("IDS_20"), "APLIKACJA");
    lang->DoRaiseExceptions = true;
    EXPECT_THROW(lang->GetTextOrDefault("IDS_404"), ELanguageError);
}

TEST_F(Fixture, AShortLineNeverLendsTheNextKeysText) {
    lang->DlgsCaptions = {std::string("Short\1a"), line("Next", {"b", "c", "", ""})};
    dispatcher->SetActiveLanguage(2);
    EXPECT_EQ(lang->GetTextFrom(lang->DlgsCaptions, "short", false), "");
    EXPECT_EQ(lang->GetTextFrom(lang->DlgsCaptions, "Short", true), "a");
}

TEST_F(Fixture, PrintfTranslationWithOtherConversionsGivesWayToPolish) {
    dispatcher->SetActiveLanguage(2);
    EXPECT_EQ(lang->GetTextOrDefault("IDS_739"), "Kod: %d, %s.");
    dispatcher->SetActiveLanguage(4);
    EXPECT_EQ(lang->GetTextOrDefault("IDS_739"), "Код: %d, %s.");
}

TEST_F(Fixture, ApplyingALanguageSetsPropertiesByNameAndPath) {
    dispatcher->SetActiveLanguage(2);
    EXPECT_EQ(form.Caption(), "Window");
    EXPECT_EQ(form.label->text(), "Text");
    EXPECT_EQ(form.check->Hint(), "Hint");
    EXPECT_EQ(form.memo->Lines(), (QStringList{"one", "two"}));
    EXPECT_EQ(form.status->Panels()[7]->Text(), "database");
    EXPECT_EQ(form.list->Columns()[0]->Caption(), "IP address");
    EXPECT_EQ(form.list->headerItem()->text(0), "IP address");
    EXPECT_EQ(form.label->font().family(), "Arial");
    EXPECT_EQ(form.label->property("FontCharset").toInt(), 0);
    // Lines of missing components and of panels beyond the bar are dropped.
    EXPECT_EQ(lang->Captions.size(), 2u);
    EXPECT_EQ(lang->Collections.size(), 2u);

    dispatcher->SetActiveLanguage(3); // German: empty texts change nothing
    EXPECT_EQ(form.label->text(), "Text");
    dispatcher->SetActiveLanguage(4);
    EXPECT_EQ(form.label->text(), "Текст");
    EXPECT_EQ(form.check->Hint(), "Hint");
    EXPECT_EQ(form.label->property("FontCharset").toInt(), 204);
}

// A translation file may write a property name in another case: the
// component's published property is found ignoring case, before a widget's
// own property of that name ("visible", "font").
TEST_F(Fixture, PropertyNamesInAnotherCaseAreApplied) {
    lang->OtherStrings = {line("Label1.caption", {"Tekst", "Label", "", ""})};
    lang->Captions.clear();
    lang->MultiLines = {line("Memo1.LINES", {"\"a\"", "\"one\",\"two\"", "", ""})};
    lang->Collections = {line("StatusBar.panels[7].text", {"baza", "database", "", ""}),
                         line("lvKlienci.COLUMNS[0].caption", {"Adres IP", "IP address", "", ""})};
    dispatcher->SetActiveLanguage(2);
    EXPECT_EQ(form.label->text(), "Label");
    EXPECT_EQ(form.memo->Lines(), (QStringList{"one", "two"}));
    EXPECT_EQ(form.status->Panels()[7]->Text(), "database");
    EXPECT_EQ(form.list->Columns()[0]->Caption(), "IP address");
    EXPECT_EQ(lang->Collections.size(), 2u);

    lang->SetPropValueByPath("Label1.CAPTION", "Etykieta");
    EXPECT_EQ(form.label->text(), "Etykieta");
    EXPECT_EQ(lang->GetPropValueByPath("StatusBar.Panels[7].TEXT"), "database");
    lang->SetPropValueByPath("Label1.font.name", "Courier");
    EXPECT_EQ(form.label->font().family(), "Courier");
    form.check->SetTag(0);
    lang->SetPropValueByPath("Check1.tag", "7");
    EXPECT_EQ(form.check->Tag(), 7);
}

TEST_F(Fixture, BoundsAreCheckedBeforeAnythingChanges) {
    EXPECT_THROW(dispatcher->SetActiveLanguage(5), ELanguageError);
    EXPECT_THROW(dispatcher->SetActiveLanguage(0), ELanguageError);
    EXPECT_EQ(dispatcher->ActiveLanguage(), 1);
    EXPECT_THROW(dispatcher->SetNumOfLanguages(0), ELanguageError);
    EXPECT_EQ(dispatcher->NumOfLanguages(), 4);
    EXPECT_THROW(lang->SetActLang(5), ELanguageError);
    EXPECT_THROW(lang->SetNumLang(0), ELanguageError);
    EXPECT_THROW(dispatcher->SetLanguage("Klingoński"), ELanguageError);
    dispatcher->SetLanguage("angielski");
    EXPECT_EQ(dispatcher->Language(), "Angielski");
    EXPECT_EQ(lang->ActiveLanguage(), 2);

    lang->SetNumLang(2);
    EXPECT_EQ(lang->LangNames().size(), 2u);
    EXPECT_EQ(lang->Captions[1], line("Label1", {"Tekst", "Text"}));
    EXPECT_EQ(lang->GetTextFromByIndex(lang->Captions, 7, true), "");
}

TEST_F(Fixture, DispatcherRegistersOnceAndLaterFormsStartInItsLanguage) {
    dispatcher->AddReference(lang);
    dispatcher->AddReference(lang);
    EXPECT_EQ(dispatcher->GetLgLangsCount(), 1);
    dispatcher->SetActiveLanguage(4);
    SampleForm later;
    auto* linked = new TlgLangLinked(&later);
    linked->Captions = {line("Label1", {"Tekst", "Text", "", "Текст"})};
    linked->SetCommonContainer(lang);
    linked->SetLangDispatcher(dispatcher);
    linked->Loaded();
    EXPECT_EQ(later.label->text(), "Текст");
    EXPECT_EQ(linked->DlgsCaptions, lang->DlgsCaptions);
    EXPECT_THROW(TlgLang second(&later), std::runtime_error);
}

TEST_F(Fixture, DialogCaptionsFallBackToBuiltInTexts) {
    lang->DlgsCaptions.clear();
    EXPECT_EQ(lang->DialogText("Confirm"), "Confirm");
    lang->DlgsCaptions = {line("Confirm", {"Potwierdź", "", "", "Подтвердите"})};
    dispatcher->SetActiveLanguage(2);
    EXPECT_EQ(lang->DialogText("Confirm"), "Potwierdź");
    dispatcher->SetActiveLanguage(4);
    EXPECT_EQ(lang->DialogText("Confirm"), "Подтвердите");

    auto scripted = std::make_shared<ui::ScriptedDialogs>();
    ui::setDialogs(scripted);
    scripted->QueueAnswer(7);
    const unsigned buttons = (1u << TlgCustomLang::mbYes) | (1u << TlgCustomLang::mbNo);
    EXPECT_EQ(lang->MessageDlg("Usunąć?", TlgCustomLang::mtConfirmation, buttons, 7), 7);
    ASSERT_EQ(scripted->Calls().size(), 1u);
    EXPECT_EQ(scripted->Calls()[0].caption, "Подтвердите");
    scripted->QueueText("nowy");
    EXPECT_EQ(lang->InputBox("Nazwa", "Podaj:", "stary"), "nowy");
    ui::setDialogs(std::make_shared<ui::HeadlessDialogs>());
}

// Shared message strings without a dispatcher: no component shares any, so
// the component's own strings answer.
TEST(LookupFaults, SharedStringsWithoutADispatcherAnswerFromOwnStrings) {
    QObject owner;
    TlgLang lang(&owner);
    lang.SetNumLang(4);
    lang.Strings = {line("IDS_20", {"Aplikacja", "Application", "", ""})};
    lang.Loaded();
    lang.SetOptions(loUseExtUDStrings);
    EXPECT_EQ(lang.GetTextOrDefault("IDS_20"), "Aplikacja");
    lang.SetActLang(2);
    EXPECT_EQ(lang.GetText("IDS_20"), "Application");
}

TEST_F(Fixture, ComboBoxKeepsItsItemWhenItsItemsAreTranslated) {
    auto* combo = new ui::TComboBox(QStringLiteral("Combo1"), &form);
    combo->SetItems({"jeden", "dwa", "trzy"});
    combo->setCurrentIndex(2);
    lang->MultiLines = {
        line("Combo1.Items", {"\"jeden\",\"dwa\",\"trzy\"", "\"one\",\"two\",\"three\"", "", ""})};
    dispatcher->SetActiveLanguage(2);
    EXPECT_EQ(combo->Items(), (QStringList{"one", "two", "three"}));
    EXPECT_EQ(combo->currentIndex(), 2);
    // Fewer lines shorten the list from its end.
    combo->setCurrentIndex(1);
    lang->SetList(stMultiLines, {line("Combo1.Items", {"", "\"uno\",\"due\"", "", ""})});
    EXPECT_EQ(combo->Items(), (QStringList{"uno", "due"}));
    EXPECT_EQ(combo->currentIndex(), 1);
}

TEST_F(Fixture, SettingOneListAppliesThatListAlone) {
    TlgExtendedItem& item = lang->ExtendedTranslations().Add();
    item.SetIdentifier("Label1.Caption");
    item.Values = std::string("Tekst\1Extended\1\1\1");
    lang->SetActLang(2);
    EXPECT_EQ(form.label->text(), "Extended");
    form.label->setText(QStringLiteral("Tekst"));
    lang->SetList(stHints, {line("Check1", {"Podpowiedź", "Other hint", "", ""})});
    EXPECT_EQ(form.check->Hint(), "Other hint");
    EXPECT_EQ(form.label->text(), "Tekst");
}

TEST(DispatcherFaults, DestroyingTheDispatcherDetachesEveryComponent) {
    auto* dispatcher = new TlgLangDispatcher(nullptr);
    std::vector<std::unique_ptr<QObject>> owners;
    std::vector<TlgLang*> components;
    for (int i = 0; i < 3; ++i) {
        owners.push_back(std::make_unique<QObject>());
        components.push_back(new TlgLang(owners.back().get()));
        components.back()->Loaded();
        components.back()->SetLangDispatcher(dispatcher);
    }
    // Registered again: the first is now last.
    dispatcher->AddReference(components.front());
    delete dispatcher;
    for (TlgLang* component : components)
        EXPECT_EQ(component->LangDispatcher(), nullptr);
}

TEST(TranslationData, NormalizingPadsShortLinesToEveryLanguage) {
    QObject owner;
    TlgLangLinked linked(&owner);
    linked.SetNumLang(4);
    linked.Strings = {"IDS_1\1a\1b", "IDS_2\1a\1b\1c\1d\1e\1"};
    linked.Locales = {"L\1x\1y"};
    linked.NormalizeStrings();
    EXPECT_EQ(linked.Strings[0], "IDS_1\1a\1b\1\1\1");
    EXPECT_EQ(linked.Strings[1], "IDS_2\1a\1b\1c\1d\1e\1");
    EXPECT_EQ(linked.Locales[0], "L\1x\1y\1\1\1");
    EXPECT_FALSE(linked.HasTabDelimiters());
    linked.Hints = {"H\tp\te\t\t\t"};
    EXPECT_TRUE(linked.HasTabDelimiters());
}

TEST(ComponentLayer, ControlPropertiesAreRegisteredWithMoc) {
    ui::TCheckBox box(QStringLiteral("b"), QStringLiteral("c"), nullptr);
    for (const char* name : {"Caption", "Hint", "Checked", "Font", "Tag", "Visible", "Enabled"})
        EXPECT_GE(box.metaObject()->indexOfProperty(name), 0) << name;
    ui::TStatusBar bar(QStringLiteral("StatusBar"), nullptr, 8);
    EXPECT_GE(bar.metaObject()->indexOfProperty("Panels"), 0);
}

TEST(TranslationData, BlockRoundTripAndSections) {
    QObject owner;
    TlgLangLinked linked(&owner);
    linked.SetNumLang(4);
    linked.Captions = {line("Label1", {"Dwie\r\nlinie", "Two\r\nlines", "", ""})};
    linked.Strings = {line("IDS_1", {"a", "b", "", "c"})};
    const std::string block = linked.WriteOurStrProps();
    EXPECT_EQ(block.substr(0, block.find("\r\n", 40)),
              "stCaptions\r\nLabel1\1Dwie\x19\x1alinie\1Two\x19\x1alines\1\1\1");
    int sections = 0;
    for (const auto& l : i18n::SplitLines(block))
        sections += l.rfind("st", 0) == 0 ? 1 : 0;
    EXPECT_EQ(sections, 9);

    QObject other;
    TlgLangLinked reader(&other);
    reader.ReadOurStrProps("junk\r\nstcaptions\r\nX\1y\1\r\nSTSTRINGS\r\nIDS_1\1a\r\n\r\nstHints\r\n");
    EXPECT_EQ(reader.Captions, (i18n::TStrings{std::string("X\1y\1")}));
    EXPECT_EQ(reader.Strings, (i18n::TStrings{std::string("IDS_1\1a"), ""}));
    reader.ReadOurStrProps(block);
    EXPECT_EQ(reader.Captions, linked.Captions);
    reader.SetNumLang(4);
    reader.Loaded();
    EXPECT_EQ(reader.GetTextOrDefault("IDS_1"), "a");
}

#include "LangComponentTest.moc"
