// The translation data of the program's forms, and the main window in each language.
#include "admin/AdminForms.h"
#include "i18n/EmbeddedTranslations.h"
#include "i18n/LangComponent.h"
#include "shell/MainForm.h"
#include "shell/ProgressWindow.h"
#include "support/Sandbox.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <set>

namespace {

// The message keys a form's data holds, with their texts per language.
std::map<std::string, std::vector<std::string>> messagesOf(const std::string& form) {
    std::map<std::string, std::vector<std::string>> messages;
    bool inStrings = false;
    for (const auto& l : i18n::SplitLines(i18n::EmbeddedTranslationData(form))) {
        if (l.rfind("st", 0) == 0 && l.find('\1') == std::string::npos) {
            inStrings = l == "stStrings";
            continue;
        }
        if (!inStrings)
            continue;
        auto& texts = messages[i18n::ExtractTranslation(l, 1, 0)];
        for (int k = 1; k <= 4; ++k)
            texts.push_back(i18n::ExpandEscapes(i18n::ExtractTranslation(l, 1, k)));
    }
    return messages;
}

// The entries of one section of a form's data, by key, with their texts per language.
std::map<std::string, std::vector<std::string>> entriesOf(const std::string& form,
                                                          const std::string& section) {
    std::map<std::string, std::vector<std::string>> entries;
    bool inSection = false;
    for (const auto& l : i18n::SplitLines(i18n::EmbeddedTranslationData(form))) {
        if (l.rfind("st", 0) == 0 && l.find('\1') == std::string::npos) {
            inSection = l == section;
            continue;
        }
        if (!inSection)
            continue;
        auto& texts = entries[i18n::ExtractTranslation(l, 1, 0)];
        for (int k = 1; k <= 4; ++k)
            texts.push_back(i18n::ExtractTranslation(l, 1, k));
    }
    return entries;
}

// Keys the data does not hold on purpose: their lookup yields the empty text.
const std::set<std::pair<std::string, std::string>> KnownAbsent{
    {"TForm1", "IDS_765"}, {"TForm1", "IDS_646"}, {"TForm1", "IDS_LANG_CLOSE"}};

} // namespace

TEST(FormData, EveryKeyLookedUpByCodeIsInItsFormsData) {
    const QString root =
        qEnvironmentVariable("HALVEX_SOURCE_DIR", QStringLiteral(HALVEX_SOURCE_DIR_FALLBACK));
    const QRegularExpression lookup(
        QStringLiteral(R"((lgLangLinked1->GetTextOrDefault|GetTextOrDefault|Text)\(\s*"(IDS_\w+)\"\s*\))"));
    const QRegularExpression method(QStringLiteral(R"(\b(T\w+)::~?\w+\s*\()"));
    int found = 0;
    QDirIterator files(root + "/src", {"*.cpp", "*.h", "*.inc"}, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        for (auto m = lookup.globalMatch(text); m.hasNext();) {
            const auto match = m.next();
            std::string form = "TForm1";
            if (match.captured(1).startsWith("lgLangLinked1")) {
                // A form's own component: the class of the enclosing member function.
                QRegularExpressionMatch owner;
                for (auto o = method.globalMatch(text.left(match.capturedStart())); o.hasNext();)
                    owner = o.next();
                form = owner.captured(1).toStdString();
            }
            const std::string key = match.captured(2).toStdString();
            ++found;
            if (KnownAbsent.count({form, key}))
                continue;
            EXPECT_TRUE(messagesOf(form).count(key))
                << files.filePath().toStdString() << ": " << form << " " << key;
        }
    }
    EXPECT_GT(found, 5);
}

TEST(FormData, PrintfFormatsTakeTheSameArgumentsInEveryLanguage) {
    int formats = 0;
    for (const auto& form : i18n::EmbeddedTranslationForms())
        for (const auto& [key, texts] : messagesOf(form)) {
            const auto polish = i18n::FormatConversions(texts[0]);
            formats += polish.empty() ? 0 : 1;
            for (std::size_t k = 1; k < texts.size(); ++k) {
                if (!texts[k].empty()) {
                    EXPECT_EQ(i18n::FormatConversions(texts[k]), polish)
                        << form << " " << key << " language " << k + 1;
                }
            }
        }
    EXPECT_GE(formats, 3);
}

TEST(FormData, PolishEnglishAndRussianPresentGermanEmpty) {
    std::size_t pairs = 0;
    for (const auto& form : i18n::EmbeddedTranslationForms())
        for (const auto& [key, texts] : messagesOf(form)) {
            ++pairs;
            EXPECT_FALSE(texts[0].empty()) << form << " " << key;
            EXPECT_FALSE(texts[1].empty()) << form << " " << key;
            EXPECT_TRUE(texts[2].empty()) << form << " " << key;
            EXPECT_FALSE(texts[3].empty()) << form << " " << key;
        }
    EXPECT_EQ(pairs, 205u);
    EXPECT_EQ(messagesOf("TForm1").size(), 91u);
    EXPECT_EQ(messagesOf("TKonfiguracja").at("IDS_139")[0].find('\n') != std::string::npos, true);
}

class MainWindowLanguage : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        QFile reg(QString::fromStdString(sandbox.machineRegistryFile()));
        ASSERT_TRUE(reg.open(QIODevice::WriteOnly));
        reg.write(QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n[software\\Vorlin\\Halvex]\r\n"
                                 "\"language\"=dword:%1\r\n\"pytanieOwych\"=dword:00000000\r\n")
                      .arg(GetParam(), 8, 10, QLatin1Char('0'))
                      .toUtf8());
        reg.close();
        progress = new TOknoInfo();
        OknoInfo = progress;
        // No start-up attach: it would make the default database.
        StartupOptions noDatabase;
        noDatabase.attachDatabase = false;
        form = new TForm1(nullptr, noDatabase);
        settings = new TKonfiguracja();
    }
    void TearDown() override {
        delete settings;
        delete form;
        delete progress;
        OknoInfo = nullptr;
    }
    testing_support::Sandbox sandbox;
    TOknoInfo* progress = nullptr;
    TForm1* form = nullptr;
    TKonfiguracja* settings = nullptr;
};

TEST_P(MainWindowLanguage, WholeWindowIsShownInTheChosenLanguage) {
    struct Expected {
        QString menu, hint, column, panel, check, progressLabel, settingsCaption;
        std::string message;
    };
    const Expected expected[] = {
        {"Serwer", "Ukryj aplikację w trayu", "Adres IP", "baza CTI", "Włącz logowanie",
         "Inicjalizacja programu ", "Konfiguracja",
         "Aplikacja serwera jest już uruchomiona na tym komputerze"},
        {"Server", "Hide the application in the tray", "IP address", "CTI database", "Enable logging",
         "Program initialisation ", "Settings", "Server is already running on this computer"},
        {"Сервер", "Скрыть приложение в трей", "IP-адрес", "база CTI", "Включить журнал",
         "Инициализация программы ", "Настройки", "Сервер уже запущен на этом компьютере"}};
    const Expected& e = expected[GetParam()];
    ASSERT_FALSE(form->IsSecondInstance());
    EXPECT_EQ(form->Se1->text(), e.menu);
    EXPECT_EQ(form->Schowajdozasobnika1->statusTip(), e.hint);
    EXPECT_EQ(form->lvKlienci->Columns()[0]->Caption(), e.column);
    EXPECT_EQ(form->StatusBar->Panels()[7]->Text(), e.panel);
    EXPECT_EQ(form->LogInfo->text(), e.check);
    EXPECT_EQ(progress->Label1->text(), e.progressLabel);
    EXPECT_EQ(settings->Caption(), e.settingsCaption);
    EXPECT_EQ(form->Text("IDS_20"), e.message);
    // The link thread asks the same component and gets the same text.
    EXPECT_EQ(std::async(std::launch::async, [this] { return form->Text("IDS_20"); }).get(), e.message);
}

INSTANTIATE_TEST_SUITE_P(
    Languages, MainWindowLanguage, ::testing::Values(0, 1, 2), [](const ::testing::TestParamInfo<int>& info) {
        return std::string(info.param == 0 ? "Polish" : info.param == 2 ? "Russian" : "English");
    });

// Each form's fonts take the character set of the language's code page,
// German's included.
TEST(FormData, CharacterSetsFollowTheLanguagesCodePages) {
    const std::vector<std::string> expected{"EASTEUROPE_CHARSET", "ANSI_CHARSET", "ANSI_CHARSET",
                                            "RUSSIAN_CHARSET"};
    std::size_t lines = 0;
    for (const auto& form : i18n::EmbeddedTranslationForms())
        for (const auto& [key, texts] : entriesOf(form, "stCharSets")) {
            ++lines;
            EXPECT_EQ(texts, expected) << form << "." << key;
        }
    EXPECT_EQ(lines, 14u);
}

class MainWindowData : public MainWindowLanguage {};

// Every caption and hint the main window shows in Polish comes from its data,
// which holds it in English and Russian too (German has no texts).
TEST_P(MainWindowData, EveryCaptionAndHintShownIsInTheData) {
    const auto captions = entriesOf("TForm1", "stCaptions");
    const auto hints = entriesOf("TForm1", "stHints");
    std::size_t checked = 0;
    auto check = [&](const std::map<std::string, std::vector<std::string>>& entries, const QObject& component,
                     const char* property) {
        const QString shown = component.property(property).toString();
        const std::string name = component.objectName().toStdString();
        if (shown.isEmpty() || shown == "-" || name.empty() || name.rfind("qt_", 0) == 0)
            return;
        ++checked;
        const auto entry = entries.find(name);
        ASSERT_NE(entry, entries.end()) << name << "." << property << " \"" << shown.toStdString() << "\"";
        EXPECT_EQ(entry->second[0], shown.toStdString()) << name << "." << property;
        EXPECT_FALSE(entry->second[1].empty()) << name << "." << property;
        EXPECT_FALSE(entry->second[3].empty()) << name << "." << property;
    };
    // The form's own caption is line 0, keyed by its class name; the version follows it.
    EXPECT_TRUE(form->Caption().startsWith(QString::fromStdString(captions.at("TForm1")[0])));
    for (const QObject* component : form->findChildren<QObject*>()) {
        // Columns and panels are collection items, with data of their own.
        if (qobject_cast<const ui::TCollectionItem*>(component))
            continue;
        if (component->metaObject()->indexOfProperty("Caption") >= 0)
            check(captions, *component, "Caption");
        if (component->metaObject()->indexOfProperty("Hint") >= 0)
            check(hints, *component, "Hint");
    }
    EXPECT_GT(checked, 60u);
}

INSTANTIATE_TEST_SUITE_P(Polish, MainWindowData, ::testing::Values(0));
