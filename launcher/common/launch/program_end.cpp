#include "launch/program_end.h"

#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "support/errors.h"
#include "support/log.h"

#include <string>

namespace {

// The application error without its message in the payload (an executable of an older packer).
constexpr wchar_t kApplicationErrorText[] = L"The application ended with an error.";

} // namespace

void endWithProgram(const LaunchOutcome& outcome) {
    switch (outcome.end) {
    case ProgramEnd::NotStarted:
        logError("Could not start JVM");
        fatalMessage(kestro::payload::config::MessageJvmNotStarted, nullptr);
    case ProgramEnd::Returned:
        exitLauncher(0);
    case ProgramEnd::Threw:
        break;
    }
    wchar_t text[kTextCapacity];
    getMessage(kestro::payload::message::ApplicationError, text);
    std::wstring told = text[0] != L'\0' ? text : kApplicationErrorText;
    if (!outcome.exception.empty())
        told += L"\n\n" + outcome.exception;
    fatalErrorWide(told.c_str());
}
