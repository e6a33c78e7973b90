#include "splash/splash.h"

#include <gtest/gtest.h>

namespace {

TEST(SplashFont, HeightFollowsTheDeviceResolution) {
    EXPECT_EQ(splashFontHeight(8, 96), -11);   // 10.67 rounds up
    EXPECT_EQ(splashFontHeight(9, 96), -12);   // exact
    EXPECT_EQ(splashFontHeight(10, 120), -17); // 16.67 at 125 %
    EXPECT_EQ(splashFontHeight(0, 96), 0);     // no size: the face's own
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
