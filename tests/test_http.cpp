// The HTTP transfer helper against the update server stand-in: what goes on
// the wire (from the server's request log), what lands on disk, the log lines
// and the progress shown in real controls.
#include "update/http.h"

#include "common/log_receiver.h"
#include "common/rig.h"
#include "common/updateserver.h"
#include "framework/handle.h"

#include <commctrl.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace server = rig::updateserver;

const std::wstring kApplication = L"test_http";

// The first three parts of the header block, as they must appear on the wire;
// WinINet ends the header block itself, so the closing CR LF LF is not seen.
const std::string kHeaderLines =
    "Accept: */*\r\n"
    "User-Agent: Mozilla/4.0 (compatible; MSIE 5.0;* Windows NT)\r\n"
    "Content-type: application/x-www-form-urlencoded\r\n";

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    return bytes;
}

std::wstring ByteSize(DWORD bytes) {
    wchar_t text[256] = {};
    ::StrFormatByteSizeW(bytes, text, 256);
    return text;
}

class HttpTest : public ::testing::Test {
protected:
    // Serves `bytes` as a file of this test and returns its tagged URL.
    std::wstring Serve(std::string_view bytes, std::string_view fault = {}) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        name_ = rig::Wide(info->name()) + L".bin";
        server::PutFile(name_, bytes);
        if (!fault.empty()) server::SetFault(name_, fault);
        tag_ = server::NewTag();
        return server::Url(name_ + L"?" + tag_);
    }
    std::vector<server::Request> Requests() const { return server::RequestsTagged(tag_); }
    // A download target with no file there yet (scratch folders are named by
    // process id, which Wine hands out again in later runs).
    std::wstring Target() {
        const std::wstring path = rig::ScratchDir(L"http") + L"\\download.bin";
        ::DeleteFileW(path.c_str());
        return path;
    }

    rig::LogReceiver receiver_;
    std::wstring name_;
    std::wstring tag_;
};

TEST_F(HttpTest, BothOperationsSendTheSameGetWithTheHeaderBlock) {
    const std::wstring url = Serve("1.0.7");
    EXPECT_EQ(L"YES", HttpDownloadFile(nullptr, url, Target()));
    EXPECT_EQ(L"1.0.7", HttpRequestText(url));

    const auto requests = Requests();
    ASSERT_EQ(2u, requests.size()) << "one request per call";
    for (const auto& request : requests) {
        EXPECT_EQ("GET", request.method);
        EXPECT_NE(std::string::npos, request.raw.find("\r\n" + kHeaderLines)) << request.raw;
        EXPECT_EQ(std::string::npos, request.raw.find("Content-Length")) << request.raw;
        EXPECT_TRUE(request.body.empty()) << "no request body";
    }
    EXPECT_EQ(requests[0].raw, requests[1].raw);
}

TEST_F(HttpTest, DownloadWritesWholeBodiesOfAnySize) {
    struct Case {
        size_t size;
        const char* fault;
    } cases[] = {{0, ""}, {1024, ""}, {5 * 1024 * 1024 + 17, ""}, {70000, "slow 8192 20"}};
    for (const Case& c : cases) {
        const std::string body = Pattern(c.size);
        const std::wstring url = Serve(body, c.fault);
        const std::wstring target = Target();
        EXPECT_EQ(L"YES", HttpDownloadFile(nullptr, url, target)) << c.size;
        const auto written = rig::ReadFileBytes(target);
        ASSERT_TRUE(written.has_value()) << c.size;
        EXPECT_TRUE(*written == body) << c.size << " bytes, got " << written->size();
    }
    std::vector<std::wstring> expected;
    for (size_t i = 0; i < std::size(cases); ++i)
        expected.insert(expected.end(), {L"OpenURL", L"download : strFileName", L"YES"});
    EXPECT_EQ(expected, receiver_.Lines(kApplication));
}

TEST_F(HttpTest, ErrorPagesCountAsFetched) {
    for (const char* fault : {"status 404", "status 500"}) {
        const std::wstring url = Serve("unused", fault);
        const std::wstring target = Target();
        EXPECT_EQ(L"YES", HttpDownloadFile(nullptr, url, target)) << fault;
        const auto page = rig::ReadFileBytes(target);
        ASSERT_TRUE(page.has_value());
        EXPECT_NE(std::string::npos, page->find(fault + 7)) << *page;
        EXPECT_NE(std::wstring::npos, HttpRequestText(url).find(rig::Wide(fault + 7)));
    }
}

TEST_F(HttpTest, RefusedConnectionCreatesNoFile) {
    const std::wstring url = Serve("data");
    server::RefuseConnections(true);
    const std::wstring target = Target();
    const std::wstring result = HttpDownloadFile(nullptr, url, target);
    const std::wstring text = HttpRequestText(url);
    server::RefuseConnections(false);

    EXPECT_EQ(L"", result);
    EXPECT_EQ(L"", text);
    EXPECT_FALSE(rig::ReadFileBytes(target).has_value());
    EXPECT_EQ((std::vector<std::wstring>{L"CATCH_ALL", L""}), receiver_.Lines(kApplication));
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(L"data", HttpRequestText(url)) << "the server listens again";
}

TEST_F(HttpTest, BodyCutMidwayLeavesThePartialFileAndNoYes) {
    const std::string body = Pattern(50000);
    const std::wstring url = Serve(body, "cut 20000");
    const std::wstring target = Target();
    EXPECT_EQ(L"", HttpDownloadFile(nullptr, url, target));
    const auto written = rig::ReadFileBytes(target);
    ASSERT_TRUE(written.has_value()) << "the partial file stays";
    EXPECT_TRUE(*written == body.substr(0, 20000)) << written->size() << " bytes";
    EXPECT_EQ((std::vector<std::wstring>{L"OpenURL", L"download : strFileName", L"CATCH_ALL", L""}),
              receiver_.Lines(kApplication));
}

TEST_F(HttpTest, UncreatableLocalFileIsAQuietFailure) {
    const std::wstring url = Serve("data");
    const std::wstring target = rig::ScratchDir(L"http") + L"\\missing-folder\\file.bin";
    EXPECT_EQ(L"", HttpDownloadFile(nullptr, url, target));
    EXPECT_EQ((std::vector<std::wstring>{L"OpenURL", L"download : strFileName", L"CATCH_ALL", L""}),
              receiver_.Lines(kApplication));
}

TEST_F(HttpTest, TextReplyIsReturnedWholeAndInOrder) {
    std::string text;
    for (int i = 0; text.size() < 1500; ++i) text += "line " + std::to_string(i) + "\r\n";
    EXPECT_EQ(rig::Wide(text), HttpRequestText(Serve(text)));
    // A zero byte ends the text of its block; the size reply keeps its
    // extra characters.
    EXPECT_EQ(L"12", HttpRequestText(Serve(std::string("12\0 34", 6))));
    EXPECT_EQ(L" 123\r\n", HttpRequestText(Serve("unused", "reply  123\\r\\n")));
    EXPECT_TRUE(receiver_.Lines(kApplication).empty()) << "the text request logs nothing";
}

TEST_F(HttpTest, WaitCursorEndsWithTheCall) {
    const HCURSOR arrow = ::LoadCursorW(nullptr, IDC_ARROW);
    ::SetCursor(arrow);
    HttpDownloadFile(nullptr, Serve("x"), Target());
    EXPECT_EQ(arrow, ::GetCursor());
}

// A window with a size label and a progress bar (0 to 100) on this thread,
// recording what the download tells them; the download runs on another
// thread while this one serves the controls, as the update dialog does.
class ProgressWindow : public ProgressOwner {
public:
    ProgressWindow() {
        INITCOMMONCONTROLSEX init{sizeof(init), ICC_PROGRESS_CLASS};
        ::InitCommonControlsEx(&init);
        frame_.reset(::CreateWindowExW(0, L"STATIC", L"progress", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                       0, 0, 400, 120, nullptr, nullptr, nullptr, nullptr));
        label_ = ::CreateWindowExW(0, L"STATIC", L"0KB/0KB", WS_CHILD | WS_VISIBLE | SS_RIGHT, 10,
                                   10, 300, 20, frame_.get(), nullptr, nullptr, nullptr);
        bar_ = ::CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 10,
                                 40, 300, 20, frame_.get(), nullptr, nullptr, nullptr);
        ::SendMessageW(bar_, PBM_SETRANGE32, 0, 100);
        ::SetWindowLongPtrW(label_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        ::SetWindowLongPtrW(bar_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        labelProc_ = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
            label_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ProgressWindow::Record)));
        barProc_ = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
            bar_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ProgressWindow::Record)));
    }

    HWND SizeLabel() const override { return label_; }
    HWND DownloadBar() const override { return bar_; }

    std::wstring Download(const std::wstring& url, const std::wstring& target) {
        std::wstring result;
        std::atomic<bool> done{false};
        std::thread worker([&] {
            result = HttpDownloadFile(this, url, target);
            done = true;
        });
        while (!done) {
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
            MSG message;
            while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
        }
        worker.join();
        return result;
    }

    std::vector<std::wstring> texts;
    std::vector<int> positions;

private:
    static LRESULT CALLBACK Record(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<ProgressWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        const bool isLabel = window == self->label_;
        if (isLabel && message == WM_SETTEXT)
            self->texts.emplace_back(reinterpret_cast<const wchar_t*>(lParam));
        if (!isLabel && message == PBM_SETPOS) self->positions.push_back(static_cast<int>(wParam));
        return ::CallWindowProcW(isLabel ? self->labelProc_ : self->barProc_, window, message,
                                 wParam, lParam);
    }

    zfw::unique_hwnd frame_;
    HWND label_ = nullptr;  // children: destroyed with the frame
    HWND bar_ = nullptr;
    WNDPROC labelProc_ = nullptr;
    WNDPROC barProc_ = nullptr;
};

TEST_F(HttpTest, ProgressShowsSizesAndEndsAtOneHundred) {
    const DWORD size = 300 * 1024 + 5;
    ProgressWindow window;
    ASSERT_EQ(L"YES", window.Download(Serve(Pattern(size)), Target()));

    ASSERT_FALSE(window.texts.empty());
    EXPECT_EQ(ByteSize(512) + L" / " + ByteSize(size), window.texts.front());
    EXPECT_EQ(ByteSize(size) + L" / " + ByteSize(size), window.texts.back());
    for (size_t i = 1; i < window.texts.size(); ++i)
        ASSERT_NE(window.texts[i - 1], window.texts[i]) << "told again what it already shows";
    wchar_t shown[256] = {};
    ::GetWindowTextW(window.SizeLabel(), shown, 256);
    EXPECT_EQ(window.texts.back(), shown);

    ASSERT_FALSE(window.positions.empty());
    EXPECT_EQ(0, window.positions.front());
    EXPECT_EQ(100, window.positions.back());
    EXPECT_TRUE(std::is_sorted(window.positions.begin(), window.positions.end()));
    EXPECT_EQ(100, ::SendMessageW(window.DownloadBar(), PBM_GETPOS, 0, 0));
}

TEST_F(HttpTest, ProgressWithoutContentLengthStaysAtZero) {
    const std::string body = Pattern(20000);
    ProgressWindow window;
    const std::wstring target = Target();
    ASSERT_EQ(L"YES", window.Download(Serve(body, "no-length"), target));
    EXPECT_EQ(std::vector<std::wstring>{L"0KB / 0KB"}, window.texts);
    EXPECT_EQ(std::vector<int>{0}, window.positions);
    EXPECT_TRUE(rig::ReadFileBytes(target) == body);
}

TEST_F(HttpTest, BodyLongerThanContentLengthGoesAboveOneHundred) {
    ProgressWindow window;
    ASSERT_EQ(L"YES", window.Download(Serve(Pattern(4096), "short-length 2048"), Target()));
    ASSERT_FALSE(window.positions.empty());
    EXPECT_EQ(200, window.positions.back());
    EXPECT_EQ(ByteSize(4096) + L" / " + ByteSize(2048), window.texts.back());
}

}  // namespace
