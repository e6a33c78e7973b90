#include "startup/runtime_download.h"

#include "jreprovision/http_download.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "resource_ids.h"
#include "startup/dialogs.h"
#include "startup/wide_text.h"
#include "support/errors.h"
#include "support/log.h"

#include <string>

namespace {

namespace config = kestro::payload::config;
namespace message = kestro::payload::message;

// The download's own message, then why it failed and what the user can do.
[[noreturn]] void failDownload(const DownloadResult& result, const char* location, const char* destination) {
    wchar_t text[kTextCapacity];
    getMessage(message::DownloadFailed, text);
    std::wstring told = text;
    const std::wstring reason = describeDownloadFailure(result, location, destination);
    if (!reason.empty())
        told += (told.empty() ? L"" : L"\n\n") + reason;
    fatalErrorWide(told.c_str());
}

} // namespace

void downloadRuntime(HWND progressDialog, const char* location, const char* destination) {
    setItemToMessage(progressDialog, IDC_STATUS_TEXT, message::DownloadStatus);
    setItemToMessage(progressDialog, IDCANCEL, message::CancelButton);
    ShowWindow(GetDlgItem(progressDialog, IDC_STATUS_LINE), SW_SHOW);
    if (!initInternetLibrary())
        fatalMessageWide(message::InternetUnavailable);
    char digest[kTextCapacity];
    getConfigText(config::DownloadSha256, digest, sizeof digest);
    logLine("Downloading %s into %s", location, destination);
    DownloadSink sink;
    sink.status = showProgressStatusLine;
    sink.position = showProgressPosition;
    sink.context = progressDialog;
    const DownloadResult result = downloadFile(location, destination, digest, sink);
    if (!result.succeeded())
        failDownload(result, location, destination);
    ShowWindow(GetDlgItem(progressDialog, IDC_STATUS_LINE), SW_HIDE);
}
