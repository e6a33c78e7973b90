#include "jreprovision/http_download.h"

#include <gtest/gtest.h>

#include <cwchar>
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

// A failed download tells why and what to do: the server by its name, the address when it names no
// file, the folder when the disk is full, and the system's code for whoever helps.
TEST(DownloadFailureText, EachFailureSaysWhyAndWhatToDo) {
    const char* location = "https://user@downloads.example.com:8443/jre/jre.tar.gz?v=1";
    const char* destination = "C:\\Temp\\kqx1.tmp_dir2\\jre.tar.gz";
    struct Row {
        unsigned long code;
        bool http; // code is an HTTP status, not a system error
        const wchar_t* begins;
        const wchar_t* ends;
    } rows[] = {
        {12007, false, L"The server downloads.example.com:8443 could not be found. Check that this computer",
         L"then try again. (Windows error 12007)"},
        {12029, false, L"The server downloads.example.com:8443 could not be reached.",
         L"(Windows error 12029)"},
        {12002, false, L"The server downloads.example.com:8443 could not be reached.",
         L"(Windows error 12002)"},
        {12045, false, L"The secure connection to downloads.example.com:8443 was refused",
         L"(Windows error 12045)"},
        {12031, false, L"The connection to downloads.example.com:8443 broke off", L"(Windows error 12031)"},
        {12006, false,
         L"The download address https://user@downloads.example.com:8443/jre/jre.tar.gz?v=1 is not "
         L"valid.",
         L"correct it. (Windows error 12006)"},
        {12157, false, L"The secure connection", L"(Windows error 12157)"},
        {5, false, L"The download from downloads.example.com:8443 failed.", L"(Windows error 5)"},
        {404, true,
         L"The server downloads.example.com:8443 has no file at https://user@downloads.example.com:8443/jre/"
         L"jre.tar.gz?v=1 (HTTP 404).",
         L"needs to update the download address."},
        {410, true, L"The server downloads.example.com:8443 has no file at",
         L"(HTTP 410). The program's vendor "
         L"needs to update the download address."},
        {403, true, L"The server downloads.example.com:8443 refused the download (HTTP 403).", L"vendor."},
        {407, true, L"A proxy server asks for a login", L"network."},
        {503, true, L"The server downloads.example.com:8443 has a problem of its own (HTTP 503).", L"later."},
        {302, true, L"The server downloads.example.com:8443 answered HTTP 302 instead of sending the file.",
         L"vendor."},
    };
    for (const Row& row : rows) {
        DownloadResult result;
        result.failure = row.http ? DownloadFailure::HttpStatus : failureOfError(row.code);
        result.code = row.code;
        const std::wstring told = describeDownloadFailure(result, location, destination);
        EXPECT_EQ(told.rfind(row.begins, 0), 0u) << told;
        EXPECT_EQ(told.substr(told.size() - std::wcslen(row.ends)), row.ends) << told;
    }

    DownloadResult digest;
    digest.failure = DownloadFailure::DigestMismatch;
    EXPECT_EQ(
        describeDownloadFailure(digest, location, destination),
        L"The downloaded file is not the Java runtime this program expects (its SHA-256 checksum "
        L"differs), so it was not used. Try again later; if it keeps happening, tell the program's vendor.");
    DownloadResult full;
    full.failure = DownloadFailure::WriteFailed;
    full.code = 112;
    EXPECT_EQ(
        describeDownloadFailure(full, location, destination),
        L"The downloaded file could not be saved in C:\\Temp\\kqx1.tmp_dir2. Check that there is enough "
        L"free disk space, then try again. (Windows error 112)");
    EXPECT_EQ(describeDownloadFailure(DownloadResult(), location, destination), L"");

    EXPECT_EQ(downloadServer("http://127.0.0.1:8080/files/jre.tar.gz"), "127.0.0.1:8080");
    EXPECT_EQ(downloadServer("https://example.com"), "example.com");
    EXPECT_EQ(downloadServer("https://example.com#top"), "example.com");
    EXPECT_EQ(downloadServer("example.com/jre.tar.gz"), "example.com/jre.tar.gz");
}

} // namespace
