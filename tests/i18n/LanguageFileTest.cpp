#include "i18n/LangComponent.h"

#include <QObject>
#include <gtest/gtest.h>

namespace {

class TForm1 : public QObject {
    Q_OBJECT
};

std::string line(const std::string& key, std::initializer_list<std::string> texts) {
    std::string out = key;
    for (const auto& t : texts)
        out += '\1' + t;
    return out + '\1';
}

std::unique_ptr<TlgLang> component(QObject* owner) {
    auto lang = std::make_unique<TlgLang>(owner);
    lang->SetNumLang(4);
    lang->SetLangNames({"Polski", "Angielski", "Niemiecki", "Rosyjski"});
    return lang;
}

} // namespace

TEST(LanguageFile, WrittenThenReadGivesTheSameLists) {
    TForm1 form;
    form.setObjectName("Form1");
    auto lang = component(&form);
    lang->Captions = {line("TForm1", {"Okno", "Window", "", "Окно"}),
                      line("Label1", {"Tekst", "Text", "", "X"})};
    lang->Collections = {line("lvKlienci.Columns[0].Caption", {"Adres IP", "IP address", "", "IP-адрес"})};
    lang->Strings = {line("IDS_1", {"Dwie\r\nlinie", "b", "", "c"}),
                     line("IDS_LANG_RESTART", {"z", "y", "", "x"})};
    std::string file = "[Strings]\r\nTFindForm.IDS_9=keep~!@#\r\n";
    lang->SaveAllToStream(file, "~!@#");
    EXPECT_NE(file.find("TForm1.lvKlienci.Columns-0+.Caption=Adres IP~!@#IP address~!@#~!@#IP-адрес~!@#"),
              std::string::npos);
    EXPECT_NE(file.find("TForm1.TForm1=Okno~!@#Window~!@#~!@#Окно~!@#"), std::string::npos);
    EXPECT_NE(file.find("TFindForm.IDS_9=keep"), std::string::npos);
    EXPECT_NE(file.find("Language_4=Rosyjski"), std::string::npos);

    TForm1 again;
    for (const char* name : {"Label1", "lvKlienci"})
        (new QObject(&again))->setObjectName(name);
    auto reader = component(&again);
    reader->LoadAllFromStream(file, true, false);
    EXPECT_EQ(reader->Captions, lang->Captions);
    EXPECT_EQ(reader->Collections, lang->Collections);
    EXPECT_EQ(reader->Strings, lang->Strings); // the other form's key is not taken
    EXPECT_EQ(reader->GetTextOrDefault("IDS_1"), "Dwie\r\nlinie");
}

TEST(LanguageFile, MalformedFileLoadsWhatItCan) {
    TForm1 form;
    auto lang = component(&form);
    const std::string file = std::string("no section line\n[Nonsense]\nTForm1.X=1\n[Strings]\n") +
                             "TForm1.IDS_1=tylko polski\n" + "TForm1.IDS_2=a~!@#b\n" + "TForm1.IDS_3\n" +
                             "TForm1.IDS_4=" + std::string(100000, 'x') + "~!@#\n" + "=no key\n[Captions\n";
    lang->LoadAllFromStream(file, true);
    EXPECT_EQ(lang->NumOfLanguages(), 4); // no language-name section: names kept
    EXPECT_EQ(lang->GetTextOrDefault("IDS_1"), "tylko polski");
    lang->SetActLang(2);
    EXPECT_EQ(lang->GetTextOrDefault("IDS_1"), "tylko polski"); // language 1 only, no copy
    EXPECT_EQ(lang->GetText("IDS_1"), "");
    EXPECT_EQ(lang->GetTextOrDefault("IDS_2"), "b");
    EXPECT_EQ(lang->GetTextOrDefault("IDS_4").size(), 0u + 100000u);
}

TEST(LanguageFile, MergeKeepsOwnKeysAndTakesTheFilesTexts) {
    TForm1 form;
    auto lang = component(&form);
    lang->Strings = {line("IDS_1", {"stary", "", "", ""}), line("IDS_2", {"własny", "", "", ""})};
    EXPECT_TRUE(lang->MergeAllFromStream("[Strings]\nTForm1.IDS_1=nowy~!@#new~!@#~!@#~!@#\n"));
    EXPECT_FALSE(lang->IsReadingFile());
    EXPECT_EQ(lang->GetTextOrDefault("IDS_1"), "nowy");
    EXPECT_EQ(lang->GetTextOrDefault("IDS_2"), "własny");
}

#include "LanguageFileTest.moc"
