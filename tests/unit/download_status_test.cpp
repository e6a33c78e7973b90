#include "jreprovision/http_download.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring status(const wchar_t* format, uint32_t received, uint32_t size, uint32_t elapsedMs,
                    size_t capacity = kStatusCapacity) {
    std::wstring out(capacity, L'\0');
    formatDownloadStatus(format, received, size, elapsedMs, &out[0], capacity);
    return out.c_str();
}

TEST(DownloadStatus, MegabytesPercentAndRateInTheDefaultFormat) {
    EXPECT_EQ(status(kDefaultStatusFormat, 3145728, 10485760, 2000),
              L"3.00 MB of 10.00 MB (30.0%) at 1572.9 kb/s");
    EXPECT_EQ(downloadProgressPosition(3145728, 10485760), 30);
    // Truncated, not rounded, and exact where a double product would land just below the integer.
    EXPECT_EQ(downloadProgressPosition(10485759, 10485760), 99);
    EXPECT_EQ(downloadProgressPosition(3, 10), 30);
    EXPECT_EQ(downloadProgressPosition(0xFFFFFFFFu, 0xFFFFFFFFu), 100);
}

TEST(DownloadStatus, NoElapsedTimeShowsTheRateOfOneMillisecond) {
    EXPECT_EQ(status(kDefaultStatusFormat, 16384, 1048576, 0), L"0.02 MB of 1.00 MB (1.6%) at 16384.0 kb/s");
}

TEST(DownloadStatus, AConfiguredFormatIsUsedWhenItTakesFourNumbers) {
    EXPECT_EQ(status(L"%.1f von %.1f MB \u2013 %3.0f%% \u2013 %.0e", 3145728, 10485760, 2000),
              L"3.0 von 10.0 MB \u2013  30% \u2013 2e+003");
}

// A format that asks for other arguments than four doubles would read memory that is not an argument
// (or write through it with %n): the built-in format is shown instead.
TEST(DownloadStatus, AnyOtherFormatFallsBackToTheBuiltInOne) {
    for (const wchar_t* hostile :
         {L"%n %.2f %.2f %.1f", L"%s of %.2f MB (%.1f%%) at %.1f", L"%.2f MB of %.2f MB (%.1f%%) at %.1f %S",
          L"%*f %.2f %.1f %.1f", L"%Lf %f %f %f", L"%.2f %.2f %.1f", L"%.2f %.2f %.1f %.1f %.1f",
          L"%.2f %.2f %.1f %.1f%", L"%.999f %f %f %f", L"%I64d %f %f %f", L"", L"plain text"}) {
        EXPECT_FALSE(isDownloadStatusFormat(hostile)) << hostile;
        EXPECT_EQ(status(hostile, 3145728, 10485760, 2000), L"3.00 MB of 10.00 MB (30.0%) at 1572.9 kb/s")
            << hostile;
    }
}

TEST(DownloadStatus, ALongResultIsCutAndTerminated) {
    std::wstring wide(990, L'x');
    wide += L" %.2f %.2f %.1f %.1f";
    EXPECT_EQ(status(wide.c_str(), 1, 2, 3).size(), kStatusCapacity - 1);
    EXPECT_EQ(status(kDefaultStatusFormat, 3145728, 10485760, 2000, 10), L"3.00 MB o");
}

} // namespace
