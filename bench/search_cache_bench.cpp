// How much the version cache saves: one search over a long sequence of runtime homes, all but the
// last too old for the minimum version, timed with a cold cache (every java.exe is started for
// "-version") and with a warm one (none is). Prints the times, their ratio and the runtime starts
// the cache saved, all measured in this run. Timing never fails the program; only a search that
// does not end at the expected runtime does.
#include "harness.h"
#include "runtime_layout.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace kestro::scenario {
namespace {

constexpr int kRejectedRuntimes = 15;
constexpr int kRepetitions = 3;

struct Measurement {
    double milliseconds;
    int starts;
};

int totalStarts(const std::vector<Runtime>& runtimes) {
    int starts = 0;
    for (const Runtime& runtime : runtimes)
        starts += runtime.versionRuns();
    return starts;
}

Measurement timedSearch(Scenario& s, const std::vector<Runtime>& runtimes, bool coldCache) {
    if (coldCache)
        registry::deleteKey(kVersionCacheKey);
    const int startsBefore = totalStarts(runtimes);
    const auto begin = std::chrono::steady_clock::now();
    RunResult r = s.run();
    const auto end = std::chrono::steady_clock::now();
    EXPECT_THAT(r.stdoutLines(), testing::Contains("LoadDLL 1")) << r.describe();
    return {std::chrono::duration<double, std::milli>(end - begin).count(),
            totalStarts(runtimes) - startsBefore};
}

Measurement median(std::vector<Measurement> runs) {
    std::sort(runs.begin(), runs.end(),
              [](const Measurement& a, const Measurement& b) { return a.milliseconds < b.milliseconds; });
    return runs[runs.size() / 2];
}

TEST(Benchmark, SearchWithWarmAndColdVersionCache) {
    Scenario s("search_cache_bench");
    s.stub(scenarioProgram("search-probe")).config(107, "0").config(126, "1.4");
    std::vector<Runtime> runtimes;
    std::string sequence;
    for (int i = 0; i <= kRejectedRuntimes; ++i) {
        const bool last = i == kRejectedRuntimes;
        runtimes.push_back(layOutRuntime(s.directory() + "/runtime" + std::to_string(i),
                                         describe(Layout::Jre, last ? "1.6.0_10" : "1.3.1_20")));
        sequence += "A" + runtimes.back().windowsHome + ";";
    }
    s.config(128, sequence);

    std::vector<Measurement> cold, warm;
    for (int i = 0; i < kRepetitions; ++i) {
        cold.push_back(timedSearch(s, runtimes, true));
        warm.push_back(timedSearch(s, runtimes, false));
    }
    const Measurement coldMedian = median(cold);
    const Measurement warmMedian = median(warm);
    std::printf("sequence of %d runtime homes, median of %d launches each\n", kRejectedRuntimes + 1,
                kRepetitions);
    std::printf("cold version cache: %8.1f ms, %d runtime starts\n", coldMedian.milliseconds,
                coldMedian.starts);
    std::printf("warm version cache: %8.1f ms, %d runtime starts\n", warmMedian.milliseconds,
                warmMedian.starts);
    std::printf("cold / warm: %.2f; runtime starts saved per launch: %d\n",
                coldMedian.milliseconds / warmMedian.milliseconds, coldMedian.starts - warmMedian.starts);
}

} // namespace
} // namespace kestro::scenario
