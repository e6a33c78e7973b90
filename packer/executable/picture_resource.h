// Pictures the packer puts into the launcher: the splash picture as a bitmap resource, and PNG files
// decoded for it and for icons.
#pragma once

#include "payload/stub_resources.h"

#include <cstdint>
#include <string>

namespace kestro::packer {

// The splash picture's bitmap resource.
constexpr uint16_t kSplashPictureId = KESTRO_SPLASH_PICTURE;

// The largest side a picture may have: a splash or an icon bigger than an 8K screen is a mistake, and
// the limit bounds what a small PNG that claims a huge size makes the packer allocate (256 MiB).
constexpr uint32_t kMaxPictureSide = 8192;
// The most pixels a picture may have in all (4096 by 4096): a splash larger than a 4K screen is a
// mistake too, and this bounds the bitmap a small PNG puts into the launcher to 64 MiB.
constexpr uint64_t kMaxPicturePixels = uint64_t{4096} * 4096;

// A decoded picture: 8-bit blue, green, red and alpha (not premultiplied), rows from the bottom up as
// a device-independent bitmap holds them.
struct Picture {
    uint32_t width = 0;
    uint32_t height = 0;
    std::string bgra; // width * height * 4 bytes
};

// True when file starts with the PNG signature.
bool isPng(const std::string& file);

// Decodes the PNG file into picture (colour converted to 8-bit sRGB; 16-bit samples without gamma
// information are taken as sRGB, as 8-bit ones are). Returns false and says why when
// the file is not a well-formed PNG, a side is 0 or above kMaxPictureSide, or it has more than
// kMaxPicturePixels.
bool decodePng(const std::string& file, Picture* picture, std::string* error);

// The bitmap resource (a DIB: BITMAPINFOHEADER, colour table or masks, then the pixels) for a .bmp or
// .png file. A PNG becomes a bottom-up 24-bit DIB, or 32-bit when any pixel is not opaque. A BMP is
// checked (header sizes, bit depth, compression, colour table and pixels within the file) and its DIB
// copied, with an older or newer header rewritten as a BITMAPINFOHEADER. Returns false and says why.
bool buildPictureResource(const std::string& file, std::string* dib, std::string* error);

// The width and height a bitmap resource declares, or false when dib is too short to hold a header.
bool pictureSize(const std::string& dib, uint32_t* width, uint32_t* height);

// An .ico file made from a PNG: 16, 32 and 48 pixel 32-bit images, and a 256 pixel PNG image in the
// one form Windows reads, 8-bit RGBA without interlacing. A picture that is not square is centred on a
// transparent square. Returns false and says why when the PNG cannot be decoded.
bool iconFromPng(const std::string& png, std::string* ico, std::string* error);

} // namespace kestro::packer
