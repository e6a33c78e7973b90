#include "launch/vm_state.h"

namespace {
void* createEntry = nullptr;
} // namespace

void setCreateVmEntry(void* entry) {
    createEntry = entry;
}
void* createVmEntry() {
    return createEntry;
}
