// Formats that come from the payload are checked before a printf-family function reads them: a
// conversion the caller passes no argument for would read whatever lies on the stack (and "%n" would
// write there).
#pragma once

// The number of conversions in format when every conversion is "%" followed by at most flags, a width
// and a precision of up to two digits each, and one of letters; "%%" is text. -1 when any conversion
// is of another form ("%s" where only "%S" is allowed, "%n", "%*d", "%ls", a lone "%" at the end).
int countFormatConversions(const wchar_t* format, const wchar_t* letters);
