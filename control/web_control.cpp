#include "control/web_control.h"

#include "control/install_folder.h"
#include "control/os_version.h"
#include "framework/handle.h"

namespace {

// Lets this process receive WM_COPYDATA (the transfer programs' answers)
// from processes of lower integrity. The call does not exist before
// Windows 6, so it is looked up at run time.
void AllowCopyDataFromLowerIntegrity() {
    if (!IsVistaOrLater()) return;
    zfw::unique_hmodule user32(::LoadLibraryW(L"USER32.DLL"));
    if (!user32) return;
    using ChangeFilter = BOOL(WINAPI*)(UINT, DWORD);
    const auto change = reinterpret_cast<ChangeFilter>(
        reinterpret_cast<void*>(::GetProcAddress(user32.get(), "ChangeWindowMessageFilter")));
    if (change) change(WM_COPYDATA, 1 /* MSGFLT_ADD */);
}

}  // namespace

CWebControlCtrl::CWebControlCtrl() {
    AllowCopyDataFromLowerIntegrity();
    m_installFolder = ResolveInstallFolder();
}

CWebControlCtrl::~CWebControlCtrl() = default;

const CLSID* CWebControlCtrl::PropertyPages(ULONG* count) {
    static const CLSID pages[] = {CLSID_WebControlPropPage};
    *count = 1;
    return pages;
}

const zfw::DispMethod<CWebControlCtrl>* CWebControlCtrl::DispatchTable() {
    static const zfw::DispMethod<CWebControlCtrl> table[] = {
        ZFW_DISP_METHOD(1, CWebControlCtrl::CheckInstall),
        ZFW_DISP_METHOD(2, CWebControlCtrl::DownLoad),
        ZFW_DISP_METHOD(3, CWebControlCtrl::AllowPopUp),
        ZFW_DISP_METHOD(4, CWebControlCtrl::MakeShortCut),
        ZFW_DISP_METHOD(5, CWebControlCtrl::SelectComplete),
        ZFW_DISP_METHOD(6, CWebControlCtrl::ShowDlgFile),
        ZFW_DISP_METHOD(7, CWebControlCtrl::ShowDlgFolder),
        ZFW_DISP_METHOD(8, CWebControlCtrl::UpLoad),
        {DISPID_UNKNOWN, 0, nullptr},
    };
    return table;
}

void CWebControlCtrl::OnDraw(HDC dc, const RECT& bounds) {
    if (!dc) return;
    ::FillRect(dc, &bounds, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
    ::Ellipse(dc, bounds.left, bounds.top, bounds.right, bounds.bottom);
}

void CWebControlCtrl::CheckInstall() {
    // The installation check happens inside DownLoad and UpLoad.
}
