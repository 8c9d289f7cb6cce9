// The update dialog's work outside its window: the version file fetch (on the
// dialog's thread) and the package stage (on the download thread), with the
// install progress on a thread of its own.
#pragma once

#include "update/update_run.h"

#include <windows.h>

#include <optional>
#include <string>

namespace zarn {

// Paths on the update server.
inline constexpr wchar_t kVersionFileUrlPath[] = L"/append/application/version.ini";
inline constexpr wchar_t kPackageUrlPath[] = L"/append/application/install.zip";
inline constexpr wchar_t kPackageSizeUrlPath[] = L"/append/application/GetInstallFileSize.php";

// The two stages of a run, in their order.
enum class DownloadStage {
    VersionFile,  // on the dialog's thread: FetchVersionFile
    Package,      // on the download thread: DownloadAndInstallPackage
};

// The first stage: fetches the version file to the run's plan
// (UpdateRun::Plan::versionFilePath); true when the fetch completed with a
// 200 reply (an error page is no version file, and none is written).
bool FetchVersionFile(UpdateRun& run);

// The second stage: fetches and verifies the signed release, downloads and
// size-checks the package it names, renames it to the setup path and checks
// its hash, starts the install progress thread and the installer, and then
// watches the installer until the run ends. Every outcome ends the run
// itself; returns false.
bool DownloadAndInstallPackage(UpdateRun& run);

// Runs `stage` of `run` and returns what its function returns.
bool RunDownloadStage(UpdateRun& run, DownloadStage stage);

// Thread entry of stage 2, started by the dialog's start timer. Returns 1.
DWORD WINAPI DownloadThreadProc(LPVOID start);
// Thread entry of the install progress: climbs the install bar, holds it at
// 80 to 82 until the installer has completed, then records the server's
// version and ends the run with 1. Returns 1.
DWORD WINAPI InstallProgressThreadProc(LPVOID start);

// The length of the file at `path` in decimal digits, as a directory search
// finds it; none when there is no such file, so it equals no server reply.
std::optional<std::wstring> GetFileSizeText(const std::wstring& path);

// The version text: the first 100 bytes of the file at `path` up to the first
// zero byte, in the ANSI code page. None when the file cannot be opened.
std::optional<std::wstring> ReadVersionText(const std::wstring& path);

// At most `limit` bytes from the start of the file at `path`; none when it
// cannot be opened or read.
std::optional<std::string> ReadFilePrefix(const std::wstring& path, size_t limit);

// True when something exists at `path` (no access right is tested).
bool PathExists(const std::wstring& path);

}  // namespace zarn
