#include "splash/splash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(SplashFont, HeightFollowsTheDeviceResolution) {
    EXPECT_EQ(splashFontHeight(8, 96), -11);   // 10.67 rounds up
    EXPECT_EQ(splashFontHeight(9, 96), -12);   // exact
    EXPECT_EQ(splashFontHeight(10, 120), -17); // 16.67 at 125 %
    EXPECT_EQ(splashFontHeight(0, 96), 0);     // no size: the face's own
}

// The controller's text arrives as the Java string's characters without a terminator; it is bounded
// by their number and by the status buffer, never by what follows them in memory.
TEST(SplashStatusText, BoundedByTheStringAndTheBuffer) {
    char out[8192];
    const std::wstring followedByMore = L"Loading plug-ins and more";
    ansiStatusText(followedByMore.data(), 16, out, sizeof out);
    EXPECT_STREQ(out, "Loading plug-ins");

    std::vector<wchar_t> huge(20000, L'x'); // no terminator at all
    std::memset(out, '#', sizeof out);
    ansiStatusText(huge.data(), huge.size(), out, sizeof out);
    EXPECT_EQ(std::strlen(out), sizeof out - 1);

    // A pair cut in two by the buffer's end is left out whole.
    std::wstring pair(8190, L'x');
    pair += L"\U0001F600";
    ansiStatusText(pair.data(), pair.size(), out, sizeof out);
    EXPECT_EQ(std::strlen(out), 8190u);

    char small[4];
    ansiStatusText(L"abcdef", 6, small, sizeof small);
    EXPECT_STREQ(small, "abc");
    ansiStatusText(L"", 0, small, sizeof small);
    EXPECT_STREQ(small, "");
}

// An error reported before the splash thread made its window cancels the splash for good.
TEST(SplashStart, AHideBeforeTheWindowExistsCancelsEveryLaterStart) {
    showSplash(0);
    EXPECT_FALSE(splashStandsIn());
    EXPECT_EQ(splashThread(reinterpret_cast<LPVOID>(static_cast<INT_PTR>(SW_SHOWNORMAL))), 0u);
    showSplash(SW_SHOWNORMAL);
    EXPECT_FALSE(splashStandsIn());
    EXPECT_EQ(FindWindowA("KestroSplashScreen", nullptr), nullptr);
    EXPECT_EQ(splashWindow(), nullptr);
}

} // namespace
