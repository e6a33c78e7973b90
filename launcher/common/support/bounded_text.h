// Texts in buffers of a fixed size, cut rather than overrun.
#pragma once

#include <cstddef>

// Appends text to out (capacity units, holding a terminated text at *used units). Returns false when
// it was cut to fit.
template <typename Char> bool appendCut(Char* out, size_t capacity, size_t* used, const Char* text) {
    for (; *text != 0; ++text) {
        if (*used + 1 >= capacity) {
            out[*used] = 0;
            return false;
        }
        out[(*used)++] = *text;
    }
    out[*used] = 0;
    return true;
}
