// queue-tool: drives the deletion queue from a process of its own, so that a scenario can show the
// queue shared through the registry across processes.
//   queue-tool.exe file PATH        queue PATH under "delete_file"
//   queue-tool.exe dir PATH         queue PATH under "delete_dir"
//   queue-tool.exe hold PATH GO     hold PATH open and queue it, print "held", then wait until the
//                                   file GO exists and end (releasing PATH)
//   queue-tool.exe drain            drain the queue as a launcher a user double-clicked does, with
//                                   the limited token (limited_token.h)
//   queue-tool.exe drain-elevated   drain the queue with this process's own token, which Wine makes
//                                   an elevated administrator's
#include "limited_token.h"
#include "support/deletion_queue.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kPollMilliseconds = 50;

int usage() {
    std::fprintf(stderr,
                 "usage: queue-tool.exe file PATH | dir PATH | hold PATH GO | drain | drain-elevated\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "file") == 0) {
        queueForDeletion(argv[2], "delete_file");
    } else if (argc == 3 && std::strcmp(argv[1], "dir") == 0) {
        queueDirectory(argv[2]);
    } else if (argc == 4 && std::strcmp(argv[1], "hold") == 0) {
        holdAndQueueFile(argv[2]);
        std::printf("held\n");
        std::fflush(stdout);
        while (GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES)
            Sleep(kPollMilliseconds);
    } else if (argc == 2 && std::strcmp(argv[1], "drain") == 0) {
        kestro::test::ActingWithoutElevation user;
        drainDeletionQueue();
    } else if (argc == 2 && std::strcmp(argv[1], "drain-elevated") == 0) {
        drainDeletionQueue();
    } else {
        return usage();
    }
    return 0;
}
