// The bytes every launcher stub carries in its read-only data, so that the packer can tell a Kestro
// stub from any other Windows executable before it appends a payload the executable would never read.
#pragma once

namespace kestro::payload {

// Kept in every stub by a reference from the payload reader, so neither the linker nor stripping drops it.
constexpr char kStubMarker[] = "KESTRO-LAUNCHER-STUB:payload-after-last-section:v1";

} // namespace kestro::payload
