// The harness's own promises that scenarios rely on without checking them each time.
#include "harness.h"

namespace kestro::scenario {
namespace {

TEST(Harness, HungRunIsEndedAfterItsTimeOutAndReported) {
    Scenario s("hung_run");
    s.timeout(std::chrono::seconds(2));

    // Holds its file until a "go" file appears, which never happens.
    RunResult r =
        s.runProgram(scenarioProgram("queue-tool"), {"hold", windowsPath(s.tmpDirectory() + "/held"),
                                                     windowsPath(s.tmpDirectory() + "/go")});

    EXPECT_TRUE(r.timedOut);
}

TEST(Harness, ScenarioStartsWithoutTheLaunchersRegistryKey) {
    registry::writeString(kDeletionQueueKey, "delete_file", "left over;");

    Scenario s("clean_registry");

    EXPECT_FALSE(registry::keyExists(kLauncherKey));
    EXPECT_THAT(s.tmpDirectory(), testing::EndsWith("/clean_registry/tmp"));
}

TEST(Harness, RegistryValuesRoundTrip) {
    Scenario s("registry_round_trip");

    registry::writeString(kDeletionQueueKey, "delete_dir", "C:\\a b\\c;");

    EXPECT_EQ(registry::readString(kDeletionQueueKey, "delete_dir"), "C:\\a b\\c;");
    EXPECT_EQ(registry::readString(kDeletionQueueKey, "missing"), std::nullopt);
}

} // namespace
} // namespace kestro::scenario
