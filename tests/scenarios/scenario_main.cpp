// The scenario tests' entry: GoogleTest with a listener that prints, for every failed test, the
// command lines, outputs, message boxes and native logs of the runs it made.
#include "failure_report.h"

#include <gmock/gmock.h>

#include <cstdio>
#include <vector>

namespace kestro::scenario {

namespace {

std::vector<std::string>& recordedRuns() {
    static std::vector<std::string> runs;
    return runs;
}

class ScenarioFailureReporter : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { recordedRuns().clear(); }

    void OnTestEnd(const testing::TestInfo& test) override {
        if (!test.result()->Failed())
            return;
        for (size_t i = 0; i < recordedRuns().size(); ++i)
            std::printf("=== run %zu of %s.%s ===\n%s\n", i + 1, test.test_suite_name(), test.name(),
                        recordedRuns()[i].c_str());
        std::fflush(stdout);
    }
};

} // namespace

void recordRunForFailureReport(const std::string& description) {
    recordedRuns().push_back(description);
}

} // namespace kestro::scenario

int main(int argc, char** argv) {
    testing::InitGoogleMock(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new kestro::scenario::ScenarioFailureReporter);
    return RUN_ALL_TESTS();
}
