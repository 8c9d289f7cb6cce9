// The Zarn web control: the one scriptable object of the module.
#pragma once

#include <windows.h>

#include <string>

#include "control/identity.h"
#include "framework/olecontrol.h"

class CWebControlCtrl : public zfw::OleControl<CWebControlCtrl> {
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

    // Raises UpSelectComplete (event 2) at every connected sink.
    void FireUpSelectComplete(const wchar_t* path, const wchar_t* size, const wchar_t* mode);

    const std::wstring& InstallFolder() const { return m_installFolder; }

    // ---- installation gate (update/installation_gate.cpp)
    // True when a transfer program may start now: one is running, or the
    // update dialog found the programs current or installed them.
    bool FileVersionCheck();

private:
    // Program-files folder, "Zarn" and a backslash; fixed at construction.
    std::wstring m_installFolder;
};

// The event IDs of the control's source interface.
inline constexpr DISPID kEventInstallComplete = 1;
inline constexpr DISPID kEventUpSelectComplete = 2;
