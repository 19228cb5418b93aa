// The translation component through its public face, on a real form built
// offscreen: its operations and settings, applying a list, the dispatcher
// with the forms, and the translated dialogs clicked as a user does.
#include "TranslationLines.h"
#include "admin/AdminForms.h"
#include "base/FormatSettings.h"
#include "i18n/FormTranslation.h"
#include "i18n/LangComponent.h"
#include "i18n/LangDispatcher.h"
#include "ui/Components.h"
#include "ui/Dialogs.h"
#include "ui/MessageForm.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QFont>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

using testing_lines::D;
using testing_lines::line;

class EngineForm : public ui::TForm {
    Q_OBJECT
  public:
    EngineForm() : TForm(QStringLiteral("EngineForm")) {
        SetCaption(QStringLiteral("Okno"));
        label = new ui::TLabel(QStringLiteral("Label1"), QStringLiteral("Tekst"), this);
        label->setFont(QFont(QStringLiteral("Tahoma")));
        inherits = new ui::TLabel(QStringLiteral("Label2"), QStringLiteral("Drugi"), this);
        check = new ui::TCheckBox(QStringLiteral("Check1"), QStringLiteral("Pole"), this);
        button = new ui::TButton(QStringLiteral("Button1"), QStringLiteral("Przycisk"), this);
        status = new ui::TStatusBar(QStringLiteral("StatusBar"), this, 2);
        status->Panels()[1]->SetText(QStringLiteral("baza"));
        save = new QAction(QStringLiteral("Zapisz"), this);
        save->setObjectName(QStringLiteral("actSave"));
    }
    ui::TLabel* label;
    ui::TLabel* inherits;
    ui::TCheckBox* check;
    ui::TButton* button;
    ui::TStatusBar* status;
    QAction* save;
};

struct Engine : ::testing::Test {
    EngineForm form;
    TlgLangDispatcher* dispatcher = new TlgLangDispatcher(&form);
    TlgLang* lang = new TlgLang(&form);

    void SetUp() override {
        dispatcher->SetLangNames(i18n::ProgramLangNames());
        lang->Captions = {line("EngineForm", {"Okno", "Window", "", "Окно"}),
                          line("Label1", {"Tekst", "Text", "", "Текст"}),
                          line("Button1", {"Przycisk", "Button", "", "Кнопка"})};
        lang->Hints = {line("Check1", {"Podpowiedź", "Hint", "", "Подсказка"})};
        lang->Fonts = {line("Label1", {"Tahoma", "Arial", "", "Arial"}),
                       line("Label2", {"Tahoma", "Arial", "", "Arial"})};
        lang->SetNumLang(4);
        lang->SetLangNames(i18n::ProgramLangNames());
        lang->SetLangDispatcher(dispatcher);
        lang->Loaded();
    }
};

} // namespace

// ---- the component: operations, settings, cursor, saved locale, removals ----

TEST_F(Engine, ComponentOperationsAndSettings) {
    // Published properties of any object, by name.
    EXPECT_TRUE(TlgCustomLang::ObjectHasProperty(form.label, "caption", 1u << tkLString, ""));
    EXPECT_TRUE(TlgCustomLang::ObjectHasProperty(form.label, "Font", 1u << tkClass, "TFont"));
    EXPECT_FALSE(TlgCustomLang::ObjectHasProperty(form.label, "Font", 1u << tkClass, "TStrings"));
    EXPECT_FALSE(TlgCustomLang::ObjectHasProperty(form.label, "Caption", 1u << tkInteger, ""));
    EXPECT_FALSE(TlgCustomLang::ObjectHasProperty(nullptr, "Caption", ~0u, ""));
    EXPECT_EQ(TlgCustomLang::GetObjectStrProperty(form.check, "Caption"), "Pole");
    EXPECT_EQ(TlgCustomLang::GetObjectStrProperty(form.check, "Nothing"), "");
    TlgCustomLang::SetObjectStrProperty(form.check, "Hint", "Nowa");
    EXPECT_EQ(form.check->Hint(), "Nowa");
    TlgCustomLang::SetObjectStrProperty(nullptr, "Hint", "x");
    EXPECT_EQ(TlgCustomLang::GetObjectFontName(form.label), "Tahoma");
    EXPECT_EQ(TlgCustomLang::GetObjectFontName(lang), "");
    form.label->setProperty("FontCharset", 238);
    EXPECT_EQ(TlgCustomLang::GetObjectFontCharset(form.label), 238);
    EXPECT_EQ(TlgCustomLang::GetObjectFontCharset(lang), 0);
    EXPECT_TRUE(lang->IsHandledTStrings("TSTRINGLIST"));
    EXPECT_FALSE(lang->IsHandledTStrings("TMEMO"));

    // The settings are published: setting them through the meta-object has the setters' effects.
    lang->setProperty("DoNotTranslate", QStringList{"Label1"});
    lang->setProperty("ExcludedProperties", QStringList{"Hint"});
    EXPECT_TRUE(lang->Hints.empty());
    dispatcher->SetActiveLanguage(2);
    EXPECT_EQ(form.label->text(), "Tekst");
    EXPECT_EQ(form.check->Hint(), "Nowa");
    EXPECT_EQ(form.Caption(), "Window");
    lang->setProperty("SmartExcludeProps", QStringList{"Check1.Caption"});
    EXPECT_EQ(lang->property("SmartExcludeProps").toStringList(), QStringList{"Check1.Caption"});
    lang->setProperty("StringsTypes", QStringList{"TMEMO"});
    EXPECT_TRUE(lang->IsHandledTStrings("TMEMO"));

    // The busy cursor shows while a language is applied, and only then.
    lang->ChangingCursor = -11;
    Qt::CursorShape during = Qt::ArrowCursor;
    lang->OnChangeLanguage = [&](TlgCustomLang*) {
        during =
            QGuiApplication::overrideCursor() ? QGuiApplication::overrideCursor()->shape() : Qt::ArrowCursor;
    };
    dispatcher->SetActiveLanguage(4);
    EXPECT_EQ(during, Qt::WaitCursor);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);

    // A component that goes away leaves DoNotTranslate and its extended translations.
    TlgExtendedItem& item = lang->ExtendedTranslations().Add();
    item.SetIdentifier("Label1.Caption");
    item.Values = std::string("Tekst\1Text\1\1\1");
    delete form.label;
    EXPECT_TRUE(lang->DoNotTranslate.empty());
    EXPECT_EQ(lang->ExtendedTranslations().Count(), 0);
}

TEST(TranslationComponent, OldLocaleDataIsCompletedWithTheSettingsSavedAtConstruction) {
    QObject owner;
    TlgLangLinked lang(&owner);
    const std::string saved = base::FormatSettings().shortMonthNames.front();
    base::FormatSettings().shortMonthNames.front() = "changed";
    lang.Locales.resize(11);
    lang.Loaded();
    base::FormatSettings().shortMonthNames.front() = saved;
    ASSERT_EQ(lang.Locales.size(), 15u);
    EXPECT_EQ(i18n::FromCommaText(i18n::ExtractTranslation(lang.Locales[11], D, 1)).front(), saved);
}

// ---- applying a list: actions, parent fonts, locales, keeping the lists in step ----

TEST_F(Engine, ApplyingAListKeepsActionTextsParentFontsAndSetsLocales) {
    form.button->SetAction(form.save);
    EXPECT_EQ(form.button->text(), "Zapisz");
    dispatcher->SetActiveLanguage(2);
    EXPECT_EQ(form.button->text(), "Zapisz");
    EXPECT_EQ(lang->Captions.size(), 2u) << "the action-bound button's line is dropped";
    EXPECT_TRUE(lang->RemovedProps.empty()) << "and not kept";
    form.save->setText(QStringLiteral("Save"));
    EXPECT_EQ(form.button->text(), "Save");

    // A control showing its parent's font keeps it; one with its own font gets the translation's.
    EXPECT_TRUE(form.inherits->ParentFont());
    EXPECT_FALSE(form.label->ParentFont());
    EXPECT_EQ(form.label->font().family(), "Arial");
    EXPECT_NE(form.inherits->font().family(), "Arial");
    form.inherits->setProperty("ParentFont", false);
    dispatcher->SetActiveLanguage(4);
    EXPECT_EQ(form.inherits->font().family(), "Arial");

    // Locale lines set the process's settings only with ChangeLocales on.
    const std::string separator = base::FormatSettings().DecimalSeparator();
    lang->Locales = {line("Decimal Separator", {".", ",x", "", ","})};
    lang->SetList(stLocales, lang->Locales);
    EXPECT_EQ(base::FormatSettings().DecimalSeparator(), separator);
    lang->ChangeLocales = true;
    lang->SetActLang(2);
    EXPECT_EQ(base::FormatSettings().DecimalSeparator(), ",");
    base::FormatSettings().values[2] = separator;
}

TEST_F(Engine, CollectingRenamingAndRemovingKeepTheListsInStep) {
    lang->Captions.clear();
    lang->Hints.clear();
    lang->OtherStrings = {line("Label1.NoSuchProperty", {"a", "b", "", ""})};
    form.check->SetHint(QStringLiteral("Zaznacz"));
    lang->BuildList();
    EXPECT_EQ(lang->Captions.front(), line("EngineForm", {"Okno", "", "", ""}));
    EXPECT_NE(std::find(lang->Captions.begin(), lang->Captions.end(), line("Label1", {"Tekst", "", "", ""})),
              lang->Captions.end());
    EXPECT_NE(std::find(lang->Hints.begin(), lang->Hints.end(), line("Check1", {"Zaznacz", "", "", ""})),
              lang->Hints.end());
    EXPECT_NE(std::find(lang->Collections.begin(), lang->Collections.end(),
                        line("StatusBar.Panels[1].Text", {"baza", "", "", ""})),
              lang->Collections.end());
    EXPECT_TRUE(lang->OtherStrings.empty() ||
                lang->OtherStrings.front().rfind("Label1.NoSuchProperty", 0) != 0)
        << "a line naming a property the component lacks is dropped";

    // Collected again in another language: the Polish texts stay.
    lang->SetActLang(2);
    form.label->setText(QStringLiteral("Text"));
    lang->BuildList();
    EXPECT_NE(
        std::find(lang->Captions.begin(), lang->Captions.end(), line("Label1", {"Tekst", "Text", "", ""})),
        lang->Captions.end());

    // An excluded path loses its line and is not collected again.
    lang->SetSmartExcludeProps({"Check1.Hint", "StatusBar.Panels"});
    EXPECT_TRUE(lang->Collections.empty());
    lang->BuildList();
    EXPECT_TRUE(std::none_of(lang->Hints.begin(), lang->Hints.end(),
                             [](const std::string& l) { return l.rfind("Check1", 0) == 0; }));

    lang->ComponentRenamed("Label1", "lblTekst");
    EXPECT_NE(
        std::find(lang->Captions.begin(), lang->Captions.end(), line("lblTekst", {"Tekst", "Text", "", ""})),
        lang->Captions.end());
    lang->ComponentRenamed("lblTekst", "Label1");

    lang->DoNotTranslate = {"Label1"};
    lang->ReBuildDoNotList();
    EXPECT_TRUE(std::none_of(lang->Captions.begin(), lang->Captions.end(),
                             [](const std::string& l) { return l.rfind("Label1", 0) == 0; }));
    EXPECT_TRUE(lang->NotHandledProperty("Label1", "Name"));
    EXPECT_FALSE(lang->NotHandledProperty("Label1", "Caption"));
}

TEST_F(Engine, PathsExcludedWhileRunningKeepTheirCaptionHintAndFont) {
    form.check->SetHint(QStringLiteral("Podpowiedź"));
    lang->SetSmartExcludeProps({"Label1.Caption", "Check1.Hint", "Label1.Font"});
    dispatcher->SetActiveLanguage(2);
    EXPECT_EQ(form.label->text().toStdString(), "Tekst");
    EXPECT_EQ(form.check->Hint().toStdString(), "Podpowiedź");
    EXPECT_EQ(form.label->font().family().toStdString(), "Tahoma");
    EXPECT_EQ(form.button->text().toStdString(), "Button"); // the others are translated
}

// ---- the dispatcher and the forms ----

TEST(DispatcherAndForms, AMissingFileLoadsNothingAndEveryFormButTheMessageFormSharesTheMainLists) {
    EngineForm form;
    auto* dispatcher = new TlgLangDispatcher(&form);
    dispatcher->SetLangNames(i18n::ProgramLangNames());
    dispatcher->SetActiveLanguage(2);
    dispatcher->SetFileName("/nonexistent/halvex-translations.lng");
    auto* lang = new TlgLang(&form);
    lang->Captions = {line("Label1", {"Tekst", "Text", "", ""})};
    lang->SetLangDispatcher(dispatcher);
    EXPECT_NO_THROW(lang->Loaded());
    EXPECT_EQ(form.label->text(), "Text");

    QWidget mainForm;
    TlgLangDispatcher* mainDispatcher = nullptr;
    TlgLang* mainLang = i18n::CreateMainTranslation(&mainForm, mainDispatcher);
    ui::TListView list(QStringLiteral("lvKlienci"), nullptr);
    TFindForm find(nullptr, &list);
    EXPECT_EQ(find.lgLangLinked1->CommonContainer(), mainLang);
    EXPECT_EQ(find.lgLangLinked1->DlgsCaptions, mainLang->DlgsCaptions);
    TfrmMessage message(nullptr);
    EXPECT_EQ(message.lgLangLinked1->CommonContainer(), nullptr);
    i18n::ForgetMainTranslation();
}

// ---- the translated dialogs ----

namespace {

constexpr unsigned bit(TlgCustomLang::TMsgDlgBtn b) {
    return 1u << b;
}

// Runs `act` on the dialog form once it shows.
template <class Form> void whenShown(std::function<void(Form&)> act) {
    QTimer::singleShot(0, [act] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* form = qobject_cast<Form*>(w); form && form->isVisible()) {
                act(*form);
                // A dialog the steps left open would hold the test forever.
                if (form->isVisible())
                    form->close();
                return;
            }
        ADD_FAILURE() << "no dialog shown";
    });
}

struct Dialogs : Engine {
    void SetUp() override {
        Engine::SetUp();
        ui::setDialogs(std::make_shared<ui::InteractiveDialogs>());
    }
    void TearDown() override {
        ui::setDialogs(std::make_shared<ui::HeadlessDialogs>());
        ui::SetHelpHandler({});
    }
};

} // namespace

TEST_F(Dialogs, MessageDialogIsBuiltInDialogUnitsOfTheFormsFont) {
    lang->DlgsCaptions = {line("Confirm", {"Potwierdź", "Confirm", "", ""}),
                          line("Yes", {"&Tak", "&Yes", "", ""}), line("No", {"&Nie", "", "", ""}),
                          line("Cancel", {"Anuluj", "Cancel", "", ""})};
    dispatcher->SetActiveLanguage(2);
    form.setFont(QFont(QStringLiteral("DejaVu Sans"), 11));
    std::unique_ptr<ui::TMessageForm> dialog(lang->CreateMessageDialog(
        "Usunąć wybrany kontakt?", TlgCustomLang::mtConfirmation,
        bit(TlgCustomLang::mbYes) | bit(TlgCustomLang::mbNo) | bit(TlgCustomLang::mbCancel)));
    EXPECT_EQ(dialog->Caption(), "Confirm");
    EXPECT_EQ(dialog->font(), form.font());
    const QSize ave = ui::LgGetAveCharSize(QFontMetrics(form.font()));
    const int x = ave.width(), y = ave.height();
    ASSERT_NE(dialog->Image, nullptr);
    EXPECT_EQ(dialog->Image->objectName(), "Image");
    EXPECT_EQ(dialog->Image->geometry(), QRect(ui::MulDiv(8, x, 4), ui::MulDiv(8, y, 8), 32, 32));
    EXPECT_EQ(dialog->Message->objectName(), "Message");
    EXPECT_EQ(dialog->Message->text(), "Usunąć wybrany kontakt?");
    EXPECT_EQ(dialog->Message->y(), ui::MulDiv(8, y, 8));
    EXPECT_EQ(dialog->Message->x(), ui::MulDiv(8, x, 4) + 32 + ui::MulDiv(10, x, 4));
    auto* yes = dialog->findChild<ui::TButton*>("Yes");
    auto* no = dialog->findChild<ui::TButton*>("No");
    auto* cancel = dialog->findChild<ui::TButton*>("Cancel");
    ASSERT_TRUE(yes && no && cancel);
    EXPECT_EQ(yes->text(), "&Yes");
    EXPECT_EQ(no->text(), "&Nie") << "an empty translation falls back to language 1";
    EXPECT_EQ(dialog->DefaultButton, yes);
    EXPECT_EQ(dialog->CancelButton, cancel);
    EXPECT_EQ(yes->width(), cancel->width());
    EXPECT_GE(yes->width(), ui::MulDiv(50, x, 4));
    EXPECT_EQ(yes->height(), ui::MulDiv(14, y, 8));
    EXPECT_EQ(no->x() - yes->x(), yes->width() + ui::MulDiv(4, x, 4));
    const int group = 3 * yes->width() + 2 * ui::MulDiv(4, x, 4);
    EXPECT_EQ(yes->x(), (dialog->width() - group) / 2);
    EXPECT_EQ(yes->y(), std::max(dialog->Message->height(), 32) + ui::MulDiv(8, y, 8) + ui::MulDiv(10, y, 8));
    EXPECT_EQ(dialog->height(), yes->y() + yes->height() + ui::MulDiv(8, y, 8));

    // [Abort, Retry, Ignore]: Retry is the default and no button cancels.
    std::unique_ptr<ui::TMessageForm> abort(lang->CreateMessageDialog(
        "?", TlgCustomLang::mtError,
        bit(TlgCustomLang::mbAbort) | bit(TlgCustomLang::mbRetry) | bit(TlgCustomLang::mbIgnore)));
    EXPECT_EQ(abort->DefaultButton, abort->findChild<ui::TButton*>("Retry"));
    EXPECT_EQ(abort->CancelButton, nullptr);
    // No buttons: as wide as the text and icon.
    std::unique_ptr<ui::TMessageForm> bare(lang->CreateMessageDialog("Tekst", TlgCustomLang::mtWarning, 0));
    EXPECT_EQ(bare->width(), bare->Message->x() + bare->Message->width() + ui::MulDiv(8, x, 4));
}

TEST_F(Dialogs, MessageDialogsAnswerTheButtonClickedWhereTheyWereAskedToShow) {
    int helpContext = -1;
    ui::SetHelpHandler([&](int context, const QString&) { helpContext = context; });
    whenShown<ui::TMessageForm>([](ui::TMessageForm& dialog) {
        EXPECT_EQ(dialog.pos(), QPoint(40, 30));
        QTest::mouseClick(dialog.findChild<ui::TButton*>("Help"), Qt::LeftButton);
        EXPECT_TRUE(dialog.isVisible()) << "help leaves the dialog open";
        QTest::mouseClick(dialog.findChild<ui::TButton*>("No"), Qt::LeftButton);
    });
    EXPECT_EQ(lang->MessageDlgPosHelp("Zapisać?", TlgCustomLang::mtConfirmation,
                                      bit(TlgCustomLang::mbYes) | bit(TlgCustomLang::mbNo) |
                                          bit(TlgCustomLang::mbHelp),
                                      77, 40, 30, "pomoc.chm", 6),
              7);
    EXPECT_EQ(helpContext, 77);

    // ShowMessagePos: the application's name as caption, no icon, only OK; Enter answers.
    whenShown<ui::TMessageForm>([](ui::TMessageForm& dialog) {
        EXPECT_EQ(dialog.Caption(), QCoreApplication::applicationName());
        EXPECT_EQ(dialog.Image, nullptr);
        EXPECT_EQ(dialog.Message->text(), "Gotowe");
        EXPECT_EQ(dialog.x(), 50);
        QTest::keyClick(&dialog, Qt::Key_Return);
    });
    lang->ShowMessagePos("Gotowe", 50, -1);

    // Escape gives the cancel button's answer.
    whenShown<ui::TMessageForm>([](ui::TMessageForm& dialog) { QTest::keyClick(&dialog, Qt::Key_Escape); });
    EXPECT_EQ(lang->MessageDlgPos("?", TlgCustomLang::mtWarning,
                                  bit(TlgCustomLang::mbOK) | bit(TlgCustomLang::mbCancel), 0, -1, -1, 1),
              2);
}

TEST_F(Dialogs, ShowMessageFmtAndInputQueryTakeTheTextAsTheUserTypesIt) {
    auto scripted = std::make_shared<ui::ScriptedDialogs>();
    ui::setDialogs(scripted);
    lang->ShowMessageFmt("Zapisano %d z %s", 3, "pięciu");
    ASSERT_EQ(scripted->Calls().size(), 1u);
    EXPECT_EQ(scripted->Calls()[0].text, "Zapisano 3 z pięciu");

    ui::setDialogs(std::make_shared<ui::InteractiveDialogs>());
    whenShown<ui::TDialogForm>([](ui::TDialogForm& dialog) {
        auto* edit = dialog.findChild<ui::TEdit*>("Edit");
        EXPECT_EQ(edit->maxLength(), 255);
        EXPECT_EQ(edit->selectedText(), "stary");
        EXPECT_EQ(dialog.findChild<ui::TLabel*>("Prompt")->text(), "Nazwa:");
        QTest::keyClicks(edit, "nowy");
        QTest::mouseClick(dialog.findChild<ui::TButton*>("OK"), Qt::LeftButton);
    });
    std::string value = "stary";
    EXPECT_TRUE(lang->InputQuery("Grupa", "Nazwa:", value));
    EXPECT_EQ(value, "nowy");

    whenShown<ui::TDialogForm>([](ui::TDialogForm& dialog) {
        QTest::keyClicks(dialog.findChild<ui::TEdit*>("Edit"), std::string(300, 'a').c_str());
        EXPECT_EQ(dialog.findChild<ui::TEdit*>("Edit")->text().size(), 255);
        QTest::mouseClick(dialog.findChild<ui::TButton*>("Cancel"), Qt::LeftButton);
    });
    EXPECT_EQ(lang->InputBox("Grupa", "Nazwa:", "stary"), "stary");
}

#include "LangEngineTest.moc"
