// Creating COM objects with administrator rights, and the component
// categories that mark the control safe for scripting and initialising.
#pragma once

#include <windows.h>

namespace zarn {

// Creates a COM object through the elevation moniker
// "Elevation:Administrator!new:{clsid}" (a local server), with `owner` as the
// owner of the consent prompt.
HRESULT CoCreateInstanceAsAdmin(HWND owner, REFCLSID clsid, REFIID iid, void** out);

// On Windows 6 and later tries the elevation moniker first; when that fails
// (classes that are not elevation-enabled, such as the shell link and the
// category manager) the object is created in-process. Before Windows 6 it is
// created in-process at once.
HRESULT CreateElevatedOrInProcess(HWND owner, REFCLSID clsid, REFIID iid, void** out);

// Registers a component category with its English description (locale 0x409).
HRESULT CreateComponentCategory(REFGUID catid, const wchar_t* description);

// Marks class `clsid` as implementing category `catid`.
HRESULT AddClassToCategory(REFCLSID clsid, REFGUID catid);

}  // namespace zarn
