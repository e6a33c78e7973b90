#include "launch/arguments.h"

#include <gtest/gtest.h>

namespace {

struct SplitCase {
    const wchar_t* text;
    WideArguments expected;
};

TEST(SplitArguments, FollowsTheQuotingRule) {
    const SplitCase cases[] = {
        {L"", {}},
        {L"   ", {}},
        {L"a", {L"a"}},
        {L"a b  c", {L"a", L"b", L"c"}},
        {L"a b   ", {L"a", L"b"}},
        {L"  lead", {L"lead"}},
        {L"c:\\app\\run.exe -console \"c:\\my files\\a.txt\"",
         {L"c:\\app\\run.exe", L"-console", L"c:\\my files\\a.txt"}},
        {L"\"c:\\program files\\app.exe\" x", {L"c:\\program files\\app.exe", L"x"}},
        {L"\"c:\\program files\\app.exe\"", {L"c:\\program files\\app.exe"}},
        // A quote in mid-word joins the text before it; the argument ends at the closing quote.
        {L"a\"b c\"", {L"ab c"}},
        {L"\"a b\"c", {L"a b", L"c"}},
        {L"x=\"1 2\"y z", {L"x=1 2", L"y", L"z"}},
        // Each quote kind closes only itself.
        {L"\"don't\"", {L"don't"}},
        {L"'say \"hi\"' next", {L"say \"hi\"", L"next"}},
        {L"a \"\" b", {L"a", L"", L"b"}},
        {L"''", {L""}},
        // Only the blank separates: tabs are ordinary characters.
        {L"a\tb c", {L"a\tb", L"c"}},
        // A quote further on does not matter while a blank comes first.
        {L"one two \"three four\"", {L"one", L"two", L"three four"}},
        {L"\u00FCber \"\u4E2D \u6587\" \U0001F600", {L"\u00FCber", L"\u4E2D \u6587", L"\U0001F600"}},
        {L"-Dp=\"a\\\" b", {L"-Dp=a\\", L"b"}},
    };
    for (const SplitCase& c : cases) {
        WideArguments actual;
        EXPECT_TRUE(trySplitArguments(c.text, actual)) << "text: " << argumentForLog(c.text);
        EXPECT_EQ(actual, c.expected) << "text: " << argumentForLog(c.text);
    }
}

TEST(SplitArguments, UnpairedQuoteIsRefused) {
    const wchar_t* cases[] = {L"don't", L"a \"b", L"c:\\o'neil\\app.exe x", L"'", L"ok \"x\" it's"};
    for (const wchar_t* text : cases) {
        WideArguments actual;
        EXPECT_FALSE(trySplitArguments(text, actual)) << "text: " << argumentForLog(text);
    }
}

TEST(SplitArguments, AppendsToWhatTheListHolds) {
    WideArguments list{L"first"};
    EXPECT_TRUE(trySplitArguments(L"second third", list));
    EXPECT_EQ(list, (WideArguments{L"first", L"second", L"third"}));
}

TEST(SplitArgumentsNarrow, KeepsAnsiCharactersAndInnerBlanks) {
    NarrowArguments list;
    splitArgumentsNarrow("-Xmx256m \"-Dtitle=My App\" -Dsign=\x80\xE4", list);
    EXPECT_EQ(list, (NarrowArguments{"-Xmx256m", "-Dtitle=My App", "-Dsign=\x80\xE4"}));
}

TEST(ArgumentForLog, ReplacesWhatTheCodePageCannotHold) {
    EXPECT_EQ(argumentForLog(L"plain"), "plain");
    EXPECT_EQ(argumentForLog(L"\u4E2D"), "?");
}

} // namespace
