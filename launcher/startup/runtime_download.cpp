#include "startup/runtime_download.h"

#include "jreprovision/http_download.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "startup/wide_text.h"
#include "support/errors.h"

namespace {

namespace config = kestro::payload::config;
namespace message = kestro::payload::message;

constexpr char kRuntimeArchive[] = "jre.tar.gz";
constexpr int kStatusText = 1003;
constexpr int kStatusLine = 1002;
constexpr int kCancelButton = IDCANCEL;

void setItemToMessage(HWND dialog, int item, int id) {
    wchar_t text[kTextCapacity];
    getMessage(id, text);
    setItemTextWide(dialog, item, text);
}

} // namespace

void downloadRuntime(HWND progressDialog, const char* location) {
    setItemToMessage(progressDialog, kStatusText, message::DownloadStatus);
    setItemToMessage(progressDialog, kCancelButton, message::CancelButton);
    ShowWindow(GetDlgItem(progressDialog, kStatusLine), SW_SHOW);
    if (!initInternetLibrary())
        fatalMessageWide(message::InternetUnavailable);
    char digest[kTextCapacity];
    getConfigText(config::DownloadSha256, digest, sizeof digest);
    if (!downloadFile(progressDialog, location, kRuntimeArchive, digest))
        fatalMessageWide(message::DownloadFailed);
    ShowWindow(GetDlgItem(progressDialog, kStatusLine), SW_HIDE);
}
