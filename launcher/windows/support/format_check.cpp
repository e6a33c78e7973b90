#include "support/format_check.h"

#include <cwchar>

namespace {

// Flags, width and precision, then the conversion letter: null when the conversion at p is not one
// of letters.
const wchar_t* skipConversion(const wchar_t* p, const wchar_t* letters) {
    while (*p != L'\0' && wcschr(L"-+ #0", *p) != nullptr)
        ++p;
    for (int digits = 0; *p >= L'0' && *p <= L'9'; ++p)
        if (++digits > 2)
            return nullptr;
    if (*p == L'.') {
        ++p;
        for (int digits = 0; *p >= L'0' && *p <= L'9'; ++p)
            if (++digits > 2)
                return nullptr;
    }
    if (*p == L'\0' || wcschr(letters, *p) == nullptr)
        return nullptr;
    return p + 1;
}

} // namespace

int countFormatConversions(const wchar_t* format, const wchar_t* letters) {
    int conversions = 0;
    for (const wchar_t* p = format; *p != L'\0';) {
        if (*p != L'%') {
            ++p;
        } else if (p[1] == L'%') {
            p += 2;
        } else {
            p = skipConversion(p + 1, letters);
            if (p == nullptr)
                return -1;
            ++conversions;
        }
    }
    return conversions;
}
