// Identity of the control: class IDs, interface IDs and the type library.
#pragma once

#include <windows.h>

#include "Web_Control_h.h"  // generated from resources/Web_Control.idl

inline constexpr wchar_t kControlProgId[] = L"WEB_CONTROL.WebControlCtrl.1";
inline constexpr wchar_t kPropPageProgId[] = L"WEB_CONTROL.WebControlPropPage.1";
inline constexpr WORD kTypeLibMajor = 1;
inline constexpr WORD kTypeLibMinor = 0;
// OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INSIDEOUT |
// OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE
inline constexpr DWORD kControlMiscStatus = 0x20191;

// The property page's class ID (the type library does not carry it).
// {3FCD4DBA-DCF9-4844-AA7A-938D94ACD1E5}
inline constexpr CLSID CLSID_WebControlPropPage = {
    0x3fcd4dba, 0xdcf9, 0x4844, {0xaa, 0x7a, 0x93, 0x8d, 0x94, 0xac, 0xd1, 0xe5}};
