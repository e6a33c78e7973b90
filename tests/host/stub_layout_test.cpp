// The launcher stub as the Windows tree built it: the payload must go right after its last section.
#include "payload/payload_codec.h"
#include "payload/stub_marker.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

TEST(LauncherStub, LastSectionEndsAtTheEndOfTheFile) {
    std::ifstream in(KESTRO_LAUNCHER_STUB, std::ios::binary);
    ASSERT_TRUE(in) << "no launcher stub at " << KESTRO_LAUNCHER_STUB
                    << "; build the windows-x64 preset first";
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t payloadStart = 0;
    std::string error;
    ASSERT_TRUE(kestro::payload::findPayloadStart(image, &payloadStart, &error)) << error;
    // Anything after the last section (symbols left by an unstripped link, say) would sit between
    // the stub and its payload, where the packer cuts it off.
    EXPECT_EQ(payloadStart, image.size());
    // Stripping must keep the marker the packer recognises a stub by.
    EXPECT_NE(image.find(kestro::payload::kStubMarker), std::string::npos);
}

} // namespace
