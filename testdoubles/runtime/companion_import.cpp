// Part of the JNI double (jvm.dll): its import of companion.dll, which a runtime double's bin folder
// holds. Called as the library loads, so that the import stays in the import table.
extern "C" __declspec(dllimport) int kestroCompanionVersion();

namespace {
const int companionVersion = kestroCompanionVersion();
}
