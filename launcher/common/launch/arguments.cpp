#include "launch/arguments.h"

#include "payload/payload_format.h"
#include "support/errors.h"
#include "support/text_conversion.h"

void splitArguments(const wchar_t* text, WideArguments& list) {
    if (!trySplitArguments(text, list))
        fatalMessage(kestro::payload::config::MessageWrongParameters, nullptr);
}

// Back to the 8-bit form the text came in, so every character of it round-trips.
void splitArgumentsNarrow(const char* text, NarrowArguments& list) {
    WideArguments wide;
    splitArguments(wideFromNarrow(text).c_str(), wide);
    for (const std::wstring& argument : wide)
        list.push_back(narrowFromWide(argument));
}
