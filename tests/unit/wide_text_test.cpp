#include "startup/wide_text.h"
#include "support/ansi_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kItem = 1002;

// A top-level window with one static control, as a dialog has.
class TextWindow : public testing::Test {
  protected:
    void SetUp() override {
        window = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 200, 100, nullptr, nullptr, nullptr,
                                 nullptr);
        ASSERT_NE(window, nullptr);
        ASSERT_NE(CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 100, 20, window,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(kItem)), nullptr, nullptr),
                  nullptr);
    }
    void TearDown() override {
        DestroyWindow(window);
        forceNarrowTextSetters(false);
    }
    static std::wstring textOf(HWND target) {
        std::wstring text(20000, L'\0');
        text.resize(GetWindowTextW(target, &text[0], static_cast<int>(text.size())));
        return text;
    }
    std::wstring itemText() const { return textOf(GetDlgItem(window, kItem)); }

    HWND window = nullptr;
};

const wchar_t kPolish[] =
    L"Pobieranie \u015brodowiska Java: za\u017c\u00f3\u0142\u0107 g\u0119\u015bl\u0105 ja\u017a\u0144";
const wchar_t kGreek[] = L"\u039b\u03ae\u03c8\u03b7 \u03c4\u03bf\u03c5 Java";
const wchar_t kChinese[] = L"\u6b63\u5728\u4e0b\u8f7d Java \u8fd0\u884c\u65f6";

TEST_F(TextWindow, WideTextsReachWindowAndControlIntact) {
    for (const wchar_t* text : {kPolish, kGreek, kChinese}) {
        EXPECT_TRUE(setItemTextWide(window, kItem, text));
        EXPECT_EQ(itemText(), text);
        setWindowTextWide(window, text);
        EXPECT_EQ(textOf(window), text);
    }
}

// The path of systems without the wide calls: what the ANSI code page (here Western) holds arrives,
// every other character as "?", and nothing beyond the text follows it.
TEST_F(TextWindow, NarrowPathKeepsWhatTheCodePageHolds) {
    forceNarrowTextSetters(true);
    EXPECT_TRUE(setItemTextWide(window, kItem, L"Java \u03bb 17 \u6b63 \u00e9 ok"));
    EXPECT_EQ(itemText(), L"Java ? 17 ? \u00e9 ok");
    setWindowTextWide(window, kGreek);
    EXPECT_EQ(textOf(window), L"???? ??? Java");

    // Longer than the conversion buffer: cut and terminated.
    const std::wstring longText(9000, L'a');
    EXPECT_TRUE(setItemTextWide(window, kItem, longText.c_str()));
    EXPECT_EQ(itemText(), std::wstring(8191, L'a'));
}

// The one rule of every 8-bit form of a wide text, whichever place needs it (here a Western code page).
// The splash's status text arrives as a Java string's characters without a terminator: it is bounded
// by their number and by the buffer, never by what follows them in memory.
TEST(AnsiText, CutAtACharactersEndAndAlwaysTerminated) {
    char out[8192];
    const std::wstring followedByMore = L"Loading plug-ins and more";
    EXPECT_EQ(ansiText(followedByMore.data(), 16, out, sizeof out), 16u);
    EXPECT_STREQ(out, "Loading plug-ins");

    std::vector<wchar_t> huge(20000, L'x'); // no terminator at all
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(ansiText(huge.data(), huge.size(), out, sizeof out), sizeof out - 1);
    EXPECT_EQ(std::strlen(out), sizeof out - 1);

    // A pair cut in two by the buffer's end is left out whole; a whole one shows.
    std::wstring pair(8190, L'x');
    pair += L"\U0001F600";
    ansiText(pair.data(), pair.size(), out, sizeof out);
    EXPECT_EQ(std::strlen(out), 8190u);
    ansiText(L"a\U0001F600b", out, sizeof out);
    EXPECT_STREQ(out, "a??b");

    ansiText(L"Gr\u00fc\u00dfe \u03bb \u6b63", out, sizeof out);
    EXPECT_STREQ(out, "Gr\xfc\xdf"
                      "e ? ?")
        << "the code page's own characters stay, the rest show";

    char small[4];
    ansiText(L"abcdef", 6, small, sizeof small);
    EXPECT_STREQ(small, "abc");
    EXPECT_EQ(ansiText(L"", 0, small, sizeof small), 0u);
    EXPECT_STREQ(small, "");
}

} // namespace
