// Identity of the control: class IDs, interface IDs and the type library.
#pragma once

#include <windows.h>

#include "Web_Control_h.h"  // generated from resources/Web_Control.idl
#include "registration_table.h"  // generated from control/registration.table

namespace zarn {

// The ProgID is stated in the registration table and the version in the
// IDL's library attributes; the table's rows are made from the same two.
inline constexpr const wchar_t* kControlProgId = kTableProgId;
inline constexpr wchar_t kPropPageProgId[] = L"WEB_CONTROL.WebControlPropPage.1";
inline constexpr WORD kTypeLibMajor = kTableTypeLibMajor;
inline constexpr WORD kTypeLibMinor = kTableTypeLibMinor;
// OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INSIDEOUT |
// OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE
inline constexpr DWORD kControlMiscStatus = 0x20191;

// The property page's class ID (the type library does not carry it), kept in
// the registration table with the other registry data.
inline constexpr CLSID CLSID_WebControlPropPage = kTableGuid_CLSID_WebControlPropPage;

}  // namespace zarn
