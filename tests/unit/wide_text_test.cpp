#include "startup/wide_text.h"

#include <gtest/gtest.h>

#include <string>

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

// The path of systems without the wide calls: what the C runtime's locale (here "C") can represent
// arrives, the rest is left out, and nothing beyond the text follows it.
TEST_F(TextWindow, NarrowPathKeepsWhatTheLocaleCanRepresent) {
    forceNarrowTextSetters(true);
    EXPECT_TRUE(setItemTextWide(window, kItem, L"Java \u03bb 17 \u6b63 ok"));
    EXPECT_EQ(itemText(), L"Java  17  ok");
    setWindowTextWide(window, kGreek);
    EXPECT_EQ(textOf(window), L"  Java");

    // Longer than the conversion buffer: cut and terminated.
    const std::wstring longText(9000, L'a');
    EXPECT_TRUE(setItemTextWide(window, kItem, longText.c_str()));
    EXPECT_EQ(itemText(), std::wstring(8191, L'a'));
}

} // namespace
