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

    // Removes the files directly inside the folder and the folder itself;
    // logs what it could not remove.
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
    explicit SetupFolder(std::wstring path) : path_(std::move(path)) {}
    std::wstring path_;
};

inline constexpr wchar_t kSetupFolderPrefix[] = L"ZarnSetup-";

// Removes the folders under `parent` that runs ended before their cleanup
// left (a host killed during the download leaves its partial package),
// except `keep`, the folder of the run calling it. Only folders named as
// Create names them are touched, and only the files directly inside; a
// folder that is a link to elsewhere is never entered. Called under the
// update lock, so no other run's folder is in use.
void RemoveLeftSetupFolders(const std::wstring& parent, const std::wstring& keep);

// The security descriptor (self-relative) a setup folder is made with: the
// protected DACL above. Empty when it cannot be built.
std::vector<BYTE> SetupFolderSecurity();

}  // namespace zarn
