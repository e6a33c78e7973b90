// The launcher's entry.
#include "payload/payload_store.h"
#include "support/log.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    logLine("Init");
    loadPayload();
    logLine("Init done");
    return 0;
}
