#include "support/errors.h"

#include "support/bounded_text.h"

#include <cstring>

bool substituteArgument(const char* text, const char* argument, char* out, size_t capacity) {
    size_t used = 0;
    out[0] = '\0';
    const char* placeholder = argument != nullptr ? strstr(text, "{0}") : nullptr;
    if (placeholder == nullptr)
        return appendCut(out, capacity, &used, text);
    for (const char* c = text; c < placeholder; ++c) {
        const char single[2] = {*c, '\0'};
        if (!appendCut(out, capacity, &used, single))
            return false;
    }
    return appendCut(out, capacity, &used, argument) && appendCut(out, capacity, &used, placeholder + 3);
}

bool composeErrorText(const char* message, const char* logPath, char* out, size_t capacity) {
    size_t used = 0;
    out[0] = '\0';
    if (!appendCut(out, capacity, &used, message))
        return false;
    if (logPath == nullptr)
        return true;
    return appendCut(out, capacity, &used, "\n\nLog: ") && appendCut(out, capacity, &used, logPath);
}
