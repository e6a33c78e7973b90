// The rules that decide from texts alone whether a Java runtime fits: the version line a runtime
// prints for "-version", the configured version bounds, pre-release markers, and the shape of
// search-sequence locations. Free of Win32, so that every rule can be tested by itself.
#pragma once

#include <cstddef>
#include <string>

// Reads the version from the first line a runtime prints for "-version": the text between the
// quotation marks of `java version "..."` or `openjdk version "..."`; what follows the closing quote
// (a date, a line end) is not part of it. Writes the version to out (capacity bytes) and returns
// true; returns false with out empty for any other line, for an empty or unterminated quotation,
// and for a version that would not fit.
bool parseVersionLine(const char* line, char* out, size_t capacity);

// A line a runtime prints before its version line when it picked up options from the environment:
// "Picked up JAVA_TOOL_OPTIONS: ..." or "Picked up _JAVA_OPTIONS: ..." from the VM, "NOTE: Picked
// up JDK_JAVA_OPTIONS: ..." from the java launcher. Such a runtime is as usable as any other.
bool isPickedUpOptionsNotice(const char* line);

// The version contains "beta", "ea" or "rc" anywhere (case-sensitive).
bool isPrereleaseVersion(const char* version);

// The one order of versions. A version is read as a sequence of parts: each run of digits is one
// part, compared as a number ("9" < "17", "1.8.0_45" < "1.8.0_392"); every other character is a
// part of its own, compared bytewise, also against the first digit of a number. A leading "1."
// followed by a digit is dropped, so that "1.8.0_392" is version 8 and "1.4" sorts below "9". When
// one sequence is a prefix of the other, the shorter sorts first ("17" < "17.0.15"). Numbers that
// differ only in leading zeros are equal. Returns <0, 0 or >0.
int compareVersions(const char* a, const char* b);

// Each non-empty bound is compared over its own number of parts: the version's first parts must
// not sort below the minimum nor above the maximum. So the maximum "1.6" admits every "1.6.0_xx"
// but not "1.60", the maximum "17" admits "17.0.15" but not "170", and the minimum "1.4.2" rejects
// "1.4.1_07". Empty bounds impose nothing.
bool isVersionWithinBounds(const char* version, const char* minimum, const char* maximum);

// The bounds test for registry sub-key names: each comparison runs over the shorter of the key's
// and the bound's numbers of parts, so the key "1.4" passes the minimum "1.4.2" and the key "1.6"
// passes the maximum "1.6.0_10".
bool isVersionKeyInRange(const char* key, const char* minimum, const char* maximum);

// A search-sequence directory counts as absolute when it is longer than one character and its
// second character is ':' or it starts with two backslashes.
bool isAbsoluteLocation(const char* value);

// Takes the next non-empty entry of a search sequence ("Y;EJAVA_HOME;;Ajre") at *cursor: its type
// letter and the rest of the entry as value (capacity bytes; a longer value is cut). Advances
// *cursor past the entry and its ';'. Returns false when no entry is left.
bool nextSearchEntry(const char** cursor, char* letter, char* value, size_t capacity);

// The last pass of the search takes an entry whose executable merely exists: every "B" entry, and
// "A" and "R" entries whose directory is not absolute.
bool isLastPassEntry(char letter, const char* value);

// The versions the bounds admit, said as people say them: "Java 11 or newer", "Java 8 to 17",
// "Java 17 or older", "Java 17" (both bounds the same), "any Java" (no bounds). A bound "1.N" is
// called N, as the version order reads it; any other bound is named as written.
std::string describeVersionRange(const char* minimum, const char* maximum);
