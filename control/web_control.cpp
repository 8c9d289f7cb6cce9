// The control's scripting methods are short forwarders: each feature lives
// in its own folder behind a function that takes only what it needs (the
// install folder, the control's window, a selection sink), so it can be
// changed and tested without the control.
#include "control/web_control.h"

#include "support/install_folder.h"
#include "desktop/popup.h"
#include "desktop/shortcut.h"
#include "launch/transfer.h"
#include "select/folder_picker.h"
#include "select/picked_file.h"
#include "support/text.h"

#include <algorithm>
#include <iterator>

namespace zarn {

CWebControlCtrl::CWebControlCtrl() {
    AllowTransferAnswers();
    m_installFolder = ResolveInstallFolder();
}

CWebControlCtrl::~CWebControlCtrl() = default;

const CLSID* CWebControlCtrl::PropertyPages(ULONG* count) {
    static const CLSID pages[] = {CLSID_WebControlPropPage};
    *count = 1;
    return pages;
}

// The IDs and argument counts are those of the dispinterface _DWeb_Control in
// resources/Web_Control.idl, which the type library is compiled from: a
// script host reads them there, the control dispatches by this table.
// tests/test_dispatch_table.cpp holds the two against each other.
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

namespace {

// Which of the lock's interface families `iid` belongs to; false for an
// interface the control does not offer as safe.
bool SafetyFamily(REFIID iid, SiteLock::Family& family) {
    if (::IsEqualIID(iid, IID_IDispatch) || ::IsEqualIID(iid, DIID__DWeb_Control)) {
        family = SiteLock::Family::Scripting;
        return true;
    }
    if (::IsEqualIID(iid, IID_IPersistStreamInit) || ::IsEqualIID(iid, IID_IPersistPropertyBag) ||
        ::IsEqualIID(iid, IID_IPersist)) {
        family = SiteLock::Family::Persistence;
        return true;
    }
    return false;
}

}  // namespace

STDMETHODIMP CWebControlCtrl::GetInterfaceSafetyOptions(REFIID iid, DWORD* supported,
                                                         DWORD* enabled) {
    if (!supported || !enabled) return E_POINTER;
    *supported = *enabled = 0;
    SiteLock::Family family;
    if (!SafetyFamily(iid, family)) return E_NOINTERFACE;
    m_siteLock.GetOptions(family, supported, enabled);
    return S_OK;
}

STDMETHODIMP CWebControlCtrl::SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) {
    SiteLock::Family family;
    if (!SafetyFamily(iid, family)) {
        m_siteLock.Engage();  // the host asked all the same
        return E_NOINTERFACE;
    }
    Microsoft::WRL::ComPtr<IOleClientSite> site;
    GetClientSite(&site);
    return m_siteLock.SetOptions(site.Get(), family, mask, enabled);
}

STDMETHODIMP CWebControlCtrl::Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* info,
                                     UINT* argErr) {
    // Every argument of a method is read as text once, here: an object's
    // default property (a JScript toString, a VBScript Default Property Get)
    // can answer differently when read again, so the method is handed the
    // very texts judged here (by the lock, and for a half character), in a
    // copy of the arguments. The copy is shallow: the caller still owns the
    // others. An argument without a text form is passed on as it is, for
    // the dispatcher to refuse. More arguments than any method takes fail
    // their count before any method runs, so they are not read.
    zfw::Bstr texts[zfw::kMaxDispArgs];
    VARIANT judgedArgs[zfw::kMaxDispArgs];
    DISPPARAMS judged{};
    DISPPARAMS* forwarded = params;
    const UINT count = params ? params->cArgs : 0;
    if (IsMethod(id) && count > 0 && count <= std::size(judgedArgs) && params->cNamedArgs == 0 &&
        params->rgvarg) {
        std::copy_n(params->rgvarg, count, judgedArgs);
        for (UINT i = 0; i < count; ++i) {
            BSTR text = nullptr;
            if (FAILED(zfw::CoerceToBstr(params->rgvarg[i], lcid, &text))) continue;
            texts[i] = zfw::Bstr(text);
            if (HasLoneSurrogate(BstrView(texts[i].get())))
                return zfw::RaiseScriptException(info, E_INVALIDARG, kLoneSurrogateText);
            V_VT(&judgedArgs[i]) = VT_BSTR;
            V_BSTR(&judgedArgs[i]) = texts[i].get();
        }
        judged = DISPPARAMS{judgedArgs, nullptr, count, 0};
        forwarded = &judged;
    }
    if (!m_siteLock.Engaged())
        return OleControl::Invoke(id, iid, lcid, flags, forwarded, result, info, argErr);

    // MakeShortCut and AllowPopUp are judged by their first argument.
    const BSTR first = SiteLock::ChecksFirstArgument(id) && forwarded == &judged
                           ? texts[count - 1].get()
                           : nullptr;
    Microsoft::WRL::ComPtr<IOleClientSite> site;
    GetClientSite(&site);
    std::wstring reason;  // says why, for a refused call
    if (!m_siteLock.AdmitCall(site.Get(), id, first, reason))
        return zfw::RaiseScriptException(info, E_ACCESSDENIED, reason);
    return OleControl::Invoke(id, iid, lcid, flags, forwarded, result, info, argErr);
}

bool CWebControlCtrl::IsMethod(DISPID id) {
    for (const zfw::DispMethod<CWebControlCtrl>* entry = DispatchTable();
         entry->id != DISPID_UNKNOWN; ++entry)
        if (entry->id == id) return true;
    return false;
}

void CWebControlCtrl::CheckInstall() {
    // The installation check happens inside DownLoad and UpLoad.
}

void CWebControlCtrl::DownLoad(BSTR strUserID, BSTR strUserPW, BSTR strItem) {
    RunTransfer(m_installFolder, TransferTag(), kDownloadProgram, L"DownLoad",
                      BstrView(strUserID), BstrView(strUserPW), BstrView(strItem));
}

SCODE CWebControlCtrl::UpLoad(BSTR strUserID, BSTR strUserPW, BSTR strItem) {
    return UpLoadResult(RunTransfer(m_installFolder, TransferTag(), kUploadProgram, L"UpLoad",
                                    BstrView(strUserID), BstrView(strUserPW),
                                    BstrView(strItem)));
}

SCODE CWebControlCtrl::AllowPopUp(BSTR strTemp) {
    // The page's text as it is; a null BSTR is the empty name.
    AllowPopUpsFrom(strTemp ? strTemp : L"");
    return 0;
}

SCODE CWebControlCtrl::MakeShortCut(BSTR strTemp, BSTR strSelect) {
    MakeDesktopShortcut(ControlWindow(), BstrView(strTemp), BstrView(strSelect));
    return 0;
}

namespace {

// Items the pickers find go to the page as UpSelectComplete events.
class EventSink final : public SelectionSink {
public:
    explicit EventSink(CWebControlCtrl& control) : control_(control) {}
    void Report(std::wstring_view path, std::wstring_view size,
                std::wstring_view mode) override {
        // The walk reuses its path buffer; the event needs its own texts.
        path_.assign(path);
        size_.assign(size);
        mode_.assign(mode);
        control_.FireUpSelectComplete(path_.c_str(), size_.c_str(), mode_.c_str());
    }

private:
    CWebControlCtrl& control_;
    std::wstring path_, size_, mode_;
};

}  // namespace

SCODE CWebControlCtrl::ShowDlgFile() {
    EventSink sink(*this);
    PickFiles(sink);
    return 0;
}

SCODE CWebControlCtrl::ShowDlgFolder() {
    EventSink sink(*this);
    PickFolder(ControlWindow(), sink);
    return 0;
}

SCODE CWebControlCtrl::SelectComplete(BSTR strPath, BSTR strSize, BSTR strMode) {
    FireUpSelectComplete(strPath, strSize, strMode);
    return 0;
}

void CWebControlCtrl::FireUpSelectComplete(const wchar_t* path, const wchar_t* size,
                                           const wchar_t* mode) {
    zfw::Bstr texts[3] = {zfw::Bstr(path ? path : L""), zfw::Bstr(size ? size : L""),
                          zfw::Bstr(mode ? mode : L"")};
    VARIANT args[3];
    for (int i = 0; i < 3; ++i) {
        ::VariantInit(&args[i]);
        V_VT(&args[i]) = VT_BSTR;
        V_BSTR(&args[i]) = texts[i].get();
    }
    FireEvent(kEventUpSelectComplete, args, 3);
}

}  // namespace zarn
