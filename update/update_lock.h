// The per-user lock under which the update dialog runs.
//
// Every process of the user shares one temp folder, and the installer finds
// the dialog it reports to by its caption, so two update dialogs of the same
// user at once would delete each other's files and take each other's
// reports. The lock is a named mutex in the session's namespace whose name
// carries the user's SID; a process that ends while holding it leaves it
// abandoned, which the next taker treats as free.
#pragma once

#include "framework/handle.h"

#include <string>

namespace zarn {

class UpdateLock {
public:
    // Tries to take the lock at once; never waits.
    UpdateLock();
    // Gives the lock back when it was taken.
    ~UpdateLock();
    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;

    // True when this object holds the lock.
    bool Held() const noexcept { return held_; }

    // The lock's name for the user of this process.
    static std::wstring Name();

private:
    zfw::unique_handle mutex_;
    bool held_ = false;   // the caller may run the dialog
    bool owned_ = false;  // the mutex is ours to release
};

}  // namespace zarn
