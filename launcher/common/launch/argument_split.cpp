// The splitting rule itself, free of Win32 so that it is also built on the host (fuzz targets).
#include "launch/arguments.h"

bool trySplitArguments(const wchar_t* text, WideArguments& list) {
    const std::wstring all = text != nullptr ? text : L"";
    size_t rest = 0;
    while (rest < all.size()) {
        if (all[rest] == L' ') {
            ++rest;
            continue;
        }
        const size_t doubleQuote = all.find(L'"', rest);
        const size_t singleQuote = all.find(L'\'', rest);
        const size_t blank = all.find(L' ', rest);
        // npos is the largest value, so an absent quote never comes before the blank.
        if (blank != std::wstring::npos && blank < doubleQuote && blank < singleQuote) {
            list.push_back(all.substr(rest, blank - rest));
            rest = blank + 1;
            continue;
        }
        size_t opening;
        if (doubleQuote != std::wstring::npos && !(singleQuote < doubleQuote))
            opening = doubleQuote;
        else if (singleQuote != std::wstring::npos)
            opening = singleQuote;
        else {
            list.push_back(all.substr(rest));
            break;
        }
        const size_t closing = all.find(all[opening], opening + 1);
        if (closing == std::wstring::npos)
            return false;
        // Text before the opening quote starts the argument; the quotes themselves are dropped.
        list.push_back(all.substr(rest, opening - rest) + all.substr(opening + 1, closing - opening - 1));
        rest = closing + 1;
        if (rest < all.size() && all[rest] == L' ')
            ++rest;
    }
    return true;
}
