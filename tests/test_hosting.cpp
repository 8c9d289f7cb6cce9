// The control hosted as a page hosts it: in the system's ATL container, in
// place, with a window of its own, and drawing itself.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include "common/com_helpers.h"
#include "common/rig.h"
#include "control/identity.h"
#include "framework/handle.h"

using Microsoft::WRL::ComPtr;

namespace {

using AxWinInit = BOOL(WINAPI*)();
using AxCreateControlEx = HRESULT(WINAPI*)(LPCOLESTR, HWND, IStream*, IUnknown**, IUnknown**,
                                           REFIID, IUnknown*);

class Hosted : public ::testing::Test {
protected:
    void SetUp() override {
        atl_.reset(::LoadLibraryW(L"atl.dll"));
        ASSERT_TRUE(atl_);
        const auto init = reinterpret_cast<AxWinInit>(
            reinterpret_cast<void*>(::GetProcAddress(atl_.get(), "AtlAxWinInit")));
        const auto create = reinterpret_cast<AxCreateControlEx>(
            reinterpret_cast<void*>(::GetProcAddress(atl_.get(), "AtlAxCreateControlEx")));
        ASSERT_TRUE(init && create);
        // The container's window class is registered once per process.
        static const bool initialised = init();
        ASSERT_TRUE(initialised);
        page_.reset(::CreateWindowExW(0, L"STATIC", L"page", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300,
                                      nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(page_);
        host_.reset(::CreateWindowExW(0, L"AtlAxWin", L"", WS_CHILD | WS_VISIBLE, 10, 10, 200, 100,
                                      page_.get(), nullptr, nullptr, nullptr));
        ASSERT_TRUE(host_);
        const HRESULT hr = create(L"WEB_CONTROL.WebControlCtrl.1", host_.get(), nullptr,
                                  &container_, &control_, IID_NULL, nullptr);
        ASSERT_EQ(S_OK, hr) << std::hex << "got 0x" << hr;
        ASSERT_TRUE(control_);
    }
    void TearDown() override {
        ComPtr<IOleObject> ole;
        if (control_ && SUCCEEDED(control_.As(&ole))) ole->Close(OLECLOSE_NOSAVE);
        control_.Reset();
        container_.Reset();
        host_.reset();
        page_.reset();
    }

    rig::ComApartment apartment_;
    zfw::unique_hmodule atl_;
    zfw::unique_hwnd page_, host_;
    ComPtr<IUnknown> container_, control_;
};

TEST_F(Hosted, IsInPlaceActiveWithAChildWindow) {
    ComPtr<IOleInPlaceObject> inPlace;
    ASSERT_EQ(S_OK, control_.As(&inPlace));
    HWND window = reinterpret_cast<HWND>(0xdeadbeef);
    ASSERT_EQ(S_OK, inPlace->GetWindow(&window));
    ASSERT_TRUE(::IsWindow(window));
    EXPECT_TRUE(::GetWindowLongW(window, GWL_STYLE) & WS_CHILD);
    EXPECT_TRUE(::IsChild(page_.get(), window)) << "the control's window sits in the page";

    // Closing ends the in-place session and its window.
    ComPtr<IOleObject> ole;
    ASSERT_EQ(S_OK, control_.As(&ole));
    EXPECT_EQ(S_OK, ole->Close(OLECLOSE_NOSAVE));
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_EQ(E_FAIL, inPlace->GetWindow(&window));
}

TEST_F(Hosted, DrawsAWhiteRectangleWithTheInscribedEllipse) {
    ComPtr<IViewObject> view;
    ASSERT_EQ(S_OK, control_.As(&view));
    zfw::unique_hdc dc(::CreateCompatibleDC(nullptr));
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = 100;
    bmi.bmiHeader.biHeight = -60;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    zfw::unique_gdiobj bitmap(::CreateDIBSection(dc.get(), &bmi, DIB_RGB_COLORS, &bits, nullptr, 0));
    ASSERT_TRUE(bitmap);
    HGDIOBJ old = ::SelectObject(dc.get(), bitmap.get());
    const RECT all{0, 0, 100, 60};
    zfw::unique_gdiobj red(::CreateSolidBrush(RGB(255, 0, 0)));
    ::FillRect(dc.get(), &all, static_cast<HBRUSH>(red.get()));

    const RECTL bounds{0, 0, 100, 50};
    ASSERT_EQ(S_OK, view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc.get(), &bounds,
                               nullptr, nullptr, 0));
    ::GdiFlush();
    EXPECT_EQ(RGB(255, 255, 255), ::GetPixel(dc.get(), 1, 1)) << "corner outside the ellipse";
    EXPECT_EQ(RGB(255, 255, 255), ::GetPixel(dc.get(), 98, 48));
    EXPECT_EQ(RGB(0, 0, 0), ::GetPixel(dc.get(), 50, 0)) << "the ellipse touches the top edge";
    EXPECT_EQ(RGB(0, 0, 0), ::GetPixel(dc.get(), 0, 25)) << "and the left edge";
    EXPECT_EQ(RGB(255, 255, 255), ::GetPixel(dc.get(), 50, 25)) << "filled with the DC's brush";
    EXPECT_EQ(RGB(255, 0, 0), ::GetPixel(dc.get(), 50, 55)) << "nothing outside the bounds";

    // A paint request without a device context draws nothing and does not fail.
    EXPECT_EQ(S_OK, view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, 0));
    ::SelectObject(dc.get(), old);
}

TEST_F(Hosted, ScriptCallsWorkOnTheHostedControl) {
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, control_.As(&dispatch));
    rig::CallResult r;
    rig::CallByName(dispatch.Get(), L"CheckInstall", {}, r);
    EXPECT_EQ(S_OK, r.hr);
}

TEST(PropertyPage, ShowsItsCaptionAndText) {
    rig::ComApartment apartment;
    ComPtr<IPropertyPage> page;
    ASSERT_EQ(S_OK, ::CoCreateInstance(zarn::CLSID_WebControlPropPage, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_PPV_ARGS(&page)));
    PROPPAGEINFO info{};
    ASSERT_EQ(S_OK, page->GetPageInfo(&info));
    ASSERT_NE(nullptr, info.pszTitle);
    EXPECT_STREQ(L"일반", info.pszTitle);
    EXPECT_GT(info.size.cx, info.size.cy) << "250 by 62 dialog units";
    EXPECT_GT(info.size.cy, 0);
    ::CoTaskMemFree(info.pszTitle);

    zfw::unique_hwnd frame(::CreateWindowExW(0, L"STATIC", L"frame", WS_OVERLAPPEDWINDOW, 0, 0, 500,
                                             200, nullptr, nullptr, nullptr, nullptr));
    const RECT rect{0, 0, 400, 100};
    ASSERT_EQ(S_OK, page->Activate(frame.get(), &rect, TRUE));
    HWND dialog = ::GetWindow(frame.get(), GW_CHILD);
    ASSERT_TRUE(dialog);
    wchar_t text[256] = {};
    ::GetDlgItemTextW(dialog, 201, text, 256);
    EXPECT_STREQ(L"TODO: 이 대화 상자에 WebControl 컨트롤의 속성을 조작하는 컨트롤을 배치합니다.", text);
    EXPECT_EQ(S_FALSE, page->IsPageDirty());
    EXPECT_EQ(S_OK, page->Apply());
    EXPECT_EQ(S_OK, page->Deactivate());
    EXPECT_FALSE(::IsWindow(dialog));
}

}  // namespace
