#include "i18n/TextFunctions.h"
#include "i18n/MemIniFile.h"
#include "i18n/StringsCollection.h"

#include <gtest/gtest.h>

using namespace i18n;

TEST(TranslationLine, FieldsComeFromTheLineOnly) {
    const std::string line = std::string("key\1Tak\1Yes\1");
    EXPECT_EQ(ExtractTranslation(line, 1, 2), "Yes");
    EXPECT_EQ(ExtractTranslation(line, 1, 5), "");
    EXPECT_EQ(ExtractTranslation(std::string("key\1\1Yes\1"), 1, 1), "");
    EXPECT_EQ(ExtractTranslation(line, 1, 0), "key");
    EXPECT_EQ(ExtractTranslation(std::string("k\1Dwie\r\nlinie\1"), 1, 1), "Dwie\r\nlinie");
}

TEST(TranslationLine, SearchAndEscapes) {
    EXPECT_EQ(SearchBM("", "abc"), 1);
    EXPECT_EQ(SearchBM("x", ""), 0);
    EXPECT_EQ(SearchBM("lo", "hello"), 4);
    EXPECT_EQ(SearchBM("LO", "hello"), 0);

    EXPECT_EQ(ExpandEscapes("\\nWątek = "), "\nWątek = ");
    EXPECT_EQ(ExpandEscapes("a\\\\b"), "a\\b");
    EXPECT_EQ(ExpandEscapes("\\x41"), "A");
    EXPECT_EQ(ExpandEscapes("\\x4"), "\x04");
    EXPECT_EQ(ExpandEscapes("\\xg"), "\\xg");
    EXPECT_EQ(ExpandEscapes("\\x"), "\\x");
    EXPECT_EQ(ExpandEscapes("\\101"), "A");
    EXPECT_EQ(ExpandEscapes("\\q"), "\\q");
    EXPECT_EQ(ExpandEscapes("end\\"), "end\\");
    EXPECT_EQ(ExpandEscapes("\\r\\n\\\"x\\\""), "\r\n\"x\"");
}

TEST(TranslationLine, FormatConversions) {
    EXPECT_EQ(FormatConversions("Kod: %d, %s. 100%%"), (std::vector<std::string>{"d", "s"}));
    EXPECT_EQ(FormatConversions("%-5lu %08.3f"), (std::vector<std::string>{"lu", "f"}));
    EXPECT_TRUE(FormatConversions("brak").empty());
}

TEST(TextFunctions, WordsReplacementAndCommaText) {
    EXPECT_EQ(WordPosition(2, "addb", "d"), 3);
    EXPECT_EQ(WordPosition(7, "a,b", ","), 3);
    EXPECT_EQ(ExtractWord(2, "a,b", ","), "b");
    EXPECT_EQ(ExtractWord(1, "ab,cd", ","), "ab");
    EXPECT_EQ(ExtractWord(3, "a,b", ","), "");
    EXPECT_EQ(ReplaceStr("&&Yes", "&", "", true), "Yes");
    EXPECT_EQ(ReplaceStr("a-b-c", "-", "+", false), "a+b-c");
    EXPECT_EQ(CountDelims("a,b;c", ",;"), 2);
    EXPECT_EQ(XorString("k", XorString("k", "text")), "text");
    const TStrings lines{"one", "", "say \"hi\", two"};
    EXPECT_EQ(ToCommaText(lines), "\"one\",,\"say \"\"hi\"\", two\"");
    EXPECT_EQ(FromCommaText(ToCommaText(lines)), lines);
    EXPECT_TRUE(IsValidIniSection("collections"));
    EXPECT_FALSE(IsValidIniSection("Extended"));
    TStrings names{"left over"};
    GetIniNames(&names);
    ASSERT_EQ(names.size(), 12u);
    EXPECT_EQ(names.front(), "Captions");
    EXPECT_EQ(names.back(), "ListView_TreeView_Items");
}

// A word that starts at the last byte is a word like any other: a one-letter
// last word is not lost.
TEST(TextFunctions, WordsAtTheEdgesOfTheText) {
    EXPECT_EQ(WordPosition(0, "a,b", ","), 3);
    EXPECT_EQ(WordPosition(3, "a,,", ","), 3);
    EXPECT_EQ(ExtractWord(2, "ab,c", ","), "c");
    EXPECT_EQ(ExtractWord(1, "x", ","), "x");
    EXPECT_EQ(ExtractWord(2, "a,", ","), "");
    EXPECT_EQ(ExtractWord(0, "a,b", ","), "");
    EXPECT_EQ(ReplaceStr("abc", "", "x", true), "abc");
    EXPECT_EQ(ReplaceStr("aaa", "aa", "b", true), "ba");
}

TEST(StringsCollection, BinarySearchByKeyIgnoresCase) {
    TlgStringsCollection collection;
    EXPECT_EQ(collection.GetTranslationByID("IDS_1", 1), "");
    EXPECT_EQ(collection.GetIDIndex("IDS_1"), -1);
    EXPECT_EQ(collection.GetTranslationByLang("x", 1), "x");
    for (const char* id : {"IDS_LANG_RESTART", "IDS_15", "IDS_891", "IDS_144", "IDS_2"}) {
        auto& item = collection.Add();
        item.ID = id;
        item.Values = {std::string("pl ") + id, std::string("en ") + id};
    }
    collection.Sort();
    EXPECT_EQ(collection.Items(0).ID, "IDS_144");
    EXPECT_EQ(collection.Items(1).ID, "IDS_15");
    EXPECT_EQ(collection.Items(4).ID, "IDS_LANG_RESTART");
    for (const char* id : {"ids_144", "IDS_15", "IDS_2", "IDS_891", "IDS_LANG_RESTART"})
        EXPECT_EQ(collection.GetTranslationByID(id, 2), "en " + AsciiUpper(id)) << id;
    EXPECT_EQ(collection.GetTranslationByID("IDS_1", 2), "");
    EXPECT_EQ(collection.GetTranslationByID("IDS_9", 2), "");

    TlgStringsCollection two;
    for (const char* id : {"A", "B"}) {
        auto& item = two.Add();
        item.ID = id;
        item.Values = {id};
    }
    two.Sort();
    EXPECT_EQ(two.GetTranslationByID("B", 1), "B");
    EXPECT_EQ(two.GetTranslationByID("B", 3), "");

    two.SetSortLanguage(1);
    two.Sort();
    EXPECT_EQ(two.GetTranslationByLang("b", 1), "B");
    EXPECT_EQ(two.GetTranslationByLang2("c", 1), "");
}

TEST(MemIniFile, SortedSectionsKeysAndDuplicates) {
    TMemIniFile ini;
    ini.SetStrings(
        {"junk before", "[b]", "z=1", "a=b=c", "A=second", "; comment", "", "[a]", "x=0x1F", "y=012"});
    EXPECT_EQ(ini.ReadString("B", "a", "?"), "b=c");
    EXPECT_EQ(ini.ReadInteger("a", "x", 0), 31);
    EXPECT_EQ(ini.ReadInteger("a", "y", 0), 12);
    EXPECT_TRUE(ini.ValueExists("b", "Z"));
    EXPECT_FALSE(ini.SectionExists("c"));
    TStrings text;
    ini.GetStrings(text);
    EXPECT_EQ(text, (TStrings{"[a]", "x=0x1F", "y=012", "", "[b]", "a=b=c", "A=second", "z=1", ""}));
    ini.WriteString("b", "a", "new");
    ini.DeleteKey("b", "z");
    ini.EraseSection("a");
    ini.GetStrings(text = {});
    EXPECT_EQ(text, (TStrings{"[b]", "A=second", "a=new", ""}));
}
