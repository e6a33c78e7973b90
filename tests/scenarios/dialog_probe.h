// The launcher's dialogs seen from outside, through ui-probe under Wine: what a dialog shows (texts
// read back as UTF-16 from the windows), its buttons pressed, the file-open dialog filled in, the
// progress bar watched. A scenario that fails leaves a screenshot of the virtual screen.
//
//   DialogView question = dialogs.view("question");
//   EXPECT_EQ(question.text(1003), "...");
//   dialogs.click("question", 2);
#pragma once

#include "harness.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kestro::scenario {

struct ControlView {
    std::string className;
    bool visible = false;
    std::string text; // UTF-8
};

struct DialogView {
    bool found = false;
    std::string className;
    std::string title; // UTF-8
    bool visible = false;
    int left = 0, top = 0, right = 0, bottom = 0;
    int centreLeft = 0, centreTop = 0; // where centring on the owner (or the desktop) puts it
    std::map<int, ControlView> controls;
    int progressMinimum = -1, progressMaximum = -1, progressPosition = -1;
    int commonControlsVersion = -1; // 6 when the launcher's process loaded the common controls 6

    std::string text(int id) const;
    bool shows(int id) const;
};

class DialogProbe {
  public:
    // Until the probe goes, the first failure of the test saves the screen as
    // <scenario directory>/failure.png and says so.
    explicit DialogProbe(Scenario& scenario);
    ~DialogProbe();
    DialogProbe(const DialogProbe&) = delete;
    DialogProbe& operator=(const DialogProbe&) = delete;

    // "progress", "question" or "open", waiting for it up to waitMs.
    DialogView view(const std::string& which, int waitMs = 30000, CallSite at = CallSite::here());
    // The same without a failure when the dialog does not appear (found is then false).
    DialogView find(const std::string& which, int waitMs);
    void click(const std::string& which, int id, CallSite at = CallSite::here());
    // Closes the window ("progress", "question" or "splash") as Alt+F4 or the taskbar's Close do.
    void close(const std::string& which, CallSite at = CallSite::here());
    // The same as click, for a dialog that may be gone by then: false instead of a failure.
    bool tryClick(const std::string& which, int id);
    void pick(const std::string& windowsFile, CallSite at = CallSite::here());
    void cancelPick(CallSite at = CallSite::here());
    // Waits until the progress dialog is hidden (a failure after ms).
    void waitUntilHidden(int ms, CallSite at = CallSite::here());
    // The progress bar's positions, each change once, sampled until the dialog is hidden, the bar
    // reaches stopAt (when not negative) or ms have passed.
    std::vector<int> positions(int ms, int stopAt = -1, CallSite at = CallSite::here());

  private:
    RunResult probe(const std::vector<std::string>& arguments, CallSite at);
    DialogView parse(const RunResult& r);
    Scenario& s_;
};

// ImageMagick's import of the whole virtual screen into path (PNG). False when it failed.
bool saveScreenshot(const std::string& path);

} // namespace kestro::scenario
