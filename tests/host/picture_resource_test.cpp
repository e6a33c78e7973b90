// Splash pictures and PNG icons, with ImageMagick's convert as the independent writer of the files.
#include "executable/picture_resource.h"

#include "commands/inspect.h"
#include "commands/pack.h"
#include "pe_image.h"
#include "project/project_file.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestro::packer {
namespace {

using kestro::testing::makeTestDirectory;
using kestro::testing::readFile;
using kestro::testing::writeFile;

using Rgba = std::array<int, 4>;

uint32_t field(const std::string& b, size_t at, size_t bytes = 4) {
    uint32_t v = 0;
    std::memcpy(&v, &b[at], bytes);
    return v;
}

// The colour at x, y (counted from the top) of an uncompressed DIB of 1 to 8, 24 or 32 bits per pixel.
Rgba pixelAt(const std::string& dib, uint32_t x, uint32_t y) {
    const auto height = static_cast<int32_t>(field(dib, 8));
    const uint32_t bits = field(dib, 14, 2), colours = field(dib, 32);
    const size_t table = field(dib, 0) + (field(dib, 16) == 3 ? 12 : 0);
    const size_t stride = (field(dib, 4) * bits + 31) / 32 * 4;
    const size_t row = table + colours * 4 + (height > 0 ? height - 1 - y : y) * stride;
    const auto byte = [&](size_t at) { return static_cast<int>(static_cast<uint8_t>(dib.at(at))); };
    if (bits <= 8) {
        const size_t bit = x * bits;
        const int index = byte(row + bit / 8) >> (8 - bits - bit % 8) & ((1 << bits) - 1);
        const size_t entry = table + index * 4;
        return {byte(entry + 2), byte(entry + 1), byte(entry), 255};
    }
    const size_t at = row + x * bits / 8;
    return {byte(at + 2), byte(at + 1), byte(at), bits == 32 ? byte(at + 3) : 255};
}

class PictureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::system("command -v convert >/dev/null") != 0)
            GTEST_SKIP() << "convert (ImageMagick) is not installed; run scripts/install-deps";
        dir_ = makeTestDirectory();
    }
    // Converts the picture file from into to, with ImageMagick options in between.
    void convert(const std::string& from, const std::string& options, const std::string& to) {
        // An output format comes before the path: "BMP3:picture.bmp".
        const size_t colon = to.find(':') + 1;
        const std::string command = "convert '" + dir_ + "/" + from + "' " + options + " '" +
                                    to.substr(0, colon) + dir_ + "/" + to.substr(colon) + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    std::string dibOf(const std::string& name) {
        std::string dib, error;
        EXPECT_TRUE(buildPictureResource(readFile(dir_ + "/" + name), &dib, &error)) << name << ": " << error;
        return dib;
    }
    std::string dir_;
};

// Three by two pixels, no two alike, so that a row or channel swapped or a row read from the wrong end
// shows.
const Rgba kPixels[2][3] = {{{255, 0, 0, 255}, {0, 200, 0, 255}, {0, 0, 150, 255}},
                            {{10, 20, 30, 255}, {250, 240, 5, 255}, {255, 255, 255, 255}}};

TEST_F(PictureTest, PngAndEveryBmpKindGiveTheSamePixels) {
    std::string ppm = "P6\n3 2\n255\n";
    for (const auto& row : kPixels) {
        for (const Rgba& p : row)
            ppm += {static_cast<char>(p[0]), static_cast<char>(p[1]), static_cast<char>(p[2])};
    }
    writeFile(dir_ + "/source.ppm", ppm);
    convert("source.ppm", "", "picture.png");
    convert("source.ppm", "", "BMP3:info.bmp");                 // BITMAPINFOHEADER, 24 bits
    convert("source.ppm", "", "BMP:v5.bmp");                    // BITMAPV5HEADER
    convert("source.ppm", "", "BMP2:core.bmp");                 // BITMAPCOREHEADER
    convert("source.ppm", "-type Palette", "BMP3:palette.bmp"); // 4 bits with a colour table
    convert("source.ppm", "-alpha on", "BMP:alpha.bmp");        // BITMAPV5HEADER, 32-bit bit fields

    for (const char* name : {"picture.png", "info.bmp", "v5.bmp", "core.bmp", "palette.bmp", "alpha.bmp"}) {
        const std::string dib = dibOf(name);
        ASSERT_GE(dib.size(), 40u) << name;
        EXPECT_EQ(field(dib, 0), 40u) << name;
        uint32_t width = 0, height = 0;
        ASSERT_TRUE(pictureSize(dib, &width, &height));
        EXPECT_EQ(width, 3u) << name;
        EXPECT_EQ(height, 2u) << name;
        for (uint32_t y = 0; y < 2; ++y) {
            for (uint32_t x = 0; x < 3; ++x)
                EXPECT_EQ(pixelAt(dib, x, y), kPixels[y][x]) << name << " at " << x << "," << y;
        }
    }
    // An opaque PNG is a 24-bit bottom-up DIB, whose rows are padded to four bytes.
    const std::string png = dibOf("picture.png");
    EXPECT_EQ(field(png, 14, 2), 24u);
    EXPECT_GT(static_cast<int32_t>(field(png, 8)), 0);
    EXPECT_EQ(png.size(), 40u + 2 * 12);

    // Transparency keeps a 32-bit DIB with its alpha, not premultiplied.
    std::string pam = "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
    pam += std::string("\xc8\x64\x32\x80\x00\x00\xff\x00", 8);
    writeFile(dir_ + "/alpha.pam", pam);
    convert("alpha.pam", "", "alpha.png");
    const std::string translucent = dibOf("alpha.png");
    EXPECT_EQ(field(translucent, 14, 2), 32u);
    EXPECT_EQ(pixelAt(translucent, 0, 0), (Rgba{200, 100, 50, 128}));
    EXPECT_EQ(pixelAt(translucent, 1, 0)[3], 0);
}

std::string bigEndian32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

// A PNG chunk: length, type and data, and the CRC of type and data.
std::string pngChunk(const std::string& typeAndData) {
    const auto crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(typeAndData.data()), static_cast<uInt>(typeAndData.size())));
    return bigEndian32(static_cast<uint32_t>(typeAndData.size() - 4)) + typeAndData + bigEndian32(crc);
}

// The start of a PNG file, up to its (empty) first data chunk: an 8-bit RGBA picture of the size given.
std::string pngHeader(uint32_t width, uint32_t height) {
    return "\x89PNG\r\n\x1a\n" +
           pngChunk("IHDR" + bigEndian32(width) + bigEndian32(height) + std::string("\x08\x06\0\0\0", 5)) +
           pngChunk("IDAT");
}

// A whole PNG file: the size, then format (bit depth, colour type, compression, filter, interlace
// method: "\x08\x06\0\0\0" for 8-bit RGBA), and the rows, each after its filter byte.
std::string pngFile(uint32_t width, uint32_t height, const std::string& format, const std::string& rows) {
    std::string compressed(compressBound(static_cast<uLong>(rows.size())), '\0');
    uLongf compressedSize = static_cast<uLongf>(compressed.size());
    EXPECT_EQ(compress(reinterpret_cast<Bytef*>(&compressed[0]), &compressedSize,
                       reinterpret_cast<const Bytef*>(rows.data()), static_cast<uLong>(rows.size())),
              Z_OK);
    compressed.resize(compressedSize);
    return "\x89PNG\r\n\x1a\n" + pngChunk("IHDR" + bigEndian32(width) + bigEndian32(height) + format) +
           pngChunk("IDAT" + compressed) + pngChunk("IEND");
}

// The 256-pixel image of a PNG icon: Windows reads it only as 8-bit RGBA without interlacing (a
// palette one comes back blue, an RGB one transparent, a 16-bit one not at all). And 16-bit samples
// without gamma information are sRGB, not linear: 0x8000 grey is 128, not 186.
TEST_F(PictureTest, PngsOfEveryFormBecomeWhatWindowsReads) {
    // Two by two pixels of 16-bit grey, 0x8000, without a gAMA or sRGB chunk.
    writeFile(dir_ + "/grey16.png", pngFile(2, 2, std::string("\x10\0\0\0\0", 5),
                                            std::string("\0\x80\x00\x80\x00\0\x80\x00\x80\x00", 10)));
    EXPECT_EQ(pixelAt(dibOf("grey16.png"), 1, 0), (Rgba{128, 128, 128, 255}));

    writeFile(dir_ + "/source.ppm", "P6\n256 256\n255\n" + std::string(256 * 256 * 3, '\0'));
    convert("source.ppm", "-fill 'rgb(200,40,90)' -draw 'color 0,0 reset'", "plain.png");
    convert("plain.png", "", "PNG8:palette.png");
    convert("plain.png", "", "PNG24:rgb.png");
    convert("plain.png", "-depth 16 -alpha on", "PNG64:rgba16.png");
    convert("plain.png", "-interlace PNG -alpha on", "PNG32:interlaced.png");
    for (const char* name : {"grey16.png", "palette.png", "rgb.png", "rgba16.png", "interlaced.png"}) {
        std::string ico, error;
        ASSERT_TRUE(iconFromPng(readFile(dir_ + "/" + name), &ico, &error)) << name << ": " << error;
        const std::string large = ico.substr(field(ico, 6 + 48 + 12), field(ico, 6 + 48 + 8));
        ASSERT_TRUE(isPng(large)) << name;
        EXPECT_EQ(large.substr(24, 5), std::string("\x08\x06\0\0\0", 5))
            << name << ": 8-bit RGBA, not interlaced";
        Picture picture;
        ASSERT_TRUE(decodePng(large, &picture, &error)) << name << ": " << error;
        const auto* pixel = reinterpret_cast<const uint8_t*>(&picture.bgra[(128 * 256 + 128) * 4]);
        const Rgba expected = name[0] == 'g' ? Rgba{128, 128, 128, 255} : Rgba{200, 40, 90, 255};
        EXPECT_EQ((Rgba{pixel[2], pixel[1], pixel[0], pixel[3]}), expected) << name;
    }
}

TEST_F(PictureTest, BadPicturesAreRefusedNamingTheFile) {
    writeFile(dir_ + "/source.ppm", "P6\n4 4\n255\n" + std::string(48, '\x40'));
    convert("source.ppm", "", "BMP3:good.bmp");
    const std::string good = readFile(dir_ + "/good.bmp");
    const auto patched = [&](size_t at, uint32_t value, size_t bytes = 4) {
        std::string b = good;
        std::memcpy(&b[at], &value, bytes);
        return b;
    };
    const struct {
        std::string bytes;
        const char* expected;
    } cases[] = {
        {"GIF89a and more", "not a BMP or PNG file"},
        {good.substr(0, good.size() - 1), "lie outside"},
        {patched(18, 100000), "width and height must be 1 to 8192"},
        {patched(22, 0), "width and height must be 1 to 8192"},
        // 4096 square at 32 bits is 64 MiB the file does not hold; 8192 square is too many pixels.
        {patched(28, 32, 2).replace(18, 8, std::string("\0\x10\0\0\0\x10\0\0", 8)), "lie outside"},
        {patched(28, 32, 2).replace(18, 8, std::string("\0\x20\0\0\0\x20\0\0", 8)), "16 megapixels at most"},
        {patched(28, 7, 2), "7 bits per pixel"},
        {patched(30, 4), "compression 4"},
        {patched(10, 20), "lie outside"}, // pixels said to start inside the header
        {patched(14, 64), "no known kind"},
        {"\x89PNG\r\n\x1a\n" + std::string(30, 'x'), "not a readable PNG file"},
        // A few bytes that claim a picture too big to allocate.
        {pngHeader(9000, 1), "the PNG is 9000x1; its width and height must be 1 to 8192"},
        {pngHeader(8192, 8192), "the PNG is 8192x8192; its width and height must be 1 to 8192 pixels, 16 "
                                "megapixels at most in all"},
    };
    writeFile(dir_ + "/app.toml",
              "[application]\nmain_class = \"a.Main\"\n[splash]\npicture = \"bad.bmp\"\n");
    for (const auto& c : cases) {
        writeFile(dir_ + "/bad.bmp", c.bytes);
        PackRequest request;
        std::string error;
        EXPECT_FALSE(loadProjectFile(dir_ + "/app.toml", &request, &error)) << c.expected;
        EXPECT_NE(error.find("app.toml:4:11: splash.picture: "), std::string::npos) << error;
        EXPECT_NE(error.find("bad.bmp: "), std::string::npos) << error;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

// The largest picture the packer takes, 4096 pixels square and translucent, a 64 MiB bitmap from a
// PNG of a few hundred KiB: the packer holds it in memory no more than a few times over.
TEST_F(PictureTest, TheLargestPictureIsPackedInBoundedMemory) {
    const std::string row = std::string(1, '\0') + [] {
        std::string pixels;
        for (int i = 0; i < 4096; ++i)
            pixels += std::string("\x0a\x14\x1e\x80", 4);
        return pixels;
    }();
    std::string rows;
    for (int i = 0; i < 4096; ++i)
        rows += row;
    writeFile(dir_ + "/large.png", pngFile(4096, 4096, std::string("\x08\x06\0\0\0", 5), rows));
    writeFile(dir_ + "/runtime.jar", "jar");
    writeFile(dir_ + "/app.toml",
              "[application]\nmain_class = \"a.Main\"\n[splash]\npicture = \"large.png\"\n");
    const std::string stub = KESTRO_LAUNCHER_STUB, project = dir_ + "/app.toml", output = dir_ + "/App.exe",
                      jar = dir_ + "/runtime.jar";
    const pid_t child = fork();
    if (child == 0) {
        execl(KESTRO_CLI, KESTRO_CLI, "pack", project.c_str(), "-o", output.c_str(), "--stub", stub.c_str(),
              "--runtime-jar", jar.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    ASSERT_EQ(wait4(child, &status, 0, &usage), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_GT(std::filesystem::file_size(output), 64u << 20);
    EXPECT_LT(usage.ru_maxrss, 256 << 10) << "KiB at the peak";
}

// A PNG icon that is not square: four images, the small ones centred on transparency, and a launcher
// packed twice from the same files is the same bytes.
TEST_F(PictureTest, PngIconAndPictureArePackedAlikeEveryTime) {
    writeFile(dir_ + "/source.ppm", "P6\n300 200\n255\n" + std::string(300 * 200 * 3, '\0'));
    convert("source.ppm", "-fill 'rgb(30,120,210)' -draw 'color 0,0 reset'", "icon.png");
    convert("icon.png", "", "splash.png");
    std::string ico, error;
    ASSERT_TRUE(iconFromPng(readFile(dir_ + "/icon.png"), &ico, &error)) << error;
    ASSERT_EQ(field(ico, 4, 2), 4u);
    const int sides[] = {16, 32, 48, 0};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(static_cast<uint8_t>(ico[6 + 16 * i]), sides[i]);
    const std::string small = ico.substr(field(ico, 6 + 12), field(ico, 6 + 8));
    EXPECT_EQ(field(small, 8), 32u); // colour and mask rows
    std::string colour = small.substr(0, 40 + 16 * 16 * 4);
    colour.replace(8, 4, std::string("\x10\0\0\0", 4));
    EXPECT_EQ(pixelAt(colour, 8, 0)[3], 0) << "the top row lies in the transparent border";
    EXPECT_EQ(pixelAt(colour, 8, 8), (Rgba{30, 120, 210, 255}));
    const std::string large = ico.substr(field(ico, 6 + 48 + 12), field(ico, 6 + 48 + 8));
    EXPECT_TRUE(isPng(large));

    writeFile(dir_ + "/app.jar", "jar bytes");
    writeFile(dir_ + "/app.toml",
              "[application]\nmain_class = \"a.Main\"\nicon = \"icon.png\"\n"
              "[splash]\npicture = \"splash.png\"\n[[files]]\nsource = \"app.jar\"\n"
              "[version]\nfile_version = \"3.1\"\nproduct_name = \"\u039a\u03b1\u03c6\u03ad \\\"1\\\"\"\n"
              "company_name = \"\u5496\u5561\"\n");
    PackRequest request;
    ASSERT_TRUE(loadProjectFile(dir_ + "/app.toml", &request, &error)) << error;
    ASSERT_TRUE(packLauncher(KESTRO_LAUNCHER_STUB, request, dir_ + "/One.exe", &error)) << error;
    ASSERT_TRUE(packLauncher(KESTRO_LAUNCHER_STUB, request, dir_ + "/Two.exe", &error)) << error;
    EXPECT_EQ(readFile(dir_ + "/One.exe"), readFile(dir_ + "/Two.exe"));

    LauncherContents contents;
    ASSERT_TRUE(inspectLauncher(dir_ + "/One.exe", &contents, &error)) << error;
    const std::string report = formatInspection(contents);
    EXPECT_NE(report.find("bitmap 10000 (language 1033): 300x200/24\n"), std::string::npos) << report;
    EXPECT_NE(report.find("version information 1 (language 1033): file 3.1.0.0, product 3.1.0.0\n"),
              std::string::npos)
        << report;

    // The JSON report reads the version block back; Python's parser is the judge of its syntax.
    const std::string json = formatInspectionJson(contents);
    writeFile(dir_ + "/report.json", json);
    const std::string check = "python3 -c 'import json,sys; r = json.load(open(sys.argv[1]))[\"resources\"]; "
                              "assert r[\"manifest\"].startswith(\"<?xml\") and r[\"problem\"] is None' '" +
                              dir_ + "/report.json'";
    EXPECT_EQ(std::system(check.c_str()), 0) << json;
    for (const char* expected : {"\"bitmaps\": [\n      {\"bits\": 24, \"height\": 200, \"id\": 10000, "
                                 "\"language\": 1033, \"width\": 300}\n    ]",
                                 "{\"id\": 1001, \"images\": [{\"bits\": 32, \"height\": 16, \"width\": 16}, "
                                 "{\"bits\": 32, \"height\": 32, "
                                 "\"width\": 32}, {\"bits\": 32, \"height\": 48, \"width\": 48}, {\"bits\": "
                                 "32, \"height\": 256, \"width\": "
                                 "256}], \"language\": 1033}",
                                 "\"version\": {\"file_version\": \"3.1.0.0\", \"product_version\": "
                                 "\"3.1.0.0\", \"strings\": {\"CompanyName\": "
                                 "\"\u5496\u5561\", \"FileVersion\": \"3.1\", \"ProductName\": "
                                 "\"\u039a\u03b1\u03c6\u03ad \\\"1\\\"\", "
                                 "\"ProductVersion\": \"3.1\"}}",
                                 ", \"type\": 24}" /* the stub's manifest among the entries */})
        EXPECT_NE(json.find(expected), std::string::npos) << expected << "\n" << json;
}

} // namespace
} // namespace kestro::packer
