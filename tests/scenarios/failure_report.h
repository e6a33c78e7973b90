// Runs recorded during the current test, printed when the test fails.
#pragma once

#include <string>

namespace kestro::scenario {

void recordRunForFailureReport(const std::string& description);

} // namespace kestro::scenario
