// The launcher's entry.
#include "payload/stub_marker.h"
#include "startup/startup.h"

namespace {

// The packer refuses stubs without these bytes; `used` keeps them in a stub that never reads them.
[[gnu::used]] const char* volatile stubMarker = kestro::payload::kStubMarker;

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLineTail, int) {
    return runStartup(instance, commandLineTail);
}
