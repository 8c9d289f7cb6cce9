// The folder one update run downloads its installer into and starts it from.
//
// The shared temporary folder is writable by anything running as the user,
// and a DLL planted there would load into the elevated installer. So each run
// makes a new folder of its own under it, which only the user, SYSTEM and
// the Administrators can open: its DACL is protected (nothing is inherited
// from the temporary folder) and its three entries are handed down to the
// files made inside it. The folder never existed before this run made it.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zarn {

class SetupFolder {
public:
    // Makes a new folder under `parent` (a folder path ending in a
    // backslash), named kSetupFolderPrefix and 16 random hex digits. None
    // when no new folder could be made.
    static std::optional<SetupFolder> Create(const std::wstring& parent);

    // Removes the files directly inside the folder and the folder itself,
    // through a handle of the folder made (nothing when its path now leads
    // elsewhere); logs what it could not remove.
    ~SetupFolder();
    SetupFolder(SetupFolder&& other) noexcept;
    SetupFolder& operator=(SetupFolder&&) = delete;
    SetupFolder(const SetupFolder&) = delete;
    SetupFolder& operator=(const SetupFolder&) = delete;

    // The folder's path, without a trailing backslash.
    const std::wstring& Path() const noexcept { return path_; }
    // The path of `name` inside it.
    std::wstring File(const wchar_t* name) const { return path_ + L"\\" + name; }

private:
    SetupFolder(std::wstring path, LONGLONG id) : path_(std::move(path)), id_(id) {}
    std::wstring path_;
    LONGLONG id_;  // the folder's file ID, to know it again
};

inline constexpr wchar_t kSetupFolderPrefix[] = L"ZarnSetup-";

// Removes the folders under `parent` that runs ended before their cleanup
// left (a host killed during the download leaves its partial package),
// except `keep`, the folder of the run calling it. Only folders named as
// Create names them are touched, and only the files directly inside. Each
// folder and file is opened relative to the folder it was listed in and
// deleted through its handle once that handle proves it the entry listed, so
// a link is never followed, even one swapped in after the listing. Called
// under the update lock, so no other run's folder is in use. `listed`, when
// given, runs between the listing and the removals (tests change the folders
// there).
void RemoveLeftSetupFolders(const std::wstring& parent, const std::wstring& keep,
                            const std::function<void()>& listed = {});

// The security descriptor (self-relative) a setup folder is made with: the
// protected DACL above. Empty when it cannot be built.
std::vector<BYTE> SetupFolderSecurity();

}  // namespace zarn
