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

// One entry of a registration table, under HKEY_CLASSES_ROOT. In `key` and
// `value`, [module] stands for this module's full path, [module_dir] for its
// folder, [typelib.platform] for win32 or win64 by the module's architecture
// and [string:N] for string resource N.
struct RegistryEntry {
    const wchar_t* key;
    const wchar_t* name;   // nullptr: the key's default value
    const wchar_t* value;  // nullptr: the key alone, no value written
};

// The text of a table entry with its placeholders filled in (empty when a
// string resource is missing).
std::wstring ExpandRegistryText(const wchar_t* text);

// Creates the entry's key and sets its value.
HRESULT WriteRegistryEntry(const RegistryEntry& entry) noexcept;

// Removes a class's registration: its ProgID, InprocServer32, Control,
// MiscStatus, ToolboxBitmap32, TypeLib and Version keys, its type name and the
// ProgID key. Keys that other parties added under the class (such as its
// component categories) are left in place, and with them the class key itself.
HRESULT UnregisterClass(const CLSID& clsid, const wchar_t* progId) noexcept;

}  // namespace zfw
