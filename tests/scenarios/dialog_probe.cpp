#include "dialog_probe.h"

#include <cstdlib>
#include <iostream>
#include <sstream>

namespace kestro::scenario {
namespace {

// Saves the screen at the first failure of a test that has a probe, while the dialogs are still up.
class ScreenshotOnFailure : public testing::EmptyTestEventListener {
  public:
    void OnTestPartResult(const testing::TestPartResult& result) override {
        if (!result.failed() || path.empty())
            return;
        if (saveScreenshot(path))
            std::cerr << "screenshot at the failure: " << path << "\n";
        path.clear();
    }
    std::string path; // empty: no probe, or already taken
};

ScreenshotOnFailure* screenshotListener() {
    static ScreenshotOnFailure* listener = [] {
        auto* created = new ScreenshotOnFailure;
        testing::UnitTest::GetInstance()->listeners().Append(created); // owned by GoogleTest from here
        return created;
    }();
    return listener;
}

} // namespace

std::string DialogView::text(int id) const {
    auto control = controls.find(id);
    return control == controls.end() ? "<no control " + std::to_string(id) + ">" : control->second.text;
}

bool DialogView::shows(int id) const {
    auto control = controls.find(id);
    return control != controls.end() && control->second.visible;
}

bool saveScreenshot(const std::string& path) {
    return std::system(("import -window root '" + path + "' >/dev/null 2>&1").c_str()) == 0;
}

DialogProbe::DialogProbe(Scenario& scenario) : s_(scenario) {
    screenshotListener()->path = s_.directory() + "/failure.png";
}

DialogProbe::~DialogProbe() {
    screenshotListener()->path.clear();
}

RunResult DialogProbe::probe(const std::vector<std::string>& arguments, CallSite at) {
    RunResult r = s_.runProgram(scenarioProgram("ui-probe"), arguments);
    if (r.exitCode != 0)
        ADD_FAILURE_AT(at.file, at.line) << "ui-probe failed: " << r.describe();
    return r;
}

DialogView DialogProbe::view(const std::string& which, int waitMs, CallSite at) {
    return parse(probe({"dump", which, std::to_string(waitMs)}, at));
}

DialogView DialogProbe::find(const std::string& which, int waitMs) {
    return parse(s_.runProgram(scenarioProgram("ui-probe"), {"dump", which, std::to_string(waitMs)}));
}

DialogView DialogProbe::parse(const RunResult& r) {
    DialogView view;
    for (const std::string& line : r.stdoutLines()) {
        const std::vector<std::string> f = tabFields(line);
        if (f[0] == "window" && f.size() == 8) {
            view.found = true;
            view.className = f[1];
            view.title = f[2];
            view.visible = f[3] == "1";
            view.left = std::stoi(f[4]);
            view.top = std::stoi(f[5]);
            view.right = std::stoi(f[6]);
            view.bottom = std::stoi(f[7]);
        } else if (f[0] == "centre" && f.size() == 3) {
            view.centreLeft = std::stoi(f[1]);
            view.centreTop = std::stoi(f[2]);
        } else if (f[0] == "control" && f.size() == 5) {
            view.controls[std::stoi(f[1]) & 0xFFFF] = {f[2], f[3] == "1", f[4]};
        } else if (f[0] == "progress" && f.size() == 4) {
            view.progressMinimum = std::stoi(f[1]);
            view.progressMaximum = std::stoi(f[2]);
            view.progressPosition = std::stoi(f[3]);
        } else if (f[0] == "controls" && f.size() == 2) {
            view.commonControlsVersion = std::stoi(f[1]);
        }
    }
    return view;
}

void DialogProbe::click(const std::string& which, int id, CallSite at) {
    probe({"click", which, std::to_string(id)}, at);
}

void DialogProbe::close(const std::string& which, CallSite at) {
    probe({"close", which}, at);
}

bool DialogProbe::tryClick(const std::string& which, int id) {
    return s_.runProgram(scenarioProgram("ui-probe"), {"click", which, std::to_string(id)}).exitCode == 0;
}

void DialogProbe::pick(const std::string& windowsFile, CallSite at) {
    probe({"pick", windowsFile}, at);
}

void DialogProbe::cancelPick(CallSite at) {
    probe({"cancel-pick"}, at);
}

void DialogProbe::waitUntilHidden(int ms, CallSite at) {
    probe({"wait-hidden", std::to_string(ms)}, at);
}

std::vector<int> DialogProbe::positions(int ms, int stopAt, CallSite at) {
    std::vector<int> seen;
    RunResult r = probe({"positions", std::to_string(ms), std::to_string(stopAt)}, at);
    for (const std::string& line : r.stdoutLines()) {
        const std::vector<std::string> f = tabFields(line);
        if (f[0] != "positions" || f.size() != 2)
            continue;
        std::stringstream list(f[1]);
        for (std::string item; std::getline(list, item, ',');)
            seen.push_back(std::stoi(item));
    }
    return seen;
}

} // namespace kestro::scenario
