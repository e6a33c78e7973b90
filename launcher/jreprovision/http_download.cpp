#include "jreprovision/http_download.h"

#include "jreprovision/archive_digest.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "support/ansi_text.h"
#include "support/format_check.h"
#include "support/library_search.h"
#include "support/log.h"

#include <windows.h>

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
constexpr DWORD kHttpOk = 200;
// ERROR_INTERNET_SECURE_FAILURE, which not every wininet.h names.
constexpr DWORD kSecureFailure = INTERNET_ERROR_BASE + 175;

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

// The launcher's own words for each failure: what went wrong and what the user can do. {server},
// {location}, {folder} and {status} stand for the server's name, the download address, the folder
// the file goes to and the HTTP status.
struct FailureWords {
    DownloadFailure failure;
    const wchar_t* words;
};
constexpr FailureWords kFailureWords[] = {
    {DownloadFailure::InvalidLocation,
     L"The download address {location} is not valid. The program's vendor needs to correct it."},
    {DownloadFailure::NameNotResolved, L"The server {server} could not be found. Check that this computer "
                                       L"is connected to the Internet, then try again."},
    {DownloadFailure::CannotConnect, L"The server {server} could not be reached. Check the Internet "
                                     L"connection, and that no firewall or proxy blocks this program, "
                                     L"then try again."},
    {DownloadFailure::UntrustedServer,
     L"The secure connection to {server} was refused: its certificate is not trusted, so nothing was "
     L"downloaded. Check that this computer's date and time are right; if they are, tell the program's "
     L"vendor."},
    {DownloadFailure::NoLength, L"The server {server} did not say how large the file is, so it was not "
                                L"downloaded. Try again later; if it keeps happening, tell the program's "
                                L"vendor."},
    {DownloadFailure::ConnectionLost,
     L"The connection to {server} broke off before the whole file had arrived. Try again."},
    {DownloadFailure::WriteFailed, L"The downloaded file could not be saved in {folder}. Check that there "
                                   L"is enough free disk space, then try again."},
    {DownloadFailure::DigestMismatch,
     L"The downloaded file is not the Java runtime this program expects (its SHA-256 checksum differs), "
     L"so it was not used. Try again later; if it keeps happening, tell the program's vendor."},
    {DownloadFailure::Other, L"The download from {server} failed. Try again later."},
};

// What an HTTP status other than 200 means to the user, by ranges of statuses; the first match counts.
struct StatusWords {
    unsigned long from, to;
    const wchar_t* words;
};
constexpr wchar_t kNoFileThere[] = L"The server {server} has no file at {location} (HTTP {status}). The "
                                   L"program's vendor needs to update the download address.";
constexpr StatusWords kStatusWords[] = {
    {404, 404, kNoFileThere},
    {410, 410, kNoFileThere},
    {407, 407,
     L"A proxy server asks for a login before it lets the download through (HTTP 407). Ask whoever "
     L"looks after this computer's network."},
    {401, 403, L"The server {server} refused the download (HTTP {status}). Tell the program's vendor."},
    {500, 599, L"The server {server} has a problem of its own (HTTP {status}). Try again later."},
    {0, ~0ul,
     L"The server {server} answered HTTP {status} instead of sending the file. Try again later; if it "
     L"keeps happening, tell the program's vendor."},
};

std::wstring downloadFailureWords(const DownloadResult& result) {
    if (result.failure == DownloadFailure::HttpStatus) {
        for (const StatusWords& entry : kStatusWords)
            if (result.code >= entry.from && result.code <= entry.to)
                return entry.words;
    }
    for (const FailureWords& entry : kFailureWords)
        if (entry.failure == result.failure)
            return entry.words;
    return std::wstring();
}

DownloadResult failed(DownloadFailure failure, unsigned long code = 0) {
    return DownloadResult{failure, code};
}

// A failed WinINet or system call, told by its error code.
DownloadResult failedWithError(unsigned long code) {
    return failed(failureOfError(code), code);
}

void report(const DownloadSink& sink, const wchar_t* text) {
    if (sink.status != nullptr)
        sink.status(text, sink.context);
}

void reportMessage(const DownloadSink& sink, int id) {
    wchar_t text[kTextCapacity];
    getMessage(id, text);
    report(sink, text);
}

HINTERNET openLocation(HINTERNET root, const char* location) {
    return internetOpenUrl(root, location, nullptr, 0, kOpenFlags, 0);
}

bool queryNumber(HINTERNET url, DWORD what, DWORD* value) {
    DWORD length = sizeof *value;
    return httpQueryInfo(url, what | HTTP_QUERY_FLAG_NUMBER, value, &length, nullptr) != FALSE;
}

// An error page (404, 500) carries a body and a length like the archive does; only a 200 is the file.
DownloadResult answeredOk(HINTERNET url, const char* location) {
    DWORD status = 0;
    if (!queryNumber(url, HTTP_QUERY_STATUS_CODE, &status)) {
        const DWORD error = GetLastError();
        logError("HttpQueryInfo for the status of %s failed with error code %lu", location, error);
        return failedWithError(error);
    }
    if (status != kHttpOk) {
        logError("%s answered with HTTP status %lu", location, status);
        return failed(DownloadFailure::HttpStatus, status);
    }
    return {};
}

void updateDisplay(const DownloadSink& sink, uint32_t received, uint32_t size, DWORD elapsedMs) {
    if (sink.status != nullptr) {
        wchar_t format[kTextCapacity];
        getMessage(message::DownloadProgressFormat, format);
        wchar_t status[kStatusCapacity];
        formatDownloadStatus(format, received, size, elapsedMs, status, kStatusCapacity);
        report(sink, status);
    }
    if (sink.position != nullptr)
        sink.position(downloadProgressPosition(received, size), sink.context);
}

// Copies size bytes of url into destination. The handles are closed by the caller's guards.
DownloadResult receiveFile(HINTERNET url, DWORD size, const char* destination, const char* expectedSha256,
                           const DownloadSink& sink) {
    logLine("file size: %lu, handle %p", size, url);
    FILE* out = fopen(destination, "wb");
    if (out == nullptr) {
        const DWORD error = GetLastError();
        logError("opening the destination file %s failed with error code %lu", destination, error);
        return failed(DownloadFailure::WriteFailed, error);
    }
    // What was written of a failed download is never mistaken for an archive later.
    auto fail = [&](DownloadResult result) {
        fclose(out);
        remove(destination);
        return result;
    };
    const bool checkDigest = expectedSha256[0] != '\0';
    Sha256Digest digest;
    if (checkDigest && !digest.begin()) {
        const DWORD error = GetLastError();
        logError("SHA-256 is not available here (error code %lu)", error);
        return fail(failed(DownloadFailure::Other, error));
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
            const DWORD error = GetLastError();
            logError("InternetReadFile failed with error code %lu", error);
            // Whatever stopped the transfer half-way, to the user it broke off.
            return fail(failed(DownloadFailure::ConnectionLost, error));
        }
        // A successful read of nothing before the announced size: the server closed the connection.
        if (read == 0) {
            logError("InternetReadFile: the connection ended after %lu of %lu bytes", received, size);
            return fail(failed(DownloadFailure::ConnectionLost));
        }
        received += read;
        if (fwrite(block, 1, read, out) < read) {
            const DWORD error = GetLastError();
            logError("writing the destination file %s failed with error code %lu", destination, error);
            return fail(failed(DownloadFailure::WriteFailed, error));
        }
        if (checkDigest && !digest.add(block, read)) {
            const DWORD error = GetLastError();
            logError("SHA-256 of %s failed with error code %lu", destination, error);
            return fail(failed(DownloadFailure::Other, error));
        }
        const DWORD now = GetTickCount();
        if (lastUpdate + kDisplayIntervalMs < now) {
            updateDisplay(sink, received, size, now - start);
            lastUpdate = now;
        }
    }
    // Buffered bytes reach the disk here: a full disk may show only now.
    if (fclose(out) != 0) {
        const DWORD error = GetLastError();
        logError("writing the destination file %s failed with error code %lu", destination, error);
        remove(destination);
        return failed(DownloadFailure::WriteFailed, error);
    }
    if (checkDigest) {
        char actual[kSha256HexCapacity];
        if (!digest.finish(actual)) {
            const DWORD error = GetLastError();
            logError("SHA-256 of %s failed with error code %lu", destination, error);
            remove(destination);
            return failed(DownloadFailure::Other, error);
        }
        if (!sameDigest(actual, expectedSha256)) {
            logError("SHA-256 of %s is %s, expected %s", destination, actual, expectedSha256);
            remove(destination);
            return failed(DownloadFailure::DigestMismatch);
        }
        logLine("SHA-256 verified: %s", actual);
    }
    logLine("download successful");
    return {};
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

DownloadResult downloadFile(const char* location, const char* destination, const char* expectedSha256,
                            const DownloadSink& sink) {
    // Its jvm.dll will run in this process: without a digest only the connection vouches for it.
    if (expectedSha256[0] == '\0')
        logLine("No SHA-256 configured: the archive from %s is not checked", location);
    reportMessage(sink, message::DownloadConnecting);
    const DWORD attempt = internetAttemptConnect(0);
    if (attempt != ERROR_SUCCESS)
        logError("InternetAttemptConnect returned %lu", attempt);

    InternetHandle root(internetOpen(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (root.get() == nullptr) {
        const DWORD error = GetLastError();
        logError("InternetOpen failed with error code %lu", error);
        return failedWithError(error);
    }
    InternetHandle url(openLocation(root.get(), location));
    if (url.get() == nullptr) {
        const DWORD error = GetLastError();
        logError("InternetOpenUrl failed with error code %lu", error);
        return failedWithError(error);
    }
    DWORD size = 0;
    for (int tries = 1;; ++tries) {
        const DownloadResult status = answeredOk(url.get(), location);
        if (!status.succeeded())
            return status;
        if (queryNumber(url.get(), HTTP_QUERY_CONTENT_LENGTH, &size))
            break;
        logError("HttpQueryInfo (try %d) failed with error code %lu", tries, GetLastError());
        Sleep(kRetryPauseMs);
        url.reset();
        url.reset(openLocation(root.get(), location));
        if (url.get() == nullptr) {
            const DWORD error = GetLastError();
            logError("InternetOpenUrl 2 failed with error code %lu", error);
            return failedWithError(error);
        }
        if (tries == kContentLengthTries) {
            logError("Giving up");
            return failed(DownloadFailure::NoLength);
        }
    }
    return receiveFile(url.get(), size, destination, expectedSha256, sink);
}

DownloadFailure failureOfError(unsigned long code) {
    switch (code) {
    case ERROR_INTERNET_INVALID_URL:
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
        return DownloadFailure::InvalidLocation;
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
        return DownloadFailure::NameNotResolved;
    case ERROR_INTERNET_CANNOT_CONNECT:
    case ERROR_INTERNET_TIMEOUT:
    case ERROR_INTERNET_DISCONNECTED:
        return DownloadFailure::CannotConnect;
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET:
        return DownloadFailure::ConnectionLost;
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
    case kSecureFailure:
        return DownloadFailure::UntrustedServer;
    default:
        return DownloadFailure::Other;
    }
}

std::string downloadServer(const char* location) {
    const std::string text = location;
    const size_t scheme = text.find("//");
    if (scheme == std::string::npos)
        return text;
    const size_t start = scheme + 2;
    std::string server = text.substr(start, text.find_first_of("/?#", start) - start);
    const size_t user = server.rfind('@');
    return user == std::string::npos ? server : server.substr(user + 1);
}

std::wstring describeDownloadFailure(const DownloadResult& result, const char* location,
                                     const char* destination) {
    std::string folder = destination;
    const size_t separator = folder.find_last_of("\\/");
    folder.resize(separator != std::string::npos ? separator : 0);
    const std::wstring words = downloadFailureWords(result);
    if (words.empty())
        return words;
    std::wstring told;
    for (size_t at = 0; at < words.size();) {
        const size_t open = words.find(L'{', at);
        told += words.substr(at, open - at);
        if (open == std::wstring::npos)
            break;
        const size_t close = words.find(L'}', open);
        const std::wstring name = words.substr(open + 1, close - open - 1);
        if (name == L"server")
            told += wideFromAnsi(downloadServer(location));
        else if (name == L"location")
            told += wideFromAnsi(location);
        else if (name == L"folder")
            told += wideFromAnsi(folder);
        else if (name == L"status")
            told += std::to_wstring(result.code);
        at = close + 1;
    }
    if (result.failure != DownloadFailure::HttpStatus && result.code != 0)
        told += L" (Windows error " + std::to_wstring(result.code) + L")";
    return told;
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
