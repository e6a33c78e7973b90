// The Linux launcher's entry.
#include "startup/startup.h"

int main(int argc, char** argv) {
    runLauncher(argc, argv);
}
