#include "tools/pagehost/page.h"

#include "framework/handle.h"
#include "tools/pagehost/browser_site.h"
#include "tools/pagehost/element.h"
#include "tools/pagehost/event_sink.h"
#include "tools/pagehost/host_object.h"
#include "tools/pagehost/text.h"

#include <activscp.h>
#include <urlmon.h>

#include <cwchar>
#include <memory>
#include <string>

namespace pagehost {
namespace {

constexpr wchar_t kFrameClass[] = L"ZarnPageHostFrame";
constexpr wchar_t kSiteClass[] = L"ZarnPageHostSite";
constexpr wchar_t kHostName[] = L"host";
constexpr wchar_t kLocationName[] = L"location";  // in browser mode only

std::wstring Hex(HRESULT hr) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

void Report(std::wstring_view line) { WriteLine(L"pagehost: " + std::wstring(line)); }

// An export of a library loaded at run time, as the function type it has.
template <typename F>
F Export(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_NCCREATE: {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        break;
    }
    case WM_SIZE:
        // The control's site fills the client area.
        if (HWND site = ::GetWindow(window, GW_CHILD))
            ::MoveWindow(site, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
        return 0;
    case WM_TIMER: {
        // The page's timers run from whichever loop dispatches this, the
        // control's modal ones included.
        auto* context = reinterpret_cast<PageContext*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        if (context && context->timers.Run(wParam, context->exitRequested, context->errorReported))
            return 0;
        break;
    }
    case WM_CLOSE: {
        // Closing the window ends the page as host.exit(0) would. The window
        // itself stays until the control has been closed.
        auto* context = reinterpret_cast<PageContext*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        if (context && !context->exitRequested) {
            context->exitRequested = true;
            context->exitCode = 0;
        }
        return 0;
    }
    default:
        break;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

// The engine's view of the page: named items, error reports, the window for
// its dialogs, and the security manager a browser gives `new ActiveXObject`.
class ScriptSite final : public IActiveScriptSite,
                         public IActiveScriptSiteWindow,
                         public IServiceProvider,
                         public IInternetHostSecurityManager,
                         public RefCounted {
public:
    // `location` is set in browser mode: the page then asks every object the
    // script creates to be safe for untrusted callers, as a browser does.
    ScriptSite(std::shared_ptr<PageContext> context, std::wstring controlName,
               ComPtr<IUnknown> control, ComPtr<IDispatch> host, ComPtr<IDispatch> location)
        : context_(std::move(context)), controlName_(std::move(controlName)),
          control_(std::move(control)), host_(std::move(host)), location_(std::move(location)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IActiveScriptSite)
            *object = static_cast<IActiveScriptSite*>(this);
        else if (riid == IID_IActiveScriptSiteWindow)
            *object = static_cast<IActiveScriptSiteWindow*>(this);
        else if (riid == IID_IServiceProvider)
            *object = static_cast<IServiceProvider*>(this);
        else if (riid == IID_IInternetHostSecurityManager)
            *object = static_cast<IInternetHostSecurityManager*>(this);
        else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    // IActiveScriptSite
    HRESULT STDMETHODCALLTYPE GetLCID(LCID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item,
                                          ITypeInfo** type) override {
        if (item) *item = nullptr;
        if (type) *type = nullptr;
        if (!name) return E_INVALIDARG;
        IUnknown* found = nullptr;
        if (controlName_ == name)
            found = control_.Get();
        else if (std::wcscmp(name, kHostName) == 0)
            found = host_.Get();
        else if (location_ && std::wcscmp(name, kLocationName) == 0)
            found = location_.Get();
        if (!found) return TYPE_E_ELEMENTNOTFOUND;
        if (mask & SCRIPTINFO_IUNKNOWN) {
            if (!item) return E_POINTER;
            found->AddRef();
            *item = found;
        }
        if (mask & SCRIPTINFO_ITYPEINFO) {
            if (!type) return E_POINTER;
            ComPtr<IProvideClassInfo> provider;
            if (SUCCEEDED(found->QueryInterface(IID_PPV_ARGS(&provider))))
                provider->GetClassInfo(type);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnStateChange(SCRIPTSTATE) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnScriptError(IActiveScriptError* error) override {
        if (!error) return E_POINTER;
        EXCEPINFO info{};
        error->GetExceptionInfo(&info);
        if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
        const zfw::Bstr source(info.bstrSource), description(info.bstrDescription),
            helpFile(info.bstrHelpFile);
        // After host.exit the script is being unwound on purpose: what that
        // raises is not the page's error.
        if (context_->exitRequested) return S_OK;

        DWORD sourceContext = 0;
        ULONG line = 0;
        LONG column = 0;
        error->GetSourcePosition(&sourceContext, &line, &column);
        const std::wstring text =
            description.view().empty() ? L"unknown error" : std::wstring(description.view());
        // The engine counts lines and columns from 0; people count from 1.
        WriteLine(L"script error: " + std::to_wstring(line + 1) + L":" +
                  std::to_wstring(column + 1) + L": " + text + L" (" + Hex(info.scode) + L")");
        context_->errorReported = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEnterScript() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnLeaveScript() override { return S_OK; }

    // IActiveScriptSiteWindow
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override {
        if (!window) return E_POINTER;
        *window = context_->window;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnableModeless(BOOL) override { return S_OK; }

    // IServiceProvider: the engine asks for the host security manager before
    // it lets a script create objects.
    HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (service == SID_SInternetHostSecurityManager) return QueryInterface(riid, object);
        return E_NOINTERFACE;
    }

    // IInternetHostSecurityManager: the page is local and trusted, so every
    // object the script names may be created and scripted.
    HRESULT STDMETHODCALLTYPE GetSecurityId(BYTE*, DWORD*, DWORD_PTR) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ProcessUrlAction(DWORD, BYTE* policy, DWORD policySize, BYTE*,
                                               DWORD, DWORD, DWORD) override {
        if (!policy || policySize < sizeof(DWORD)) return E_INVALIDARG;
        *reinterpret_cast<DWORD*>(policy) = URLPOLICY_ALLOW;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryCustomPolicy(REFGUID key, BYTE** policy, DWORD* policySize,
                                                BYTE* context, DWORD contextSize, DWORD) override {
        if (!policy || !policySize) return E_POINTER;
        auto* allow = static_cast<DWORD*>(::CoTaskMemAlloc(sizeof(DWORD)));
        if (!allow) return E_OUTOFMEMORY;
        *allow = URLPOLICY_ALLOW;
        if (location_) AnswerSafetyPolicy(key, context, contextSize, *allow);
        *policy = reinterpret_cast<BYTE*>(allow);
        *policySize = sizeof(DWORD);
        return S_OK;
    }

private:
    std::shared_ptr<PageContext> context_;
    std::wstring controlName_;
    ComPtr<IUnknown> control_;
    ComPtr<IDispatch> host_;
    ComPtr<IDispatch> location_;
};

class Page {
public:
    explicit Page(const PageOptions& options)
        : options_(options), context_(std::make_shared<PageContext>()) {
        context_->args = options.args;
    }
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;
    ~Page() { Close(); }

    int Run() {
        std::wstring code;
        DWORD error = 0;
        if (!ReadUtf8File(options_.scriptPath, code, error)) {
            Report(L"cannot read the script " + options_.scriptPath + L" (error " +
                   std::to_wstring(error) + L")");
            return kExitSetupFailed;
        }
        if (!CreateWindows() || !HostControl() || !EnterBrowserMode() || !StartEngine())
            return kExitSetupFailed;
        PumpPending();

        EXCEPINFO info{};
        const HRESULT hr = parser_->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0,
                                                    SCRIPTTEXT_ISVISIBLE, nullptr, &info);
        const zfw::Bstr source(info.bstrSource), description(info.bstrDescription),
            helpFile(info.bstrHelpFile);

        if (!context_->exitRequested) RunTimers();
        if (context_->exitRequested) return context_->exitCode;
        if (context_->errorReported) return kExitScriptError;
        if (FAILED(hr)) {
            // The engine failed without telling the site why.
            WriteLine(L"script error: 0:0: the engine did not run the script (" + Hex(hr) + L")");
            return kExitScriptError;
        }
        return 0;
    }

private:
    // After the script's global code: the page lives on while a timer is
    // armed, as a browser's page would, and ends when none is left.
    void RunTimers() {
        MSG msg;
        while (!context_->exitRequested && context_->timers.Pending() &&
               ::GetMessageW(&msg, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }

    // host.release on the control's element: the page lets go of the
    // control the way a browser does when the <object> leaves the page. Its
    // event connections go, the control is closed, its container goes with
    // the site window, and the page's own references are dropped.
    bool ReleaseElement(IDispatch* object) {
        if (!element_ || !element_->Control()) return false;
        ComPtr<IUnknown> a, b;
        if (FAILED(object->QueryInterface(IID_PPV_ARGS(&a))) ||
            FAILED(element_->QueryInterface(IID_PPV_ARGS(&b))) || a.Get() != b.Get())
            return false;
        DisconnectFrom(*context_, element_->Control());
        ComPtr<IOleObject> ole;
        if (control_ && SUCCEEDED(control_.As(&ole))) ole->Close(OLECLOSE_NOSAVE);
        ole.Reset();
        if (site_) {
            ::DestroyWindow(site_);
            site_ = nullptr;
        }
        container_.Reset();
        control_.Reset();
        element_->Detach();
        return true;
    }

    bool CreateWindows() {
        const HINSTANCE instance = ::GetModuleHandleW(nullptr);
        WNDCLASSEXW frameClass{};
        frameClass.cbSize = sizeof(frameClass);
        frameClass.lpfnWndProc = FrameProc;
        frameClass.hInstance = instance;
        frameClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
        frameClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        frameClass.lpszClassName = kFrameClass;
        WNDCLASSEXW siteClass = frameClass;
        siteClass.lpfnWndProc = ::DefWindowProcW;
        siteClass.lpszClassName = kSiteClass;
        if (!::RegisterClassExW(&frameClass) || !::RegisterClassExW(&siteClass)) {
            Report(L"cannot register the window classes (error " +
                   std::to_wstring(::GetLastError()) + L")");
            return false;
        }

        const std::wstring& path = options_.scriptPath;
        const std::wstring title = L"Zarn page - " + path.substr(path.find_last_of(L"\\/") + 1);
        frame_.reset(::CreateWindowExW(0, kFrameClass, title.c_str(),
                                       WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT,
                                       CW_USEDEFAULT, 640, 480, nullptr, nullptr, instance,
                                       context_.get()));
        if (!frame_) {
            Report(L"cannot create the page window (error " + std::to_wstring(::GetLastError()) +
                   L")");
            return false;
        }
        context_->window = frame_.get();
        context_->timers.Attach(frame_.get());
        context_->releaseElement = [this](IDispatch* object) { return ReleaseElement(object); };
        RECT client{};
        ::GetClientRect(frame_.get(), &client);
        site_ = ::CreateWindowExW(0, kSiteClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0,
                                  client.right, client.bottom, frame_.get(), nullptr, instance,
                                  nullptr);
        if (!site_) {
            Report(L"cannot create the control's site window (error " +
                   std::to_wstring(::GetLastError()) + L")");
            return false;
        }
        if (!options_.hidden) {
            ::ShowWindow(frame_.get(), SW_SHOWNORMAL);
            ::UpdateWindow(frame_.get());
        }
        return true;
    }

    bool HostControl() {
        const std::wstring& progId = options_.progId;
        // The container falls back to a web browser for any name that looks
        // like a file or URL, so an unregistered ProgID must be caught here.
        CLSID clsid{};
        HRESULT hr = ::CLSIDFromProgID(progId.c_str(), &clsid);
        if (FAILED(hr)) {
            Report(L"cannot host " + progId + L": the ProgID is not registered (" + Hex(hr) + L")");
            return false;
        }
        atl_.reset(::LoadLibraryW(L"atl.dll"));
        if (!atl_) {
            Report(L"cannot load atl.dll (error " + std::to_wstring(::GetLastError()) + L")");
            return false;
        }
        using AxWinInit = BOOL(WINAPI*)();
        using AxCreateControlEx = HRESULT(WINAPI*)(LPCOLESTR, HWND, IStream*, IUnknown**,
                                                   IUnknown**, REFIID, IUnknown*);
        const auto init = Export<AxWinInit>(atl_.get(), "AtlAxWinInit");
        const auto create = Export<AxCreateControlEx>(atl_.get(), "AtlAxCreateControlEx");
        if (!init || !create) {
            Report(L"atl.dll lacks AtlAxWinInit or AtlAxCreateControlEx");
            return false;
        }
        if (!init()) {
            Report(L"AtlAxWinInit failed");
            return false;
        }
        hr = create(progId.c_str(), site_, nullptr, container_.ReleaseAndGetAddressOf(),
                    control_.ReleaseAndGetAddressOf(), IID_NULL, nullptr);
        if (FAILED(hr) || !control_ || !container_) {
            Report(L"cannot host " + progId + L" (" + Hex(FAILED(hr) ? hr : E_FAIL) + L")");
            return false;
        }
        ComPtr<IDispatch> dispatch;
        hr = control_.As(&dispatch);
        if (FAILED(hr)) {
            Report(L"cannot host " + progId + L": it has no IDispatch (" + Hex(hr) + L")");
            return false;
        }
        element_ = MakeCom<ControlElement>(std::move(dispatch));
        return true;
    }

    // With --url, the control gets a browser's site for that address and must
    // agree to be scripted by an untrusted page; if it refuses, the page has
    // no control to script, as a browser would leave it (unless
    // --despite-refusal asks for a host that scripts it anyway).
    bool EnterBrowserMode() {
        if (options_.url.empty()) return true;
        location_ = std::make_shared<BrowserLocation>();
        location_->url = options_.url;
        if (!PutControlOnPage(control_.Get(), location_)) {
            Report(L"cannot give the control a browser's site");
            return false;
        }
        scriptable_ = ConfirmObjectSafety(control_.Get());
        if (!scriptable_) {
            Report(L"the control refused to be scripted by the page at " + options_.url);
            scriptable_ = options_.despiteRefusal;
        }
        return true;
    }

    bool StartEngine() {
        CLSID clsid{};
        HRESULT hr = ::CLSIDFromProgID(L"JScript", &clsid);
        if (SUCCEEDED(hr))
            hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&engine_));
        if (SUCCEEDED(hr)) hr = engine_.As(&parser_);
        if (SUCCEEDED(hr)) hr = parser_->InitNew();
        if (SUCCEEDED(hr) && location_) hr = UseBrowserSecurity(engine_.Get());
        if (FAILED(hr)) {
            Report(L"cannot start the JScript engine (" + Hex(hr) + L")");
            return false;
        }
        // The script names the control's element, as page script does.
        auto site = MakeCom<ScriptSite>(context_, options_.controlName,
                                        ComPtr<IUnknown>(static_cast<IDispatch*>(element_.Get())),
                                        MakeHostObject(context_),
                                        location_ ? MakeLocationObject(location_) : nullptr);
        hr = engine_->SetScriptSite(site.Get());
        if (SUCCEEDED(hr) && scriptable_)
            hr = engine_->AddNamedItem(options_.controlName.c_str(), SCRIPTITEM_ISVISIBLE);
        if (SUCCEEDED(hr)) hr = engine_->AddNamedItem(kHostName, SCRIPTITEM_ISVISIBLE);
        if (SUCCEEDED(hr) && location_)
            hr = engine_->AddNamedItem(kLocationName, SCRIPTITEM_ISVISIBLE);
        // Started, the engine runs each script text as soon as it is parsed.
        if (SUCCEEDED(hr)) hr = engine_->SetScriptState(SCRIPTSTATE_CONNECTED);
        if (FAILED(hr)) {
            Report(L"cannot set up the JScript engine (" + Hex(hr) + L")");
            return false;
        }
        return true;
    }

    // Lets the window paint before the script takes the thread.
    static void PumpPending() {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }

    // Ends the page in the order a browser leaves one: event connections,
    // then the script (it holds the control), then the control is closed and
    // its container goes with the window.
    void Close() {
        // The sinks and timers hold script functions: let them go while the
        // engine that made them is still open.
        context_->releaseElement = nullptr;
        context_->timers.ClearAll();
        DisconnectAll(*context_);
        if (engine_) {
            engine_->SetScriptState(SCRIPTSTATE_DISCONNECTED);
            engine_->Close();
        }
        parser_.Reset();
        engine_.Reset();
        if (control_) {
            ComPtr<IOleObject> object;
            if (SUCCEEDED(control_.As(&object))) {
                object->Close(OLECLOSE_NOSAVE);
                // The browser's site holds the container's own site: let go
                // of it so that neither keeps the other alive.
                if (location_) object->SetClientSite(nullptr);
            }
        }
        // Destroying the site window makes the container let the control go.
        if (element_) element_->Detach();
        frame_.reset();
        site_ = nullptr;
        context_->window = nullptr;
        control_.Reset();
        container_.Reset();
        const HINSTANCE instance = ::GetModuleHandleW(nullptr);
        ::UnregisterClassW(kSiteClass, instance);
        ::UnregisterClassW(kFrameClass, instance);
    }

    const PageOptions& options_;
    std::shared_ptr<PageContext> context_;
    zfw::unique_hmodule atl_;  // declared first: unloaded after everything it made
    zfw::unique_hwnd frame_;
    HWND site_ = nullptr;  // child of frame_, destroyed with it
    ComPtr<IUnknown> container_;
    ComPtr<IUnknown> control_;
    ComPtr<ControlElement> element_;  // what the script's name for the control refers to
    ComPtr<IActiveScript> engine_;
    ComPtr<IActiveScriptParse> parser_;
    std::shared_ptr<BrowserLocation> location_;  // browser mode only
    bool scriptable_ = true;  // the page may script the control
};

}  // namespace

int RunPage(const PageOptions& options) {
    Page page(options);
    return page.Run();
}

}  // namespace pagehost
