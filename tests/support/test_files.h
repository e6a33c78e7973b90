// Files, texts and waiting, for the tests of the host and the Windows trees alike.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kestro::test_support {

// The whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
// Writes bytes to path, replacing it and creating its directories; fails the current test on error.
void writeFile(const std::string& path, const std::string& bytes);
// Removes path with everything below it; nothing when it does not exist.
void removeTree(const std::string& path);

// The lines of text without their ends (LF or CR LF); a last line without one counts too.
std::vector<std::string> linesOf(const std::string& text);
// The rest of the first line that starts with prefix; without one "<no line starting with PREFIX>",
// so that two missing lines never compare equal to each other or to a real one.
std::string lineStartingWith(const std::vector<std::string>& lines, const std::string& prefix);
// The rest of every line that starts with prefix, in order.
std::vector<std::string> withPrefix(const std::vector<std::string>& lines, const std::string& prefix);
std::string lowerCase(std::string text);
// UTF-16LE bytes as units; an odd last byte is left out.
std::u16string fromUtf16Le(const std::string& bytes);

// Runs command with the shell (host trees only); its exit code (-1 when it did not exit) and both
// its output streams in *output.
int runShell(const std::string& command, std::string* output);

// Asks condition every so often until it holds (true) or timeout has passed (false).
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::minutes(1),
               std::chrono::milliseconds every = std::chrono::milliseconds(50));

} // namespace kestro::test_support
