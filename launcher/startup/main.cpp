// The launcher's entry.
#include "startup/startup.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLineTail, int) {
    runStartup(instance, commandLineTail);
}
