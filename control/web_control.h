// The Zarn web control: the one scriptable object of the module.
#pragma once

#include <windows.h>
#include <objsafe.h>

#include <string>

#include "control/identity.h"
#include "control/site_lock.h"
#include "framework/olecontrol.h"

#ifndef ZARN_OBJECTSAFETY_UUID
#define ZARN_OBJECTSAFETY_UUID
// The MinGW-w64 header declares the interface without its __uuidof.
__CRT_UUID_DECL(IObjectSafety, 0xcb5bdc81, 0x93c1, 0x11cf, 0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c,
                0xd0, 0x64)
#endif

namespace zarn {

class CWebControlCtrl : public zfw::OleControl<CWebControlCtrl, IObjectSafety> {
public:
    CWebControlCtrl();
    ~CWebControlCtrl() override;

    // ---- identity, for the control framework
    static const CLSID& ClassId() { return CLSID_Web_Control; }
    static const IID& DispatchIid() { return DIID__DWeb_Control; }
    static const IID& EventIid() { return DIID__DWeb_ControlEvents; }
    static DWORD MiscStatus() { return kControlMiscStatus; }
    static const CLSID* PropertyPages(ULONG* count);
    static const zfw::DispMethod<CWebControlCtrl>* DispatchTable();

    // White bounds with the inscribed ellipse; nothing without a device context.
    void OnDraw(HDC dc, const RECT& bounds);

    // ---- scripting methods (dispatch IDs 1 to 8)
    void CheckInstall();
    void DownLoad(BSTR strUserID, BSTR strUserPW, BSTR strItem);
    SCODE AllowPopUp(BSTR strTemp);
    SCODE MakeShortCut(BSTR strTemp, BSTR strSelect);
    SCODE SelectComplete(BSTR strPath, BSTR strSize, BSTR strMode);
    SCODE ShowDlgFile();
    SCODE ShowDlgFolder();
    SCODE UpLoad(BSTR strUserID, BSTR strUserPW, BSTR strItem);

    // ---- IObjectSafety: safe for untrusted callers and data only on an
    // allowed site's page (control/site_lock.h).
    STDMETHODIMP GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled) override;
    STDMETHODIMP SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) override;

    // Every script call passes the site lock before its method runs.
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* info, UINT* argErr) override;

    // Raises UpSelectComplete (event 2) at every connected sink.
    void FireUpSelectComplete(const wchar_t* path, const wchar_t* size, const wchar_t* mode);

private:
    // Whether `id` is one of the scripting methods.
    static bool IsMethod(DISPID id);

    // What the transfer programs get as wParam: it names this control to
    // them and is not a window handle.
    WPARAM TransferTag() { return reinterpret_cast<WPARAM>(this); }

    // Program-files folder, "Zarn" and a backslash; fixed at construction.
    std::wstring m_installFolder;
    SiteLock m_siteLock;
};

// The event IDs of the control's source interface.
inline constexpr DISPID kEventInstallComplete = 1;
inline constexpr DISPID kEventUpSelectComplete = 2;

}  // namespace zarn
