// Text and binary translation files: every form's texts through them and
// back, and damaged or unwritable files.
#include "i18n/ComponentStream.h"
#include "i18n/LGBFile.h"
#include "i18n/LangComponent.h"
#include "i18n/LangDispatcher.h"
#include "support/Sandbox.h"
#include "ui/PropertyPath.h"

#include <QDir>
#include <QProcess>
#include <gtest/gtest.h>
#include <random>

using testing_support::readFile;
using testing_support::writeFile;

namespace {

const i18n::TStrings Languages{"Polski", "Angielski", "Niemiecki", "Rosyjski"};

std::string sourceDir() {
    return qEnvironmentVariable("HALVEX_SOURCE_DIR", QStringLiteral(HALVEX_SOURCE_DIR_FALLBACK))
        .toStdString();
}

std::vector<std::string> formsWithTexts() {
    std::vector<std::string> forms;
    for (const QString& name : QDir(QString::fromStdString(sourceDir() + "/translations"))
                                   .entryList({"*.lng"}, QDir::Files, QDir::Name))
        forms.push_back(name.chopped(4).toStdString());
    return forms;
}

std::string lngOf(const std::string& form) {
    return sourceDir() + "/translations/" + form + ".lng";
}

std::unique_ptr<TlgCustomLang> componentFor(const std::string& form, QObject* owner) {
    std::unique_ptr<TlgCustomLang> lang;
    if (form == "TForm1")
        lang = std::make_unique<TlgLang>(owner);
    else
        lang = std::make_unique<TlgLangLinked>(owner);
    lang->SetOwnerNames(form, "");
    lang->SetNumLang(4);
    lang->SetLangNames(Languages);
    lang->Loaded();
    return lang;
}

// A form of that class holding a component of every name its file translates.
struct Form {
    explicit Form(const std::string& className) {
        auto reader = componentFor(className, nullptr);
        reader->LoadAllFromFile(lngOf(className), true);
        for (int type = 0; type < StringsTypeCount; ++type)
            if (const auto* list = reader->GetPropListByType(type))
                for (const auto& line : *list) {
                    const std::string key = line.substr(0, line.find_first_of("\1.["));
                    if (key != className && !owner.findChild<QObject*>(QString::fromStdString(key)))
                        (new QObject(&owner))->setObjectName(QString::fromStdString(key));
                }
        lang = componentFor(className, &owner);
    }
    QObject owner;
    std::unique_ptr<TlgCustomLang> lang;
};

// What a component holds: its data block and language names.
std::string stateOf(TlgCustomLang& lang) {
    std::string state = lang.WriteOurStrProps();
    for (const auto& name : lang.LangNames())
        state += "|" + name;
    for (int i = 0; i < lang.ExtendedTranslations().Count(); ++i)
        state += "|" + lang.ExtendedTranslations().Items(i).Identifier() + "=" +
                 lang.ExtendedTranslations().Items(i).Values;
    return state;
}

void expectSameTexts(TlgCustomLang& a, TlgCustomLang& b, const std::string& form) {
    EXPECT_EQ(a.WriteOurStrProps(), b.WriteOurStrProps()) << form;
    EXPECT_EQ(a.LangNames(), b.LangNames()) << form;
    ASSERT_EQ(a.ExtendedTranslations().Count(), b.ExtendedTranslations().Count()) << form;
    for (int i = 0; i < a.ExtendedTranslations().Count(); ++i) {
        const TlgExtendedItem &x = a.ExtendedTranslations().Items(i), &y = b.ExtendedTranslations().Items(i);
        EXPECT_EQ(x.Identifier(), y.Identifier()) << form;
        EXPECT_EQ(x.PropertyType, y.PropertyType) << form;
        EXPECT_EQ(x.Values, y.Values) << form;
    }
    for (int language : {1, 2, 4}) {
        a.SetActLang(language);
        b.SetActLang(language);
        for (const auto& line : a.Strings) {
            const std::string key = i18n::ExtractTranslation(line, a.LangDelim(), 0);
            EXPECT_EQ(a.GetText(key), b.GetText(key)) << form << " " << key << " " << language;
        }
    }
}

// What the build's data generator says when it refuses a file; empty when it takes it.
std::string refusalOfGenerator(const std::string& path) {
    QProcess lngc;
    lngc.start(qEnvironmentVariable("HALVEX_TEST_BINARY_DIR") + "/halvex_lngc",
               {QString::fromStdString(path + ".cpp"), QString::fromStdString(path)});
    if (!lngc.waitForFinished(60000) || lngc.exitCode() == 0)
        return {};
    return lngc.readAllStandardError().toStdString();
}

} // namespace

TEST(TranslationFiles, EveryFormsTextFileSavedAndReadBackGivesTheSameTexts) {
    testing_support::Sandbox sandbox;
    const std::string saved = sandbox.file("all.lng");
    writeFile(saved, "[Strings]\r\nTOtherForm.IDS_1=keep~!@#this~!@#~!@#\r\n");
    int forms = 0;
    for (const auto& className : formsWithTexts()) {
        Form original(className), fresh(className);
        EXPECT_EQ(original.lang->LoadFromFile(stStrings, sandbox.file("missing.lng"), true), -1);
        original.lang->LoadAllFromFile(sandbox.file("missing.lng"), true);
        EXPECT_TRUE(original.lang->Captions.empty());
        original.lang->LoadAllFromFile(lngOf(className), true);
        EXPECT_FALSE(original.lang->Captions.empty() && original.lang->Strings.empty()) << className;
        original.lang->SaveAllToFile(saved, "~!@#");
        fresh.lang->LoadAllFromFile(saved, true);
        expectSameTexts(*original.lang, *fresh.lang, className);
        ++forms;
    }
    EXPECT_EQ(forms, 12);
    const std::string all = readFile(saved);
    EXPECT_NE(all.find("TOtherForm.IDS_1=keep~!@#this~!@#~!@#"), std::string::npos);
    EXPECT_NE(all.find("TfrmFindPhone.btnSzukaj=Szukaj~!@#Find~!@#"), std::string::npos);
}

TEST(TranslationFiles, UnreadableTextAndUnwritableSavesRaiseNamingTheFile) {
    testing_support::Sandbox sandbox;
    Form form("TfrmFindPhone");
    form.lang->LoadAllFromFile(lngOf("TfrmFindPhone"), true);
    const std::string before = stateOf(*form.lang);
    const std::string good = readFile(lngOf("TfrmFindPhone"));
    for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
             {"latin2.lng", good + "[Strings]\nTfrmFindPhone.IDS_1=Znajd\xbc~!@#\n"},
             {"nul.lng", good + std::string("TfrmFindPhone.IDS_2=a\0b~!@#\n", 28)}}) {
        const std::string path = sandbox.file(name);
        writeFile(path, text);
        try {
            form.lang->LoadAllFromFile(path, true);
            ADD_FAILURE() << name << " was accepted";
        } catch (const ELanguageError& e) {
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
        EXPECT_EQ(stateOf(*form.lang), before);
        EXPECT_THROW(form.lang->MergeAllFromFile(path), ELanguageError);
        EXPECT_EQ(stateOf(*form.lang), before);
        // The build's data generator refuses the same file.
        EXPECT_NE(refusalOfGenerator(path).find(path), std::string::npos);
    }
    // The forms store no extended translations, so their files hold none.
    writeFile(sandbox.file("TfrmFindPhone.lng"),
              good + "[Extended]\nTfrmFindPhone.Caption=a~!@#b~!@#~!@#c~!@#\n");
    EXPECT_NE(refusalOfGenerator(sandbox.file("TfrmFindPhone.lng")).find("[Extended]"), std::string::npos);
    // A path under a regular file cannot be created, whoever runs the test.
    writeFile(sandbox.file("plain"), "x");
    EXPECT_THROW(form.lang->SaveAllToFile(sandbox.file("plain/t.lng"), "~!@#"), ELanguageError);
    EXPECT_THROW(form.lang->SaveAllToBinaryFile(sandbox.file("plain/t.lgb")), ELanguageError);
}

TEST(TranslationFiles, MergeKeepsOwnKeysFromTextAndBinaryFiles) {
    testing_support::Sandbox sandbox;
    Form form("TAddAForm"), source("TAddAForm");
    source.lang->LoadAllFromFile(lngOf("TAddAForm"), true);
    source.lang->SaveAllToBinaryFile(sandbox.file("add.LgB"));
    for (const std::string& file : {lngOf("TAddAForm"), sandbox.file("add.LgB")}) {
        form.lang->Strings = {"IDS_OWN\1own\1\1\1\1", "ids_0\1stary\1\1\1\1"};
        EXPECT_TRUE(form.lang->MergeAllFromFile(file)) << file;
        EXPECT_FALSE(form.lang->IsReadingFile());
        EXPECT_EQ(form.lang->GetTextOrDefault("IDS_OWN"), "own");
        EXPECT_EQ(form.lang->GetTextOrDefault("IDS_0"), source.lang->GetTextOrDefault("IDS_0"));
        EXPECT_EQ(form.lang->Strings.size(), source.lang->Strings.size() + 1);
    }
    EXPECT_FALSE(form.lang->MergeAllFromFileDNC(sandbox.file("missing.lng")));
    EXPECT_FALSE(form.lang->MergeFromFile(stListView_TreeView_Items, lngOf("TAddAForm")));
    EXPECT_FALSE(form.lang->IsReadingFile());
}

TEST(LgbFile, EveryFormInOneFileReadsBackIntoFreshForms) {
    testing_support::Sandbox sandbox;
    const std::string file = sandbox.file("all.lgb");
    std::vector<std::unique_ptr<Form>> originals, fresh;
    TlgLangDispatcher dispatcher(nullptr);
    dispatcher.SetLangNames(Languages);
    for (const auto& className : formsWithTexts()) {
        originals.push_back(std::make_unique<Form>(className));
        originals.back()->lang->LoadAllFromFile(lngOf(className), true);
        TlgExtendedItem& item = originals.back()->lang->ExtendedTranslations().Add();
        item.SetIdentifier(className + ".Caption");
        item.PropertyType = tkLString;
        item.Values = "Okno\1Window\1\1" + className + "\1";
        originals.back()->lang->ExtendedTranslations().Add().SetIdentifier("Label1.Tag");
        originals.back()->lang->SaveAllToBinaryFile(file);
        fresh.push_back(std::make_unique<Form>(className));
        fresh.back()->lang->SetLangDispatcher(&dispatcher);
    }
    const std::string bytes = readFile(file);

    // The layout: header, counts, directory of owner classes with offsets of the blocks.
    ASSERT_GT(bytes.size(), 46u);
    EXPECT_EQ(bytes.substr(0, 42), std::string("LGB file: TlgLang binary translation data\0", 42));
    const auto le = [&](std::size_t at, int size) {
        std::uint32_t v = 0;
        for (int b = 0; b < size; ++b)
            v |= std::uint32_t(static_cast<unsigned char>(bytes[at + std::size_t(b)])) << (8 * b);
        return v;
    };
    ASSERT_EQ(le(42, 2), originals.size());
    EXPECT_EQ(le(44, 2), 0u);
    std::size_t at = 46;
    std::vector<std::uint32_t> offsets;
    for (const auto& form : originals) {
        const std::uint32_t k = le(at, 2);
        EXPECT_EQ(bytes.substr(at + 2, k), form->lang->OwnerClassName());
        offsets.push_back(le(at + 2 + k, 4));
        at += 2 + k + 4;
    }
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        EXPECT_EQ(offsets[i],
                  i == 0 ? at : offsets[i - 1] + i18n::WriteComponentBlock(*originals[i - 1]->lang).size());
        EXPECT_EQ(bytes.substr(offsets[i], 4), "TPF0");
    }
    EXPECT_EQ(offsets.back() + i18n::WriteComponentBlock(*originals.back()->lang).size(), bytes.size());

    dispatcher.LoadAllFromStream(bytes);
    for (std::size_t i = 0; i < originals.size(); ++i)
        expectSameTexts(*originals[i]->lang, *fresh[i]->lang, originals[i]->lang->OwnerClassName());
    EXPECT_EQ(dispatcher.LangNames(), Languages);

    // Saving one form again replaces its entry and keeps the others.
    Form& findPhone = **std::find_if(originals.begin(), originals.end(), [](const auto& f) {
        return f->lang->OwnerClassName() == "TfrmFindPhone";
    });
    findPhone.lang->Strings.push_back("IDS_NEW\1nowy\1new\1\1novy\1");
    findPhone.lang->SaveAllToBinaryFile(file);
    TLGBFileManager manager(file);
    ASSERT_EQ(manager.GetCompCount(), int(originals.size()));
    for (std::size_t i = 0; i < originals.size(); ++i) {
        EXPECT_EQ(manager.GetOwnerNames(int(i)), originals[i]->lang->OwnerClassName());
        EXPECT_EQ(manager.GetlgComponents(int(i))->WriteOurStrProps(),
                  originals[i]->lang->WriteOurStrProps());
    }

    // A dispatcher naming the file loads it into each component that registers.
    dispatcher.SetFileName(sandbox.file("ALL.LGB"));
    QDir().rename(QString::fromStdString(file), QString::fromStdString(sandbox.file("ALL.LGB")));
    Form late("TfrmFindPhone");
    late.lang->SetLangDispatcher(&dispatcher);
    ASSERT_NE(dispatcher.BinaryFileManager(), nullptr);
    EXPECT_EQ(late.lang->GetTextOrDefault("IDS_NEW"), "nowy");
}

TEST(LgbFile, ManagerListOperations) {
    QObject formA, formB;
    auto a = componentFor("TFormA", &formA), b = componentFor("TFormB", &formB);
    TLGBFileManager manager;
    EXPECT_EQ(manager.Add(a.get()), 0);
    EXPECT_EQ(manager.Add(b.get()), 1);
    EXPECT_EQ(manager.Add(a.get()), 0); // its owner's entry is replaced in place
    i18n::TStrings fixed{"Rosyjski", "Polski", "polski"};
    manager.SetFixedLanguages(fixed);
    fixed.clear();
    EXPECT_EQ(manager.FixedLanguages(), (i18n::TStrings{"Polski", "Rosyjski"}));
    manager.Move(1, 0);
    EXPECT_EQ(manager.GetOwnerNames(0), "TFormB");
    EXPECT_GT(manager.GetComponentSize(0), 4);
    TLGBFileManager copy;
    manager.AssignTo(copy);
    ASSERT_EQ(copy.GetCompCount(), 2);
    EXPECT_NE(copy.GetlgComponents(0), b.get());
    EXPECT_EQ(copy.GetlgComponents(0)->parent(), nullptr);
    EXPECT_EQ(copy.FixedLanguages(), manager.FixedLanguages());
    manager.Remove(0);
    EXPECT_EQ(manager.GetCompCount(), 1);
    EXPECT_THROW(manager.Remove(5), std::out_of_range);
    EXPECT_TRUE(lgIsBinaryFile("x/forms.lgb"));
    EXPECT_TRUE(lgIsBinaryFile("FORMS.LGB"));
    EXPECT_FALSE(lgIsBinaryFile("forms.lgb.lng"));
}

TEST(LgbFile, DamagedFilesNeverCrashAndLeaveTheTargetUnchanged) {
    testing_support::Sandbox sandbox;
    const std::string file = sandbox.file("two.lgb");
    for (const char* className : {"TfrmFindPhone", "TPomoc"}) {
        Form form(className);
        form.lang->LoadAllFromFile(lngOf(className), true);
        TlgExtendedItem& item = form.lang->ExtendedTranslations().Add();
        item.SetIdentifier("Label1.Caption");
        item.Values = "a\1b\1\1c\1";
        form.lang->SaveAllToBinaryFile(file);
    }
    const std::string good = readFile(file);
    Form target("TPomoc");
    target.lang->Strings = {"IDS_MINE\1moje\1\1\1\1"};
    int loaded = 0, refused = 0;
    auto attempt = [&](const std::string& bytes) {
        const std::string prior = stateOf(*target.lang);
        try {
            target.lang->LoadAllFromBinaryStream(bytes);
            ++loaded;
        } catch (const ELanguageError& e) {
            ++refused;
            ASSERT_STREQ(e.what(), "Unrecognized stream format!");
            ASSERT_EQ(stateOf(*target.lang), prior);
        }
        TLGBFileManager manager;
        try {
            manager.ReadStreamContent(bytes);
        } catch (const ELanguageError&) {
            ASSERT_EQ(manager.GetCompCount(), 0);
        }
    };
    for (std::size_t cut = 0; cut < good.size(); ++cut)
        attempt(good.substr(0, cut));
    std::mt19937 random(20261207);
    for (int i = 0; i < 10000; ++i) {
        std::string bytes = good;
        const int changes = 1 + int(random() % 4);
        for (int c = 0; c < changes; ++c) {
            // Half of the changes fall on the header, counts, directory and block starts.
            const std::size_t at = random() % 2 ? random() % 160 : random() % bytes.size();
            bytes[std::min(at, bytes.size() - 1)] = char(random() % 4 ? random() : random() % 3);
        }
        attempt(bytes);
    }
    EXPECT_GT(refused, 1000);
    EXPECT_GT(loaded, 100);

    // A save into a damaged file is refused and leaves it byte for byte.
    std::string damaged = good;
    damaged[5] = 'x';
    writeFile(file, damaged);
    EXPECT_THROW(target.lang->SaveAllToBinaryFile(file), ELanguageError);
    EXPECT_EQ(readFile(file), damaged);
}
