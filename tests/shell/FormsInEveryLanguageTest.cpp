// Every form of the program, shown in each language: in English and Russian
// no text is left in Polish, and in every language each window lies inside
// the screen and each header, tab and label is as wide as its text.
#include "admin/AdminForms.h"
#include "admin/Console.h"
#include "admin/ContactForm.h"
#include "i18n/EmbeddedTranslations.h"
#include "i18n/LangComponent.h"
#include "i18n/TextFunctions.h"
#include "shell/AboutBox.h"
#include "shell/ProgramForms.h"
#include "shell/ProgressWindow.h"
#include "support/MainFormFixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QLayout>
#include <QScreen>
#include <QStyle>
#include <QTabBar>
#include <map>
#include <set>

namespace {

QString headerText(const QTreeView& list, int column) {
    return list.model()->headerData(column, Qt::Horizontal).toString();
}

const QString PolishLetters = QString::fromUtf8("ąćęłńóśźżĄĆĘŁŃÓŚŹŻ");

bool hasPolishLetter(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) { return PolishLetters.contains(c); });
}

bool hasLetter(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.isLetter(); });
}

// A text without the numbers and dots that follow it ("Halvex  2.8.2").
QString wordsOf(QString text) {
    while (!text.isEmpty() && (text.back().isDigit() || text.back() == '.' || text.back().isSpace()))
        text.chop(1);
    return text;
}

// Names that are words of no language: the exchange models and the ports.
const std::set<QString> Names{"Kelta", "Vosta/Tarneva", "Zulin", "Bexor", "Gavrel",
                              "Morva", "COM 1",         "COM 2", "COM 3", "COM 4"};

// Every text of one language in a form's translation data, list items split.
std::set<QString> textsOfLanguage(const std::string& formClass, int language) {
    std::set<QString> texts;
    for (const std::string& line : i18n::SplitLines(i18n::EmbeddedTranslationData(formClass))) {
        const std::string text = i18n::ExpandEscapes(i18n::ExtractTranslation(line, 1, language));
        texts.insert(wordsOf(QString::fromStdString(text)));
        for (const std::string& item : i18n::FromCommaText(text))
            texts.insert(QString::fromStdString(item));
    }
    return texts;
}

// One text a window shows, named by form, component and place.
using ShownTexts = std::map<std::string, QString>;

std::string nameOf(const QObject& o) {
    return o.objectName().toStdString();
}

// A form holds the components whose nearest form it is: a dialog owned by
// the main window holds its own.
bool heldBy(const QObject& component, const ui::TForm& form) {
    const QObject* o = component.parent();
    while (o && !qobject_cast<const ui::TForm*>(o))
        o = o->parent();
    return o == &form;
}

void addText(ShownTexts& out, const std::string& where, const QString& text) {
    if (!text.isEmpty())
        out[where] = text;
}

// The captions, hints, headers, tabs, list choices, menus and status panels
// of a form; what its edits, memos and list rows hold is data.
ShownTexts textsOf(const ui::TForm& form) {
    ShownTexts out;
    const std::string at = nameOf(form) + ".";
    addText(out, at + "Caption", form.windowTitle());
    for (const QWidget* w : form.findChildren<QWidget*>()) {
        const std::string name = at + nameOf(*w);
        if (w->objectName().isEmpty() || w->objectName().startsWith("qt_") || !heldBy(*w, form))
            continue;
        addText(out, name + ".Hint", w->toolTip());
        if (auto* label = qobject_cast<const QLabel*>(w))
            addText(out, name, label->text());
        if (auto* button = qobject_cast<const QAbstractButton*>(w))
            addText(out, name, button->text());
        if (auto* box = qobject_cast<const QGroupBox*>(w))
            addText(out, name, box->title());
        if (auto* tabs = qobject_cast<const QTabWidget*>(w))
            for (int i = 0; i < tabs->count(); ++i)
                addText(out, name + ".Tabs[" + std::to_string(i) + "]", tabs->tabText(i));
        if (auto* list = qobject_cast<const QTreeView*>(w))
            for (int i = 0; i < list->model()->columnCount(); ++i)
                addText(out, name + ".Columns[" + std::to_string(i) + "]", headerText(*list, i));
        if (auto* combo = qobject_cast<const QComboBox*>(w))
            for (int i = 0; i < combo->count(); ++i)
                addText(out, name + ".Items[" + std::to_string(i) + "]", combo->itemText(i));
        if (auto* status = qobject_cast<const ui::TStatusBar*>(w))
            for (int i = 0; i < const_cast<ui::TStatusBar*>(status)->Panels().Count(); ++i)
                addText(out, name + ".Panels[" + std::to_string(i) + "]",
                        const_cast<ui::TStatusBar*>(status)->Panels()[i]->Text());
    }
    for (const QAction* item : form.findChildren<QAction*>()) {
        if (item->isSeparator() || item->objectName().isEmpty() || !heldBy(*item, form))
            continue;
        addText(out, at + nameOf(*item), item->text());
        addText(out, at + nameOf(*item) + ".Hint", item->statusTip());
    }
    return out;
}

// The widgets of a form that show a text in one line: what they need is
// their minimum size hint.
bool tooNarrow(const QWidget& w) {
    if (auto* label = qobject_cast<const QLabel*>(&w))
        return !label->wordWrap() && !label->text().isEmpty() && w.width() < w.minimumSizeHint().width();
    if (qobject_cast<const QAbstractButton*>(&w))
        return w.width() < w.minimumSizeHint().width();
    return false;
}

// What does not fit in a shown form: the window outside the screen, a label
// or button cut, a tab not shown whole, a column narrower than its header.
std::vector<std::string> misfitsOf(ui::TForm& form) {
    std::vector<std::string> out;
    const std::string at = nameOf(form) + ".";
    const QRect screen = form.screen()->availableGeometry();
    if (!screen.contains(form.frameGeometry()))
        out.push_back(at + " window " + std::to_string(form.width()) + "x" + std::to_string(form.height()) +
                      " outside the screen");
    auto checkVisible = [&] {
        for (const QWidget* w : form.findChildren<QWidget*>()) {
            if (w->objectName().isEmpty() || !heldBy(*w, form) || !w->isVisibleTo(&form) ||
                qobject_cast<const QTabBar*>(w->parent()))
                continue;
            if (tooNarrow(*w))
                out.push_back(at + nameOf(*w) + " narrower than its text");
            if (auto* list = qobject_cast<const QTreeView*>(w)) {
                const QFontMetrics metrics(list->header()->font());
                const QHeaderView& header = *list->header();
                const int sorted = header.isSortIndicatorShown() ? header.sortIndicatorSection() : -1;
                const int margin = list->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, list);
                const int arrow = list->style()->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, list);
                for (int i = 0; i < list->model()->columnCount(); ++i)
                    if (!list->isColumnHidden(i) &&
                        list->columnWidth(i) < metrics.horizontalAdvance(headerText(*list, i)) + 2 * margin +
                                                   (i == sorted ? margin + arrow : 0))
                        out.push_back(at + nameOf(*w) + ".Columns[" + std::to_string(i) + "] cut");
            }
            if (auto* tabs = qobject_cast<const QTabWidget*>(w)) {
                const QTabBar* bar = tabs->tabBar();
                for (int i = 0; i < tabs->count(); ++i)
                    if (tabs->isTabVisible(i) &&
                        (!bar->rect().contains(bar->tabRect(i)) ||
                         bar->tabRect(i).width() < bar->fontMetrics().horizontalAdvance(tabs->tabText(i))))
                        out.push_back(at + nameOf(*w) + ".Tabs[" + std::to_string(i) + "] not shown whole");
            }
        }
    };
    // Each page of each page control in turn.
    bool paged = false;
    for (QTabWidget* tabs : form.findChildren<QTabWidget*>()) {
        const int current = tabs->currentIndex();
        for (int i = 0; i < tabs->count(); ++i) {
            if (!tabs->isTabVisible(i))
                continue;
            tabs->setCurrentIndex(i);
            QApplication::processEvents();
            checkVisible();
            paged = true;
        }
        tabs->setCurrentIndex(current);
    }
    if (!paged)
        checkVisible();
    return out;
}

void writeLanguage(const std::string& registryFile, int language) {
    testing_support::writeFile(registryFile,
                               "Windows Registry Editor Version 5.00\r\n\r\n[software\\Vorlin\\Halvex]\r\n"
                               "\"language\"=dword:0000000" +
                                   std::to_string(language) + "\r\n\"pytanieOwych\"=dword:00000000\r\n");
}

} // namespace

class EveryFormInEveryLanguage : public testing_support::MainFormFixture,
                                 public ::testing::WithParamInterface<int> {
  protected:
    void TearDown() override {
        closeForms();
        MainFormFixture::TearDown();
    }

    // The forms as the program creates them, then the ones made on demand.
    void openForms(int language) {
        writeLanguage(sandbox.machineRegistryFile(), language);
        OknoInfo = new TOknoInfo();
        createForm("DEBUG");
        // The rules are shown sorted by priority once the database is open.
        form->lvRoutingRules->Columns()[0]->SetImageIndex(1);
        CreateProgramForms(*form);
        Exportuj->SourceList = form->lvKontakty;
        contact = new TAddAForm(form.get(), form->Admin(), -1);
        find = new TFindForm(form.get(), form->UserLV);
        forms = {OknoInfo, form.get(),   Konfiguracja, Exportuj,          Import_kont, UserForm, TelFm,
                 Pomoc,    frmFindPhone, frmMessage,   frmSmsRoutingRule, contact,     find};
        for (ui::TForm* f : forms)
            f->show();
        QApplication::processEvents();
    }

    void closeForms() {
        DeleteProgramForms();
        delete contact;
        delete find;
        delete OknoInfo;
        contact = nullptr;
        find = nullptr;
        OknoInfo = nullptr;
        forms.clear();
        form.reset();
    }

    // What the forms show, and the file dialogs they open.
    ShownTexts shownTexts() {
        ShownTexts all;
        for (ui::TForm* f : forms)
            all.merge(textsOf(*f));
        Import_kont->btnOdczytajClick();
        Exportuj->ListBox1DblClick();
        Exportuj->EksportujButtonClick();
        int n = 0;
        for (const auto& call : dialogs->Calls()) {
            const std::string where = "dialog " + std::to_string(n++) + " " + call.kind;
            addText(all, where + ".Caption", QString::fromStdString(call.caption));
            addText(all, where + ".Text", QString::fromStdString(call.text));
        }
        return all;
    }

    std::vector<ui::TForm*> forms;
    TAddAForm* contact = nullptr;
    TFindForm* find = nullptr;
};

TEST_P(EveryFormInEveryLanguage, NothingIsLeftInPolishAndEverythingFits) {
    const int language = GetParam();
    ShownTexts polish;
    if (language != 0) {
        openForms(0);
        polish = shownTexts();
        closeForms();
        dialogs = std::make_shared<ui::ScriptedDialogs>();
    }
    openForms(language);
    const int languageNumber = language == 2 ? 4 : 2;
    std::map<std::string, std::set<QString>> translated;
    for (const auto& [where, text] : shownTexts()) {
        if (language == 0)
            break;
        const std::string formName = where.substr(0, where.find('.'));
        ui::TForm* owner = nullptr;
        for (ui::TForm* f : forms)
            if (nameOf(*f) == formName)
                owner = f;
        const std::string formClass = owner ? owner->metaObject()->className() : "TForm1";
        if (!translated.count(formClass)) {
            translated[formClass] = textsOfLanguage(formClass, languageNumber);
            translated[formClass].merge(textsOfLanguage("TForm1", languageNumber));
        }
        const auto before = polish.find(where);
        const bool unchanged = before != polish.end() && before->second == text && hasLetter(text) &&
                               !translated[formClass].count(wordsOf(text)) && !Names.count(text);
        EXPECT_FALSE(hasPolishLetter(text) || unchanged)
            << where << " left in Polish: " << text.toStdString();
    }
    for (ui::TForm* f : forms)
        for (const std::string& misfit : misfitsOf(*f))
            ADD_FAILURE() << misfit;
}

INSTANTIATE_TEST_SUITE_P(Languages, EveryFormInEveryLanguage, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == 0   ? "Polish"
                                                : info.param == 1 ? "English"
                                                                  : "Russian");
                         });
