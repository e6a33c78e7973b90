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

// The reasons the download scenarios cannot provoke: what other HTTP statuses mean, a full disk (its
// folder named), an address WinINet refuses; the server is named without its user part.
TEST(DownloadFailureText, EachFailureSaysWhyAndWhatToDo) {
    const char* location = "https://user@downloads.example.com:8443/jre.tar.gz";
    const struct {
        DownloadFailure failure;
        unsigned long code;
        const wchar_t* told;
    } rows[] = {
        {DownloadFailure::HttpStatus, 410,
         L"The server downloads.example.com:8443 has no file at https://user@downloads.example.com:8443/"
         L"jre.tar.gz (HTTP 410). The program's vendor needs to update the download address."},
        {DownloadFailure::HttpStatus, 403,
         L"The server downloads.example.com:8443 refused the download (HTTP 403). Tell the program's "
         L"vendor."},
        {DownloadFailure::HttpStatus, 503,
         L"The server downloads.example.com:8443 has a problem of its own (HTTP 503). Try again later."},
        {DownloadFailure::HttpStatus, 302,
         L"The server downloads.example.com:8443 answered HTTP 302 instead of sending the file. Try again "
         L"later; if it keeps happening, tell the program's vendor."},
        {DownloadFailure::WriteFailed, 112,
         L"The downloaded file could not be saved in C:\\Temp\\kqx1.tmp_dir2. Check that there is enough "
         L"free disk space, then try again. (Windows error 112)"},
        {failureOfError(12006), 12006,
         L"The download address https://user@downloads.example.com:8443/jre.tar.gz is not valid. The "
         L"program's vendor needs to correct it. (Windows error 12006)"},
        {DownloadFailure::None, 0, L""},
    };
    for (const auto& row : rows) {
        DownloadResult result;
        result.failure = row.failure;
        result.code = row.code;
        EXPECT_EQ(describeDownloadFailure(result, location, "C:\\Temp\\kqx1.tmp_dir2\\jre.tar.gz"), row.told);
    }
}

} // namespace
