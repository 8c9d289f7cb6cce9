// What the host knows of a newer program: the program's own signed release
// (update/program_release.h) from the update server, fetched in the
// background at most once every 12 hours per user, and kept for the next
// host of this user, so that hello can say at once that an update exists.
//
// Nothing of it ever delays hello or a call: the host's start hands the work
// to a thread of its own, and hello reads only what that thread has found.
// A machine policy (HKLM\Software\Policies\Zarn, ProgramUpdate = 0) turns it
// off: then nothing is fetched and nothing is offered.
//
// Kept under the user's settings key:
//   ProgramRelease         the last verified release: the signature's hex,
//                          a line end, then the release's text (one value,
//                          so a host killed while writing leaves the old one
//                          or the new one, never half of each)
//   ProgramReleaseSeen     the highest release number verified (REG_DWORD):
//                          an older one is never offered again
//   ProgramReleaseChecked  when the server was last asked (REG_SZ, seconds
//                          since 1970)
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "update/program_release.h"

namespace zarn::bridge {

// Whether the machine's policy leaves self-update on (the default).
bool ProgramUpdatePolicyOn();

// The version of the program release the last look verified and kept for
// this user, when there is one (for the diagnosis; not verified again).
std::optional<std::string> KeptProgramVersion();

class ProgramUpdate {
public:
    // How often the server is asked, at most.
    static constexpr std::chrono::seconds kFetchInterval{12 * 60 * 60};

    // `running` is the host's own file version. What an earlier host kept is
    // read here, before the first hello, and offered until the background
    // look has verified it again (two registry reads; no file, no network).
    explicit ProgramUpdate(std::optional<FileVersion> running);
    ~ProgramUpdate();
    ProgramUpdate(const ProgramUpdate&) = delete;
    ProgramUpdate& operator=(const ProgramUpdate&) = delete;

    // Starts the background look: the kept release at once, the server when
    // it was last asked kFetchInterval ago or more.
    void Start();

    // The version of a newer program, verified, when the background look
    // has found one.
    std::optional<std::string> Available() const;

private:
    void Look();
    // Verifies `text` with `signature`: offers it when it is newer, and
    // offers nothing when it is valid but not newer (or not valid at all,
    // `always`).
    ProgramReleaseVerdict Judge(const std::string& text, const std::string& signature, bool always);
public:
    // The kept release: its text and signature, when there is one.
    static std::optional<std::pair<std::string, std::string>> Kept();

    const std::optional<FileVersion> running_;
    mutable std::mutex lock_;
    std::optional<std::string> available_;
    std::thread thread_;
};

}  // namespace zarn::bridge
