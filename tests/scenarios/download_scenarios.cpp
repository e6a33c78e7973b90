// The runtime download against a real HTTP server on 127.0.0.1 (download_server.py): download-probe
// runs downloadRuntime under Wine in a plain window with the progress dialog's controls and prints what
// the controls show; the server records every request with its user agent.
#include "harness.h"
#include "http_server.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace kestro::scenario {
namespace {

namespace fs = std::filesystem;
using testing::AllOf;
using testing::Contains;
using testing::ContainsRegex;
using testing::Each;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::MatchesRegex;
using testing::Not;
using testing::SizeIs;
using testing::StartsWith;

const std::u16string kDownloadStatus = u"\u039b\u03ae\u03c8\u03b7 Java \u2026 pobieranie \u015brodowiska";
const std::string kDownloadStatusUtf8 =
    "\xce\x9b\xce\xae\xcf\x88\xce\xb7 Java \xe2\x80\xa6 pobieranie \xc5\x9brodowiska";
const char kDownloadFailed[] = "The Java runtime could not be downloaded.";

// By coreutils' sha256sum, independent of the system crypto the launcher uses.
std::string sha256Hex(const std::string& data) {
    char name[] = "/tmp/kestro-digest-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0)
        return "";
    close(fd);
    writeFile(name, data);
    std::string hex(64, '\0');
    FILE* pipe = popen(("sha256sum " + std::string(name)).c_str(), "r");
    if (pipe == nullptr || fread(&hex[0], 1, hex.size(), pipe) != hex.size())
        hex.clear();
    if (pipe != nullptr)
        pclose(pipe);
    unlink(name);
    return hex;
}

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string randomBytes(size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (char& c : data)
        seed = seed * 1103515245u + 12345u, c = static_cast<char>(seed >> 16);
    return data;
}

// A download-probe scenario: the served files, the directory the archive is written into, the server.
struct Download {
    explicit Download(const std::string& name, bool tls = false)
        : s(name), served(s.directory() + "/served"), work(s.directory() + "/work"),
          server((fs::create_directories(served), served), s.directory() + "/requests.txt", tls) {
        fs::create_directories(work);
        s.stub(scenarioProgram("download-probe"))
            .config(107, "0")
            .message(20001, kDownloadStatus)
            .message(20002, u"The Internet functions of Windows could not be initialized.")
            .message(20003, u"The Java runtime could not be downloaded.")
            .message(20008, u"%.2f MB of %.2f MB (%.1f%%) at %.1f kb/s")
            .message(20009, u"Connecting...")
            .message(20012, u"Abbrechen")
            .env("KESTRO_PROBE_DIRECTORY", windowsPath(work));
    }
    Download& serve(const std::string& name, const std::string& contents) {
        writeFile(served + "/" + name, contents);
        return *this;
    }
    RunResult download(const std::string& location) {
        s.config(150, location);
        return s.run();
    }
    std::string archive() const { return work + "/jre.tar.gz"; }

    Scenario s;
    std::string served, work;
    HttpServer server;
};

TEST(Download, SlowRedirectedFileArrivesWholeWithStatusAndBarAndItsDigestChecked) {
    Download d("download_slow_file");
    ASSERT_NE(d.server.port(), 0);
    const std::string file = randomBytes(200 * 1024, 7);
    d.serve("jre.tar.gz", file);
    d.s.config(10202, upper(sha256Hex(file)));

    RunResult r = d.download(d.server.url("/redirect/slow/jre.tar.gz"));

    r.expectExitCode(0);
    EXPECT_EQ(readFile(d.archive()), file);
    EXPECT_THAT(d.server.requests(), ElementsAre("/redirect/slow/jre.tar.gz sorvana download agent",
                                                 "/slow/jre.tar.gz sorvana download agent"));
    EXPECT_THAT(r.logLines(), Contains(MatchesRegex("file size: 204800, handle [0-9A-Fa-f]+")));
    EXPECT_THAT(r.logLines(), Contains("SHA-256 verified: " + sha256Hex(file)));
    EXPECT_THAT(r.logLines(), Contains("download successful"));
    EXPECT_THAT(r.logLines(), Not(Contains(StartsWith("ERROR:"))));

    // The connecting text, then the formatted status about every 500 ms (the first right after the
    // first block), all while the status line is shown; 25 pieces 100 ms apart give several.
    const std::vector<std::string> status = withPrefix(r.stdoutLines(), "status ");
    ASSERT_GE(status.size(), 4u) << r.stdoutText;
    EXPECT_EQ(status[0], "Connecting... (visible 1)");
    const std::vector<std::string> progress(status.begin() + 1, status.end());
    EXPECT_THAT(progress, Each(MatchesRegex("[0-9]+\\.[0-9][0-9] MB of 0\\.20 MB \\([0-9]+\\.[0-9]%\\) at "
                                            "[0-9]+\\.[0-9] kb/s \\(visible 1\\)")));
    EXPECT_THAT(progress[0], StartsWith("0.02 MB of 0.20 MB (8.0%) at "));
    std::vector<int> bar;
    for (const std::string& position : withPrefix(r.stdoutLines(), "bar "))
        bar.push_back(std::stoi(position));
    ASSERT_EQ(bar.size(), progress.size());
    EXPECT_EQ(bar.front(), 8);
    for (size_t i = 1; i < bar.size(); ++i)
        EXPECT_GT(bar[i], bar[i - 1]) << r.stdoutText;
    EXPECT_LE(bar.back(), 100);

    EXPECT_THAT(r.stdoutLines(), Contains("done"));
    EXPECT_THAT(r.stdoutLines(), Contains("item 1003 " + kDownloadStatusUtf8));
    EXPECT_THAT(r.stdoutLines(), Contains("item 2 Abbrechen"));
    EXPECT_THAT(r.stdoutLines(), Contains("visible 1002 0"));
}

TEST(Download, EmptyFileGivesAnEmptyArchiveWithoutProgress) {
    Download d("download_empty_file");
    ASSERT_NE(d.server.port(), 0);
    d.serve("empty.tar.gz", "");

    RunResult r = d.download(d.server.url("/files/empty.tar.gz"));

    r.expectExitCode(0);
    ASSERT_TRUE(fs::exists(d.archive()));
    EXPECT_EQ(fs::file_size(d.archive()), 0u);
    EXPECT_THAT(r.logLines(), Contains(StartsWith("file size: 0, handle ")));
    EXPECT_THAT(r.logLines(), Contains(StartsWith("No SHA-256 configured: the archive from http://")));
    EXPECT_THAT(r.logLines(), Contains("download successful"));
    // Nothing was read, so the status line never left the connecting text and the bar never moved.
    EXPECT_THAT(withPrefix(r.stdoutLines(), "status "), ElementsAre("Connecting... (visible 1)"));
    EXPECT_THAT(withPrefix(r.stdoutLines(), "bar "), SizeIs(0));
}

// Asked 20 times, 300 ms apart, reopening the location each time: about 6 s by design.
TEST(Download, NoContentLengthIsAskedTwentyTimesThenGivenUp) {
    Download d("download_no_length");
    ASSERT_NE(d.server.port(), 0);

    RunResult r = d.download(d.server.url("/nolength"));

    r.expectExitCode(1);
    r.expectConsoleError(std::string(kDownloadFailed) +
                         "\n\nThe server 127.0.0.1:" + std::to_string(d.server.port()) +
                         " did not say how large the file is, so it was not downloaded. Try again later; if "
                         "it keeps happening, tell the program's vendor.");
    std::vector<std::string> tries;
    for (const std::string& line : r.logLines())
        if (line.rfind("ERROR: HttpQueryInfo (try ", 0) == 0)
            tries.push_back(line);
    ASSERT_EQ(tries.size(), 20u);
    for (int n = 1; n <= 20; ++n)
        EXPECT_THAT(tries[n - 1], MatchesRegex("ERROR: HttpQueryInfo \\(try " + std::to_string(n) +
                                               "\\) failed with error code [0-9]+"));
    const std::vector<std::string> log = r.logLines();
    EXPECT_THAT(std::vector<std::string>(log.end() - 2, log.end()),
                ElementsAre("ERROR: Giving up", "exit code 1"));
    // The first opening and one reopening after each failed try.
    EXPECT_THAT(d.server.requests(), AllOf(SizeIs(21), Each("/nolength sorvana download agent")));
    EXPECT_FALSE(fs::exists(d.archive()));
}

// Every failure ends with message 20003 followed by why, in words the user can act on (the server,
// the address or what to check), says why in the log too, and leaves no archive behind.
TEST(Download, FailedDownloadsSayWhyAndLeaveNoArchive) {
    const std::string file = randomBytes(300000, 11);
    const std::string otherDigest = sha256Hex("another archive");
    // A port that was free a moment ago: nothing listens there.
    int unreachablePort = 0;
    {
        Download probe("download_find_port");
        unreachablePort = probe.server.port();
    }
    const std::string unreachable = "127.0.0.1:" + std::to_string(unreachablePort);
    struct Case {
        const char* name;
        std::string path; // on the server, or a whole location when it starts with "http"
        std::string digest;
        std::string errorLine; // a regular expression
        std::string reason;    // SERVER and LOCATION stand for the test server and the location
        bool tls = false;
    };
    const std::vector<Case> cases = {
        {"early_close", "/early/jre.tar.gz", "",
         "ERROR: InternetReadFile: the connection ended after 150000 of 300000 bytes",
         "The connection to SERVER broke off before the whole file had arrived. Try again."},
        {"not_found", "/missing/jre.tar.gz", "",
         "ERROR: http://127\\.0\\.0\\.1:[0-9]+/missing/jre\\.tar\\.gz answered with HTTP status 404",
         "The server SERVER has no file at LOCATION (HTTP 404). The program's vendor needs to update the "
         "download address."},
        {"unreachable", "http://" + unreachable + "/files/jre.tar.gz", "",
         "ERROR: InternetOpenUrl failed with error code 12029",
         "The server " + unreachable +
             " could not be reached. Check the Internet connection, and that no firewall or proxy blocks "
             "this program, then try again. (Windows error 12029)"},
        // The reserved top-level name .invalid never resolves.
        {"name_not_resolved", "http://kestro-download.invalid/jre.tar.gz", "",
         "ERROR: InternetOpenUrl failed with error code 12007",
         "The server kestro-download.invalid could not be found. Check that this computer is connected to "
         "the Internet, then try again. (Windows error 12007)"},
        {"wrong_digest", "/files/jre.tar.gz", otherDigest,
         "ERROR: SHA-256 of .*\\\\jre\\.tar\\.gz is " + sha256Hex(file) + ", expected " + otherDigest,
         "The downloaded file is not the Java runtime this program expects (its SHA-256 checksum "
         "differs), so it was not used. Try again later; if it keeps happening, tell the program's "
         "vendor."},
        // A certificate no authority that Wine trusts has signed (Wine takes the host's authorities).
        {"untrusted_certificate", "/files/jre.tar.gz", "",
         "ERROR: InternetOpenUrl failed with error code 12045",
         "The secure connection to SERVER was refused: its certificate is not trusted, so nothing was "
         "downloaded. Check that this computer's date and time are right; if they are, tell the "
         "program's vendor. (Windows error 12045)",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Download d(std::string("download_fails_") + c.name, c.tls);
        ASSERT_NE(d.server.port(), 0);
        d.serve("jre.tar.gz", file);
        if (!c.digest.empty())
            d.s.config(10202, c.digest);

        const std::string location = c.path.rfind("http", 0) == 0 ? c.path : d.server.url(c.path);
        RunResult r = d.download(location);

        std::string reason = c.reason;
        for (const auto& [name, value] :
             {std::pair<std::string, std::string>{"SERVER", "127.0.0.1:" + std::to_string(d.server.port())},
              {"LOCATION", location}})
            if (const size_t at = reason.find(name); at != std::string::npos)
                reason.replace(at, name.size(), value);
        r.expectExitCode(1);
        r.expectConsoleError(std::string(kDownloadFailed) + "\n\n" + reason);
        EXPECT_THAT(r.logLines(), Contains(MatchesRegex(c.errorLine)));
        EXPECT_THAT(r.logLines(), Not(Contains("download successful")));
        EXPECT_FALSE(fs::exists(d.archive()));
    }
}

} // namespace
} // namespace kestro::scenario
