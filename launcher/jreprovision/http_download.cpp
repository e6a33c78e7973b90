#include "jreprovision/http_download.h"

#include "jreprovision/archive_digest.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "startup/wide_text.h"
#include "support/format_check.h"
#include "support/library_search.h"
#include "support/log.h"

#include <commctrl.h>
#include <wininet.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

const wchar_t kDefaultStatusFormat[] = L"%.2f MB of %.2f MB (%.1f%%) at %.1f kb/s";

namespace {

namespace message = kestro::payload::message;

constexpr char kUserAgent[] = "sorvana download agent";
constexpr DWORD kOpenFlags = INTERNET_FLAG_PASSIVE | INTERNET_FLAG_NO_CACHE_WRITE;
constexpr int kContentLengthTries = 20;
constexpr DWORD kRetryPauseMs = 300;
constexpr DWORD kBlockSize = 16384;
constexpr DWORD kDisplayIntervalMs = 500;
constexpr int kStatusLine = 1002;
constexpr int kProgressBar = 1001;
constexpr DWORD kHttpOk = 200;

using InternetOpenUrlAFunction = HINTERNET(WINAPI*)(HINTERNET, LPCSTR, LPCSTR, DWORD, DWORD, DWORD_PTR);
using InternetOpenAFunction = HINTERNET(WINAPI*)(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD);
using HttpQueryInfoAFunction = BOOL(WINAPI*)(HINTERNET, DWORD, LPVOID, LPDWORD, LPDWORD);
using InternetAttemptConnectFunction = DWORD(WINAPI*)(DWORD);
using InternetCloseHandleFunction = BOOL(WINAPI*)(HINTERNET);
using InternetReadFileFunction = BOOL(WINAPI*)(HINTERNET, LPVOID, DWORD, LPDWORD);

// Bound once, before any download, and kept for the life of the process.
HMODULE wininet = nullptr;
InternetOpenUrlAFunction internetOpenUrl = nullptr;
InternetOpenAFunction internetOpen = nullptr;
HttpQueryInfoAFunction httpQueryInfo = nullptr;
InternetAttemptConnectFunction internetAttemptConnect = nullptr;
InternetCloseHandleFunction internetCloseHandle = nullptr;
InternetReadFileFunction internetReadFile = nullptr;

template <typename Function> bool resolve(Function* function, const char* name) {
    *function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(wininet, name)));
    return *function != nullptr;
}

class InternetHandle {
  public:
    explicit InternetHandle(HINTERNET handle = nullptr) : handle_(handle) {}
    ~InternetHandle() { reset(); }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    HINTERNET get() const { return handle_; }
    void reset(HINTERNET handle = nullptr) {
        if (handle_ != nullptr)
            internetCloseHandle(handle_);
        handle_ = handle;
    }

  private:
    HINTERNET handle_;
};

void showMessageInStatusLine(HWND window, int id) {
    if (window == nullptr)
        return;
    wchar_t text[kTextCapacity];
    getMessage(id, text);
    setItemTextWide(window, kStatusLine, text);
}

HINTERNET openLocation(HINTERNET root, const char* location) {
    return internetOpenUrl(root, location, nullptr, 0, kOpenFlags, 0);
}

bool queryNumber(HINTERNET url, DWORD what, DWORD* value) {
    DWORD length = sizeof *value;
    return httpQueryInfo(url, what | HTTP_QUERY_FLAG_NUMBER, value, &length, nullptr) != FALSE;
}

// An error page (404, 500) carries a body and a length like the archive does; only a 200 is the file.
bool answeredOk(HINTERNET url, const char* location) {
    DWORD status = 0;
    if (!queryNumber(url, HTTP_QUERY_STATUS_CODE, &status)) {
        logError("HttpQueryInfo for the status of %s failed with error code %lu", location, GetLastError());
        return false;
    }
    if (status != kHttpOk) {
        logError("%s answered with HTTP status %lu", location, status);
        return false;
    }
    return true;
}

void updateDisplay(HWND window, uint32_t received, uint32_t size, DWORD elapsedMs) {
    wchar_t format[kTextCapacity];
    getMessage(message::DownloadProgressFormat, format);
    wchar_t status[kStatusCapacity];
    formatDownloadStatus(format, received, size, elapsedMs, status, kStatusCapacity);
    setItemTextWide(window, kStatusLine, status);
    SendDlgItemMessageA(window, kProgressBar, PBM_SETPOS, downloadProgressPosition(received, size), 0);
}

// Copies size bytes of url into destination. The handles are closed by the caller's guards.
bool receiveFile(HWND window, HINTERNET url, DWORD size, const char* destination,
                 const char* expectedSha256) {
    logLine("file size: %lu, handle %p", size, url);
    FILE* out = fopen(destination, "wb");
    if (out == nullptr) {
        logError("opening the destination file %s failed with error code %lu", destination, GetLastError());
        return false;
    }
    // What was written of a failed download is never mistaken for an archive later.
    auto fail = [&] {
        fclose(out);
        remove(destination);
        return false;
    };
    const bool checkDigest = expectedSha256[0] != '\0';
    Sha256Digest digest;
    if (checkDigest && !digest.begin()) {
        logError("SHA-256 is not available here (error code %lu)", GetLastError());
        return fail();
    }

    static_assert(kBlockSize <= 65536, "the block lives on the worker's stack");
    char block[kBlockSize];
    DWORD received = 0;
    const DWORD start = GetTickCount();
    DWORD lastUpdate = 0;
    while (received < size) {
        const DWORD wanted = size - received < kBlockSize ? size - received : kBlockSize;
        DWORD read = 0;
        if (!internetReadFile(url, block, wanted, &read)) {
            logError("InternetReadFile failed with error code %lu", GetLastError());
            return fail();
        }
        // A successful read of nothing before the announced size: the server closed the connection.
        if (read == 0) {
            logError("InternetReadFile: the connection ended after %lu of %lu bytes", received, size);
            return fail();
        }
        received += read;
        if (fwrite(block, 1, read, out) < read) {
            logError("writing the destination file %s failed with error code %lu", destination,
                     GetLastError());
            return fail();
        }
        if (checkDigest && !digest.add(block, read)) {
            logError("SHA-256 of %s failed with error code %lu", destination, GetLastError());
            return fail();
        }
        const DWORD now = GetTickCount();
        if (window != nullptr && lastUpdate + kDisplayIntervalMs < now) {
            updateDisplay(window, received, size, now - start);
            lastUpdate = now;
        }
    }
    // Buffered bytes reach the disk here: a full disk may show only now.
    if (fclose(out) != 0) {
        logError("writing the destination file %s failed with error code %lu", destination, GetLastError());
        remove(destination);
        return false;
    }
    if (checkDigest) {
        char actual[kSha256HexCapacity];
        if (!digest.finish(actual) || !sameDigest(actual, expectedSha256)) {
            logError("SHA-256 of %s is %s, expected %s", destination, actual, expectedSha256);
            remove(destination);
            return false;
        }
        logLine("SHA-256 verified: %s", actual);
    }
    logLine("download successful");
    return true;
}

} // namespace

bool initInternetLibrary() {
    if (wininet != nullptr && internetReadFile != nullptr)
        return true;
    // From the system directory: a wininet.dll planted beside the executable or in the current
    // directory, or one of the libraries it needs, must never be the one that runs.
    wininet = loadSystemLibrary("wininet.dll");
    if (wininet == nullptr) {
        logError("Could not load wininet.dll");
        return false;
    }
    if (!resolve(&internetOpenUrl, "InternetOpenUrlA") || !resolve(&internetOpen, "InternetOpenA") ||
        !resolve(&httpQueryInfo, "HttpQueryInfoA") ||
        !resolve(&internetAttemptConnect, "InternetAttemptConnect") ||
        !resolve(&internetCloseHandle, "InternetCloseHandle") ||
        !resolve(&internetReadFile, "InternetReadFile")) {
        internetReadFile = nullptr;
        logError("Could not load wininet functions");
        return false;
    }
    return true;
}

bool downloadFile(HWND window, const char* location, const char* destination, const char* expectedSha256) {
    // Its jvm.dll will run in this process: without a digest only the connection vouches for it.
    if (expectedSha256[0] == '\0')
        logLine("No SHA-256 configured: the archive from %s is not checked", location);
    showMessageInStatusLine(window, message::DownloadConnecting);
    const DWORD attempt = internetAttemptConnect(0);
    if (attempt != ERROR_SUCCESS)
        logError("InternetAttemptConnect returned %lu", attempt);

    InternetHandle root(internetOpen(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (root.get() == nullptr) {
        logError("InternetOpen failed with error code %lu", GetLastError());
        return false;
    }
    InternetHandle url(openLocation(root.get(), location));
    if (url.get() == nullptr) {
        logError("InternetOpenUrl failed with error code %lu", GetLastError());
        return false;
    }
    DWORD size = 0;
    for (int tries = 1;; ++tries) {
        if (!answeredOk(url.get(), location))
            return false;
        if (queryNumber(url.get(), HTTP_QUERY_CONTENT_LENGTH, &size))
            break;
        logError("HttpQueryInfo (try %d) failed with error code %lu", tries, GetLastError());
        Sleep(kRetryPauseMs);
        url.reset();
        url.reset(openLocation(root.get(), location));
        if (url.get() == nullptr) {
            logError("InternetOpenUrl 2 failed with error code %lu", GetLastError());
            return false;
        }
        if (tries == kContentLengthTries) {
            logError("Giving up");
            return false;
        }
    }
    return receiveFile(window, url.get(), size, destination, expectedSha256);
}

bool isDownloadStatusFormat(const wchar_t* format) {
    return countFormatConversions(format, L"feEgG") == 4;
}

void formatDownloadStatus(const wchar_t* format, uint32_t received, uint32_t size, uint32_t elapsedMs,
                          wchar_t* out, size_t capacity) {
    if (capacity == 0)
        return;
    if (!isDownloadStatusFormat(format))
        format = kDefaultStatusFormat;
    const double megabyte = 1024.0 * 1024.0;
    const double percent = size != 0 ? received * 100.0 / size : 0.0;
    const double rate = static_cast<double>(received) / (elapsedMs != 0 ? elapsedMs : 1);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    // Checked above: exactly four double conversions.
    _snwprintf(out, capacity - 1, format, received / megabyte, size / megabyte, percent, rate);
#pragma GCC diagnostic pop
    out[capacity - 1] = L'\0';
}

int32_t downloadProgressPosition(uint32_t received, uint32_t size) {
    if (size == 0)
        return 0;
    return static_cast<int32_t>(static_cast<uint64_t>(received) * 100 / size);
}
