// A named mutex of all launchers of this session, owned from construction (when it could be had in
// time) to destruction. An abandoned mutex is owned as well: its last owner died, and whoever takes it
// over checks what that one left.
#pragma once

#include <windows.h>

class NamedLock {
  public:
    NamedLock(const char* name, DWORD waitMs) : mutex_(CreateMutexA(nullptr, FALSE, name)) {
        waitLonger(waitMs);
    }
    ~NamedLock() {
        if (owned_)
            ReleaseMutex(mutex_);
        if (mutex_ != nullptr)
            CloseHandle(mutex_);
    }
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;

    // Someone else owns it. Without a mutex at all (the system refused one) nobody is taken to.
    bool heldElsewhere() const { return mutex_ != nullptr && !owned_; }

    // Waits up to waitMs more for a lock held elsewhere; true once this process owns it.
    bool waitLonger(DWORD waitMs) {
        if (heldElsewhere()) {
            const DWORD answer = WaitForSingleObject(mutex_, waitMs);
            owned_ = answer == WAIT_OBJECT_0 || answer == WAIT_ABANDONED;
        }
        return owned_;
    }

  private:
    HANDLE mutex_;
    bool owned_ = false;
};
