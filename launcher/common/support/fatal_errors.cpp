// The operations of support/errors.h that only combine showing with ending, the same on every system.
#include "payload/payload_store.h"
#include "support/errors.h"
#include "support/process_end.h"

namespace {

constexpr size_t kMessageCapacity = 8192;

} // namespace

void showMessage(int id, const char* argument) {
    char text[kMessageCapacity];
    char substituted[kMessageCapacity];
    getConfigText(id, text, sizeof text);
    substituteArgument(text, argument, substituted, sizeof substituted);
    showError(substituted);
}

void fatalError(const char* text) {
    claimEnd();
    showError(text);
    endProcess(1);
}

void fatalErrorWide(const wchar_t* text) {
    claimEnd();
    showErrorWide(text);
    endProcess(1);
}

void fatalMessage(int id, const char* argument) {
    claimEnd();
    showMessage(id, argument);
    endProcess(1);
}

void fatalMessageWide(int id) {
    wchar_t text[kTextCapacity];
    getMessage(id, text);
    fatalErrorWide(text);
}

void exitLauncher(int code) {
    claimEnd();
    endProcess(code);
}
