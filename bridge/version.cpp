#include "bridge/version.h"

#include <windows.h>

#include <cstring>

namespace zarn::bridge {

std::wstring ModuleFileVersion() {
    HRSRC found = ::FindResourceW(nullptr, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    HGLOBAL loaded = found ? ::LoadResource(nullptr, found) : nullptr;
    const auto* data = loaded ? static_cast<const unsigned char*>(::LockResource(loaded)) : nullptr;
    if (!data) return {};
    const DWORD size = ::SizeofResource(nullptr, found);
    // VS_FIXEDFILEINFO starts with its signature, on a 32-bit boundary.
    for (DWORD offset = 0; offset + sizeof(VS_FIXEDFILEINFO) <= size; offset += 4) {
        VS_FIXEDFILEINFO info;
        std::memcpy(&info, data + offset, sizeof(info));
        if (info.dwSignature != VS_FFI_SIGNATURE) continue;
        return std::to_wstring(HIWORD(info.dwFileVersionMS)) + L"." +
               std::to_wstring(LOWORD(info.dwFileVersionMS)) + L"." +
               std::to_wstring(HIWORD(info.dwFileVersionLS)) + L"." +
               std::to_wstring(LOWORD(info.dwFileVersionLS));
    }
    return {};
}

}  // namespace zarn::bridge
