// The splash screen as a user sees it: a packed launcher whose executable carries a picture, started
// the way a double-click does under the virtual screen. What it shows is read back from screenshots;
// the Java side is the JNI double, whose controller answers a script that waits for the test.
#include "dialog_probe.h"
#include "harness.h"
#include "runtime_layout.h"

#include "executable/pe_resources.h"
#include "executable/picture_resource.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace kestro::scenario {
namespace {

namespace fs = std::filesystem;
using testing::Contains;

constexpr int kWidth = 320;
constexpr int kHeight = 200;

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
    bool operator!=(const Rgb& o) const { return !(*this == o); }
};
constexpr Rgb kGreen{0, 160, 0};
constexpr Rgb kMagenta{255, 0, 255};
constexpr Rgb kYellow{255, 255, 0};
constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kBlue{0, 0, 255};

void PrintTo(const Rgb& c, std::ostream* out) {
    *out << "rgb(" << c.r << "," << c.g << "," << c.b << ")";
}

// The picture: green, with a magenta square in the top-left and a yellow one in the bottom-right
// corner, so that a screenshot tells where it was placed and whether it was cut. Drawn as a PPM and
// made a PNG, as a user would give it.
std::string picturePng(const std::string& directory) {
    std::string ppm = "P6\n" + std::to_string(kWidth) + " " + std::to_string(kHeight) + "\n255\n";
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            Rgb c = kGreen;
            if (x < 8 && y < 8)
                c = kMagenta;
            if (x >= kWidth - 8 && y >= kHeight - 8)
                c = kYellow;
            ppm += char(c.r), ppm += char(c.g), ppm += char(c.b);
        }
    }
    writeFile(directory + "/splash.ppm", ppm);
    const std::string png = directory + "/splash.png";
    EXPECT_EQ(std::system(("convert '" + directory + "/splash.ppm' '" + png + "'").c_str()), 0);
    return png;
}

// The launcher stub with the picture as the packer stores a project's [splash] picture.
std::string stubWithPicture(const std::string& directory) {
    std::string image = readFile(launcherStub());
    packer::ResourceTree tree;
    std::string dib, error;
    EXPECT_TRUE(packer::buildPictureResource(readFile(picturePng(directory)), &dib, &error)) << error;
    EXPECT_TRUE(packer::readResources(image, &tree, &error)) << error;
    tree[packer::resource_type::Bitmap][packer::kSplashPictureId][packer::kUsEnglish].bytes = dib;
    EXPECT_TRUE(packer::writeResources(&image, tree, &error)) << error;
    const std::string path = directory + "/launcher-with-picture.exe";
    writeFile(path, image);
    return path;
}

// The whole virtual screen, pixel by pixel.
class Screenshot {
  public:
    explicit Screenshot(const std::string& path) {
        EXPECT_TRUE(saveScreenshot(path)) << "no screenshot at " << path;
        const std::string raw = path + ".rgb";
        const std::string command =
            "convert '" + path + "' -depth 8 'rgb:" + raw + "' && identify -format '%w %h' '" + path + "'";
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
        if (!pipe || std::fscanf(pipe.get(), "%d %d", &width, &height) != 2)
            ADD_FAILURE() << "cannot read " << path;
        pixels = readFile(raw);
    }
    Rgb at(int x, int y) const {
        const size_t i = (size_t(y) * size_t(width) + size_t(x)) * 3;
        if (x < 0 || y < 0 || x >= width || y >= height || i + 2 >= pixels.size())
            return {-1, -1, -1};
        return {uint8_t(pixels[i]), uint8_t(pixels[i + 1]), uint8_t(pixels[i + 2])};
    }
    // How many pixels of the colour lie in the box, and the rightmost column that has one (-1: none).
    std::pair<int, int> count(Rgb colour, int left, int top, int right, int bottom) const {
        int found = 0, rightmost = -1;
        for (int y = top; y < bottom; ++y)
            for (int x = left; x < right; ++x)
                if (at(x, y) == colour)
                    ++found, rightmost = std::max(rightmost, x);
        return {found, rightmost};
    }
    int width = 0, height = 0;

  private:
    std::string pixels;
};

// A launcher with a splash whose search finds a runtime with the JNI double, in dialog mode.
class SplashScreen : public JavaScenario {
  protected:
    SplashScreen() : dialogs(s) {
        searchableRuntime();
        // No size: the picture's is taken.
        s.stub(stubWithPicture(s.directory()))
            .config(101, "Kestro Demo")
            .config(107, "1")
            .config(10109, "20")
            .config(10110, "150")
            .config(10111, "Starting")
            .config(10112, "Arial")
            .config(10113, "14")
            .config(10114, "255,0,0")
            .config(10115, "700")
            .config(10116, "20")
            .config(10117, "20")
            .config(10118, "version 1.0")
            .config(10119, "Arial")
            .config(10120, "14")
            .config(10121, "0,0,255")
            .config(10122, "700")
            .message(20013, u"Kestro Demo");
    }

    std::string gate(const std::string& name) const { return s.directory() + "/" + name; }

    bool splashHidden() {
        return s.runProgram(scenarioProgram("ui-probe"), {"splash-hidden", "60000"}).exitCode == 0;
    }

    DialogProbe dialogs;
};

// The picture centred, the two lines in their colours; the controller's text replaces the status
// line; its close hides the splash, and the progress dialog never showed meanwhile.
TEST_F(SplashScreen, ShowsThePictureAndFollowsTheController) {
    const std::string textAsked = gate("text-asked"), closeAsked = gate("close-asked"), done = gate("done");
    // The controller's first answer is an exception, which the splash clears and polls on; its texts
    // come five times.
    s.env("KESTRO_JNI_SCENARIO",
          "wait=" + windowsPath(done) + ";main=exit:0;actions=throw,gate:" + windowsPath(textAsked) +
              ",2,2,2,2,2,gate:" + windowsPath(closeAsked) + ",1;text=Loading plug-ins");
    RunningProgram launcher = s.startPacked();

    const DialogView splash = dialogs.view("splash");
    EXPECT_TRUE(splash.visible);
    EXPECT_EQ(splash.title, "Kestro Demo");
    EXPECT_EQ(splash.right - splash.left, kWidth) << "the picture's size";
    EXPECT_EQ(splash.bottom - splash.top, kHeight);
    EXPECT_EQ(splash.left, splash.centreLeft) << "centred on the screen";
    EXPECT_EQ(splash.top, splash.centreTop);
    ASSERT_TRUE(jni.waitFor("getAction waits for")) << "the splash polls the controller once the VM exists";

    const int x = splash.left, y = splash.top;
    const Screenshot first(s.directory() + "/splash-first.png");
    EXPECT_EQ(first.at(x, y), kMagenta) << "the picture's top-left corner at the window's";
    EXPECT_EQ(first.at(x + kWidth - 1, y + kHeight - 1), kYellow) << "and the whole picture shown";
    EXPECT_EQ(first.at(x + kWidth / 2, y + 100), kGreen);
    EXPECT_NE(first.at(x - 1, y + 100), kGreen) << "nothing beyond the window";
    const auto [statusPixels, statusEnd] = first.count(kRed, x, y + 140, x + kWidth, y + 190);
    const auto [versionPixels, versionEnd] = first.count(kBlue, x, y + 10, x + kWidth, y + 60);
    EXPECT_GT(statusPixels, 20) << "the status line in red";
    EXPECT_GT(versionPixels, 20) << "the version line in blue";
    EXPECT_EQ(first.count(kRed, x, y + 10, x + kWidth, y + 60).first, 0) << "each line in its own colour";

    writeFile(textAsked, "");
    ASSERT_TRUE(jni.waitFor("getAction waits for " + windowsPath(closeAsked)));
    const Screenshot second(s.directory() + "/splash-second.png");
    const auto [newPixels, newEnd] = second.count(kRed, x, y + 140, x + kWidth, y + 190);
    EXPECT_GT(newEnd, statusEnd + 50) << "the longer text from getText replaced \"Starting\"";
    EXPECT_GT(newPixels, statusPixels);
    EXPECT_EQ(second.count(kBlue, x, y + 10, x + kWidth, y + 60).second, versionEnd) << "the version stays";
    EXPECT_FALSE(dialogs.find("progress", 0).visible) << "the splash stands for the progress dialog";

    writeFile(closeAsked, "");
    EXPECT_TRUE(splashHidden()) << "getAction 1 closes the splash";
    EXPECT_TRUE(jni.waitFor("DetachCurrentThread other thread")) << "the splash thread detaches at its end";
    // The controller's class and one text at a time: the thread never returns to Java, where a VM
    // would let go of what it did not.
    EXPECT_EQ(lineStartingWith(jni.lines(), "DetachCurrentThread other thread, most local references held: "),
              "2");
    writeFile(done, "");
    RunResult r = launcher.wait();

    r.expectExitCode(0);
    EXPECT_TRUE(r.messageBoxes.empty());
    EXPECT_THAT(jni.lines(), Contains("AttachCurrentThreadAsDaemon other thread"))
        << "the VM's end does not wait for the splash";
}

// Configuration 145: the application's first window closes the splash; the progress dialog, which the
// splash stood for, stays hidden, and the watcher sees the application's window.
TEST_F(SplashScreen, ClosesWhenTheApplicationShowsAWindow) {
    const std::string showWindow = gate("show-window"), closeWindow = gate("close-window");
    s.config(145, "1").env("KESTRO_JNI_SCENARIO",
                           "wait=" + windowsPath(showWindow) +
                               ";main=window:120000;end=exit:0;close=" + windowsPath(closeWindow));
    RunningProgram launcher = s.startPacked();

    EXPECT_TRUE(dialogs.view("splash").visible);
    ASSERT_TRUE(jni.waitFor("main called"));
    EXPECT_TRUE(dialogs.view("splash", 0).visible) << "no window of the application yet";
    writeFile(showWindow, "");
    EXPECT_TRUE(splashHidden());
    EXPECT_FALSE(dialogs.find("progress", 0).visible);
    writeFile(closeWindow, "");
    RunResult r = launcher.wait();

    r.expectExitCode(0);
    EXPECT_THAT(r.logLines(), Contains("Java window visible"));
    EXPECT_TRUE(r.messageBoxes.empty());
}

// An error while the splash shows: it is hidden before the message box appears, and the box is not
// left to a hidden splash as its owner.
TEST_F(SplashScreen, AnErrorHidesItBeforeTheMessageBox) {
    const std::string fail = gate("fail");
    s.env("KESTRO_JNI_SCENARIO", "createwait=" + windowsPath(fail) + ";create=fail");
    RunningProgram launcher = s.startPacked();

    EXPECT_TRUE(dialogs.view("splash").visible);
    writeFile(fail, "");
    RunResult r = launcher.wait();

    r.expectExitCode(1);
    ASSERT_EQ(r.messageBoxes.size(), 1u);
    EXPECT_EQ(r.messageBoxes[0].text, r.errorText("The JVM could not be started."));
    EXPECT_NE(r.messageBoxes[0].splash, "visible");
    EXPECT_EQ(r.messageBoxes[0].owner, "MyDialogClass");
}

// Closed by hand (Alt+F4, the taskbar's Close) it goes like any other hide. While the VM is being made,
// the progress dialog it stood for comes back and the program still starts; once the program runs,
// its thread lets go of the VM and nothing comes back.
TEST_F(SplashScreen, ClosedByHandItGoesLikeAnyHide) {
    const std::string create = gate("create"), mayEnd = gate("may-end");
    s.env("KESTRO_JNI_SCENARIO", "createwait=" + windowsPath(create) + ";wait=" + windowsPath(mayEnd));
    RunningProgram beforeTheProgram = s.startPacked();

    EXPECT_TRUE(dialogs.view("splash").visible);
    dialogs.close("splash");
    EXPECT_TRUE(splashHidden());
    EXPECT_TRUE(dialogs.view("progress").visible) << "the progress dialog comes back";
    writeFile(create, "");
    ASSERT_TRUE(jni.waitFor("main called"));
    writeFile(mayEnd, "");
    RunResult first = beforeTheProgram.wait();
    first.expectExitCode(0);
    EXPECT_TRUE(first.messageBoxes.empty());

    fs::remove(jni.path());
    fs::remove(mayEnd);
    RunningProgram whileItRuns = s.startPacked();
    ASSERT_TRUE(jni.waitFor("AttachCurrentThreadAsDaemon other thread"))
        << "the splash polls once the VM exists";
    ASSERT_TRUE(jni.waitFor("main called"));
    dialogs.close("splash");
    EXPECT_TRUE(splashHidden());
    EXPECT_TRUE(jni.waitFor("DetachCurrentThread other thread"));
    EXPECT_FALSE(dialogs.find("progress", 0).visible) << "the program runs: its windows take over";
    writeFile(mayEnd, "");
    whileItRuns.wait().expectExitCode(0);
}

// Quiet mode shows the splash only when the project asks; its errors go to standard error, and the
// splash is hidden all the same.
TEST_F(SplashScreen, QuietModeShowsItWhenAsked) {
    const std::string fail = gate("fail");
    s.config(10123, "1").env("KESTRO_JNI_SCENARIO", "createwait=" + windowsPath(fail) + ";create=fail");
    RunningProgram launcher = s.startPacked({"-q"});

    EXPECT_TRUE(dialogs.view("splash").visible);
    writeFile(fail, "");
    RunResult r = launcher.wait();

    r.expectExitCode(1);
    r.expectConsoleError("The JVM could not be started.");
}

// An error before the splash would start (here the payload cut after the splash's settings): the
// message box comes, and no splash window was ever made.
TEST_F(SplashScreen, AnErrorBeforeItStartsMeansNoSplashWindow) {
    s.truncatePayloadAt(s.packedLayout().messageRecords.at(0).text);
    RunResult r = s.run();

    r.expectExitCode(1);
    ASSERT_EQ(r.messageBoxes.size(), 1u);
    EXPECT_EQ(r.messageBoxes[0].splash, "none");
}

} // namespace
} // namespace kestro::scenario
