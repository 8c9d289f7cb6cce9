// Self-registration helpers for an in-process COM server: the embedded type
// library, control classes and property page classes under HKEY_CLASSES_ROOT.
#pragma once

#include <windows.h>

#include <string>

namespace zfw {

// Full path of this module.
std::wstring ModulePath();
// String resource `id` of this module (empty when missing).
std::wstring LoadResourceString(UINT id);
// "{XXXXXXXX-...}" form of a GUID.
std::wstring GuidText(const GUID& guid);

// Registers the type library embedded in this module.
HRESULT RegisterModuleTypeLib() noexcept;
// Removes the registration of a type library.
HRESULT UnregisterModuleTypeLib(const GUID& libid, WORD major, WORD minor) noexcept;

struct ControlClassRegistration {
    const CLSID* clsid;
    const wchar_t* progId;
    UINT userTypeNameId;   // string resource
    UINT toolboxBitmapId;  // bitmap resource
    DWORD miscStatus;
    const GUID* libid;
    WORD versionMajor;
    WORD versionMinor;
};

// Writes the keys of an apartment-threaded, non-insertable control class:
// CLSID\{clsid} with its user type name, ProgID, InprocServer32 (with
// ThreadingModel), Control, MiscStatus, ToolboxBitmap32, TypeLib and Version,
// and the ProgID key pointing back to the class.
HRESULT RegisterControlClass(const ControlClassRegistration& entry) noexcept;

// Writes CLSID\{clsid} with its type name and an apartment-threaded InprocServer32.
HRESULT RegisterPropertyPageClass(const CLSID& clsid, UINT typeNameId) noexcept;

// Removes what the two routines above wrote. Keys that other parties added
// under the class (such as its component categories) are left in place, and
// with them the class key itself.
HRESULT UnregisterClass(const CLSID& clsid, const wchar_t* progId) noexcept;

}  // namespace zfw
