#include "executable/picture_resource.h"

#include "binary/little_endian.h"

#include <algorithm>
#include <cstring>
#include <png.h>
#include <vector>

namespace kestro::packer {
namespace {

constexpr size_t kFileHeader = 14;
constexpr uint32_t kInfoHeader = 40;
constexpr uint32_t kCoreHeader = 12;
constexpr uint32_t kBiRgb = 0, kBiRle8 = 1, kBiRle4 = 2, kBiBitfields = 3;

using binary::append16;
using binary::append32;
using binary::get16;
using binary::get32;

void putInfoHeader(std::string& out, int32_t width, int32_t height, uint16_t bitCount, uint32_t compression,
                   uint32_t imageSize, uint32_t xPerMetre, uint32_t yPerMetre, uint32_t colours) {
    append32(out, kInfoHeader);
    append32(out, static_cast<uint32_t>(width));
    append32(out, static_cast<uint32_t>(height));
    append16(out, 1);
    append16(out, bitCount);
    append32(out, compression);
    append32(out, imageSize);
    append32(out, xPerMetre);
    append32(out, yPerMetre);
    append32(out, colours);
    append32(out, 0);
}

bool sizeFits(uint64_t width, uint64_t height) {
    return width > 0 && width <= kMaxPictureSide && height > 0 && height <= kMaxPictureSide &&
           width * height <= kMaxPicturePixels;
}

std::string sizeLimitText() {
    return "its width and height must be 1 to " + std::to_string(kMaxPictureSide) + " pixels, " +
           std::to_string(kMaxPicturePixels / 1000000) + " megapixels at most in all";
}

// The DIB of a .bmp file: the header made a BITMAPINFOHEADER, the colour table made RGBQUADs, and the
// pixels placed right after it, as a packed DIB must have them.
bool dibFromBmp(const std::string& file, std::string* dib, std::string* error) {
    if (file.size() < kFileHeader + 4 || file[0] != 'B' || file[1] != 'M') {
        *error = "not a BMP or PNG file";
        return false;
    }
    const uint32_t pixelsAt = get32(file, 10);
    const uint32_t headerSize = get32(file, kFileHeader);
    static const uint32_t kHeaderSizes[] = {kCoreHeader, kInfoHeader, 52, 56, 108, 124};
    if (std::find(std::begin(kHeaderSizes), std::end(kHeaderSizes), headerSize) == std::end(kHeaderSizes) ||
        file.size() - kFileHeader < headerSize) {
        *error = "the BMP header (" + std::to_string(headerSize) + " bytes) is of no known kind or cut off";
        return false;
    }
    const bool core = headerSize == kCoreHeader;
    int64_t width, height;
    uint16_t planes, bitCount;
    uint32_t compression = kBiRgb, imageSize = 0, colours = 0, xPerMetre = 0, yPerMetre = 0;
    if (core) {
        width = get16(file, 18);
        height = get16(file, 20);
        planes = get16(file, 22);
        bitCount = get16(file, 24);
    } else {
        width = static_cast<int32_t>(get32(file, 18));
        height = static_cast<int32_t>(get32(file, 22));
        planes = get16(file, 26);
        bitCount = get16(file, 28);
        compression = get32(file, 30);
        imageSize = get32(file, 34);
        xPerMetre = get32(file, 38);
        yPerMetre = get32(file, 42);
        colours = get32(file, 46);
    }
    const uint64_t rows = static_cast<uint64_t>(height < 0 ? -height : height);
    if (width < 0 || !sizeFits(static_cast<uint64_t>(width), rows)) {
        *error =
            "the BMP is " + std::to_string(width) + "x" + std::to_string(height) + "; " + sizeLimitText();
        return false;
    }
    static const uint16_t kBitCounts[] = {1, 4, 8, 16, 24, 32};
    if (planes != 1 ||
        std::find(std::begin(kBitCounts), std::end(kBitCounts), bitCount) == std::end(kBitCounts) ||
        (core && (bitCount == 16 || bitCount == 32))) {
        *error = "the BMP has " + std::to_string(bitCount) + " bits per pixel in " + std::to_string(planes) +
                 " planes; 1, 4, 8, 16, 24 or 32 bits in one plane are supported";
        return false;
    }
    const bool rle = compression == kBiRle8 || compression == kBiRle4;
    if (!(compression == kBiRgb || (compression == kBiRle8 && bitCount == 8) ||
          (compression == kBiRle4 && bitCount == 4) ||
          (compression == kBiBitfields && (bitCount == 16 || bitCount == 32))) ||
        (rle && height < 0)) {
        *error = "the BMP's compression " + std::to_string(compression) + " does not fit its " +
                 std::to_string(bitCount) +
                 " bits per pixel; uncompressed, bottom-up RLE or bit fields are supported";
        return false;
    }
    if (rle && imageSize == 0) {
        *error = "the BMP is RLE-compressed but does not give the size of its pixel data";
        return false;
    }
    // A colour table may follow the header also for 16 bits and more, where it only helps palettes.
    const uint64_t tableLimit = bitCount <= 8 ? (1u << bitCount) : 256;
    if (colours == 0 && bitCount <= 8)
        colours = static_cast<uint32_t>(tableLimit);
    if (colours > tableLimit) {
        *error = "the BMP's colour table has " + std::to_string(colours) + " entries, more than its " +
                 std::to_string(bitCount) + " bits per pixel can use";
        return false;
    }
    // Bit fields follow a BITMAPINFOHEADER; longer headers hold them themselves.
    const size_t masksAt = kFileHeader + kInfoHeader;
    const size_t tableAt =
        kFileHeader + headerSize + (compression == kBiBitfields && headerSize == kInfoHeader ? 12 : 0);
    const size_t entrySize = core ? 3 : 4;
    const uint64_t tableEnd = tableAt + uint64_t{colours} * entrySize;
    const uint64_t stride = (static_cast<uint64_t>(width) * bitCount + 31) / 32 * 4;
    const uint64_t pixelBytes = rle ? imageSize : stride * rows;
    if (tableEnd > file.size() || pixelsAt < tableEnd || pixelBytes == 0 || pixelsAt > file.size() ||
        file.size() - pixelsAt < pixelBytes) {
        *error = "the BMP's colour table or pixels (" + std::to_string(pixelBytes) + " bytes from offset " +
                 std::to_string(pixelsAt) + ") lie outside its " + std::to_string(file.size()) + " bytes";
        return false;
    }

    std::string out;
    putInfoHeader(out, static_cast<int32_t>(width), static_cast<int32_t>(height), bitCount, compression,
                  static_cast<uint32_t>(pixelBytes), xPerMetre, yPerMetre, colours);
    if (compression == kBiBitfields)
        out += file.substr(masksAt, 12);
    for (uint32_t i = 0; i < colours; ++i) {
        out += file.substr(tableAt + i * entrySize, 3);
        out += '\0';
    }
    out += file.substr(pixelsAt, pixelBytes);
    *dib = std::move(out);
    return true;
}

bool anyTransparent(const Picture& picture) {
    for (size_t i = 3; i < picture.bgra.size(); i += 4) {
        if (static_cast<uint8_t>(picture.bgra[i]) != 0xff)
            return true;
    }
    return false;
}

// A bottom-up DIB of picture: 32-bit when it has transparent pixels, otherwise 24-bit.
std::string dibFromPicture(const Picture& picture) {
    const bool alpha = anyTransparent(picture);
    const uint16_t bitCount = alpha ? 32 : 24;
    const size_t stride = (size_t{picture.width} * bitCount + 31) / 32 * 4;
    std::string out;
    putInfoHeader(out, static_cast<int32_t>(picture.width), static_cast<int32_t>(picture.height), bitCount,
                  kBiRgb, static_cast<uint32_t>(stride * picture.height), 0, 0, 0);
    if (alpha)
        return out + picture.bgra;
    out.reserve(out.size() + stride * picture.height);
    for (uint32_t y = 0; y < picture.height; ++y) {
        const size_t row = out.size();
        for (uint32_t x = 0; x < picture.width; ++x)
            out.append(picture.bgra, (size_t{y} * picture.width + x) * 4, 3);
        out.append(stride - (out.size() - row), '\0');
    }
    return out;
}

// For each target pixel along one axis, the source pixels it covers and by how much (summing to 1).
struct Span {
    uint32_t first;
    std::vector<double> weights;
};

std::vector<Span> spans(uint32_t from, uint32_t to) {
    std::vector<Span> result(to);
    const double scale = static_cast<double>(from) / to;
    for (uint32_t i = 0; i < to; ++i) {
        const double begin = i * scale, end = (i + 1) * scale;
        result[i].first = static_cast<uint32_t>(begin);
        for (uint32_t s = result[i].first; s < from && s < end; ++s)
            result[i].weights.push_back((std::min<double>(s + 1, end) - std::max<double>(s, begin)) / scale);
    }
    return result;
}

char toByte(double value) {
    return static_cast<char>(static_cast<uint8_t>(std::min(255.0, value + 0.5)));
}

// Area averaging, with colours weighted by alpha so that transparent pixels leave no dark fringe.
Picture resized(const Picture& source, uint32_t side) {
    const std::vector<Span> across = spans(source.width, side), down = spans(source.height, side);
    Picture out;
    out.width = out.height = side;
    out.bgra.resize(size_t{side} * side * 4);
    for (uint32_t y = 0; y < side; ++y) {
        for (uint32_t x = 0; x < side; ++x) {
            double sum[4] = {0, 0, 0, 0};
            for (size_t j = 0; j < down[y].weights.size(); ++j) {
                for (size_t i = 0; i < across[x].weights.size(); ++i) {
                    const size_t at = (size_t{down[y].first + static_cast<uint32_t>(j)} * source.width +
                                       across[x].first + i) *
                                      4;
                    const double weight = down[y].weights[j] * across[x].weights[i];
                    const double alpha = static_cast<uint8_t>(source.bgra[at + 3]) * weight;
                    for (int c = 0; c < 3; ++c)
                        sum[c] += static_cast<uint8_t>(source.bgra[at + c]) * alpha;
                    sum[3] += alpha;
                }
            }
            char* pixel = &out.bgra[(size_t{y} * side + x) * 4];
            for (int c = 0; c < 3; ++c)
                pixel[c] = toByte(sum[3] > 0 ? sum[c] / sum[3] : 0);
            pixel[3] = toByte(sum[3]);
        }
    }
    return out;
}

// picture centred on a transparent square.
Picture squared(const Picture& picture) {
    const uint32_t side = std::max(picture.width, picture.height);
    if (picture.width == picture.height)
        return picture;
    Picture out;
    out.width = out.height = side;
    out.bgra.assign(size_t{side} * side * 4, '\0');
    const uint32_t left = (side - picture.width) / 2, bottom = (side - picture.height) / 2;
    for (uint32_t y = 0; y < picture.height; ++y)
        out.bgra.replace((size_t{y + bottom} * side + left) * 4, size_t{picture.width} * 4, picture.bgra,
                         size_t{y} * picture.width * 4, size_t{picture.width} * 4);
    return out;
}

bool encodePng(const Picture& picture, std::string* png, std::string* error) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = picture.width;
    image.height = picture.height;
    image.format = PNG_FORMAT_BGRA;
    const png_int_32 stride = -static_cast<png_int_32>(picture.width * 4);
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, picture.bgra.data(), stride, nullptr)) {
        *error = std::string("the icon's PNG image could not be made: ") + image.message;
        return false;
    }
    png->assign(size, '\0');
    if (!png_image_write_to_memory(&image, &(*png)[0], &size, 0, picture.bgra.data(), stride, nullptr)) {
        *error = std::string("the icon's PNG image could not be made: ") + image.message;
        return false;
    }
    png->resize(size);
    return true;
}

// An icon image in the BMP form: the header counts the colour rows and the mask rows; the mask hides
// the fully transparent pixels from programs that ignore alpha.
std::string iconBitmap(const Picture& picture) {
    const size_t maskStride = (size_t{picture.width} + 31) / 32 * 4;
    std::string mask(maskStride * picture.height, '\0');
    for (uint32_t y = 0; y < picture.height; ++y) {
        for (uint32_t x = 0; x < picture.width; ++x) {
            if (picture.bgra[(size_t{y} * picture.width + x) * 4 + 3] == '\0')
                mask[y * maskStride + x / 8] =
                    static_cast<char>(mask[y * maskStride + x / 8] | (0x80 >> (x % 8)));
        }
    }
    std::string out;
    putInfoHeader(out, static_cast<int32_t>(picture.width), static_cast<int32_t>(picture.height * 2), 32,
                  kBiRgb, static_cast<uint32_t>(picture.bgra.size() + mask.size()), 0, 0, 0);
    return out + picture.bgra + mask;
}

} // namespace

bool isPng(const std::string& file) {
    return file.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0;
}

bool decodePng(const std::string& file, Picture* picture, std::string* error) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
        *error = std::string("not a readable PNG file: ") + image.message;
        return false;
    }
    if (!sizeFits(image.width, image.height)) {
        *error = "the PNG is " + std::to_string(image.width) + "x" + std::to_string(image.height) + "; " +
                 sizeLimitText();
        png_image_free(&image);
        return false;
    }
    image.format = PNG_FORMAT_BGRA;
    // libpng takes 16-bit samples without a gAMA or sRGB chunk for linear light and brightens them on
    // the way to 8 bits; the files people save are sRGB, as 8-bit ones are taken to be.
    image.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
    Picture out;
    out.width = image.width;
    out.height = image.height;
    out.bgra.assign(PNG_IMAGE_SIZE(image), '\0');
    // A negative stride fills the rows from the bottom up.
    if (!png_image_finish_read(&image, nullptr, &out.bgra[0],
                               -static_cast<png_int_32>(PNG_IMAGE_ROW_STRIDE(image)), nullptr)) {
        *error = std::string("the PNG file is damaged: ") + image.message;
        png_image_free(&image);
        return false;
    }
    *picture = std::move(out);
    return true;
}

bool buildPictureResource(const std::string& file, std::string* dib, std::string* error) {
    if (!isPng(file))
        return dibFromBmp(file, dib, error);
    Picture picture;
    if (!decodePng(file, &picture, error))
        return false;
    *dib = dibFromPicture(picture);
    return true;
}

bool pictureSize(const std::string& dib, uint32_t* width, uint32_t* height) {
    if (dib.size() < kInfoHeader)
        return false;
    *width = get32(dib, 4);
    const auto signedHeight = static_cast<int32_t>(get32(dib, 8));
    *height =
        signedHeight < 0 ? 0u - static_cast<uint32_t>(signedHeight) : static_cast<uint32_t>(signedHeight);
    return true;
}

bool iconFromPng(const std::string& png, std::string* ico, std::string* error) {
    Picture decoded;
    if (!decodePng(png, &decoded, error))
        return false;
    const Picture square = squared(decoded);
    std::vector<std::string> images;
    for (uint32_t side : {16u, 32u, 48u})
        images.push_back(iconBitmap(resized(square, side)));
    // Windows reads a PNG icon image only as 8-bit RGBA, without interlacing: anything else is written
    // anew in that form, whatever the file was.
    std::string large;
    if (!encodePng(square.width == 256 ? square : resized(square, 256), &large, error))
        return false;
    images.push_back(large);

    std::string out;
    append16(out, 0);
    append16(out, 1);
    append16(out, static_cast<uint16_t>(images.size()));
    uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
    static const uint8_t kSides[] = {16, 32, 48, 0}; // 0 stands for 256
    for (size_t i = 0; i < images.size(); ++i) {
        out += static_cast<char>(kSides[i]);
        out += static_cast<char>(kSides[i]);
        append16(out, 0); // no palette, reserved
        append16(out, 1); // planes
        append16(out, 32);
        append32(out, static_cast<uint32_t>(images[i].size()));
        append32(out, offset);
        offset += static_cast<uint32_t>(images[i].size());
    }
    for (const std::string& image : images)
        out += image;
    *ico = std::move(out);
    return true;
}

} // namespace kestro::packer
