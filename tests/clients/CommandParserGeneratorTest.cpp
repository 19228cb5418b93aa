#include "base/CommandParserGenerator.h"

#include <gtest/gtest.h>

using CPG = CommandParserGenerator;

TEST(CommandParserGenerator, BuiltInSelfCheckPasses) {
    EXPECT_EQ(CPG::TestCommandParserGenerator(), "");
}

TEST(CommandParserGenerator, ExchangeCommandsEscapeOnlyTheLastFieldAsClientText) {
    // With the blank separator a blank in the last field stays, an "&" gets
    // its escape.
    EXPECT_EQ(CPG::Generate({"SMS", "a b", "x &y"}, '\\', ' ', "\r"), "SMS a\\ b x \\&y\r");
    EXPECT_EQ(CPG::Generate({}, '\\', ' ', "\r"), "\r");
}

TEST(CommandParserGenerator, ExchangeRecordsSplitWithoutTerminator) {
    EXPECT_EQ(CPG::Parse("VM 1 2\\ 3", '\\', ' ', ""), (CPG::Fields{"VM", "1", "2 3"}));
    // A text ending in an escape leaves its last field open: not appended.
    EXPECT_EQ(CPG::Parse("VM 1\\", '\\', ' ', ""), (CPG::Fields{"VM"}));
    // A trailing separator yields the fields before it.
    EXPECT_EQ(CPG::Parse("a&b&", '\\', '&', ""), (CPG::Fields{"a", "b"}));
}

TEST(CommandParserGenerator, TextAfterTheTerminatorIsIgnoredAndEscapedTerminatorDoesNotEnd) {
    EXPECT_EQ(CPG::Parse("a&b\r\nc&d"), (CPG::Fields{"a", "b"}));
    EXPECT_EQ(CPG::Parse("a&b\\\r\n"), (CPG::Fields{"a"}));
}

TEST(CommandParserGenerator, ErrorTexts) {
    EXPECT_EQ(CPG::ErrorText(3), "Zła liczba argumentów");
    EXPECT_EQ(CPG::ErrorText(17), "17");
}
