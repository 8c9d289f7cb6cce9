// Identity of the control: class IDs, interface IDs and the type library.
#pragma once

#include <windows.h>

#include "Web_Control_h.h"  // generated from resources/Web_Control.idl
#include "registration_table.h"  // generated from control/registration.table

namespace zarn {

inline constexpr wchar_t kControlProgId[] = L"WEB_CONTROL.WebControlCtrl.1";
inline constexpr wchar_t kPropPageProgId[] = L"WEB_CONTROL.WebControlPropPage.1";
inline constexpr WORD kTypeLibMajor = 1;
inline constexpr WORD kTypeLibMinor = 0;
// OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INSIDEOUT |
// OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE
inline constexpr DWORD kControlMiscStatus = 0x20191;

// The property page's class ID (the type library does not carry it), kept in
// the registration table with the other registry data.
inline constexpr CLSID CLSID_WebControlPropPage = kTableGuid_CLSID_WebControlPropPage;

}  // namespace zarn
