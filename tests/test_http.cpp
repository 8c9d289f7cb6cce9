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
#include <tlhelp32.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace zarn;

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
        if (fault.empty())
            server::ClearFault(name_);
        else
            server::SetFault(name_, fault);
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

    // Neither reply went into the internet cache (the URL is new to it).
    DWORD entryBytes = 0;
    EXPECT_FALSE(::GetUrlCacheEntryInfoW(url.c_str(), nullptr, &entryBytes));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
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

// The stall limit is about silence, not pace: a body whose first piece comes
// at once with the headers and the rest 8 KiB every 6 s downloads whole.
// What follows the first piece would take 24 s, so a read that took the
// burst for the pace and waited for all of it would be cut off at 20 s.
TEST_F(HttpTest, SlowButSteadyBodyAfterABurstIsNotAStall) {
    const std::string body = Pattern(5 * 8192);
    const std::wstring target = Target();
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(L"YES", HttpDownloadFile(nullptr, Serve(body, "slow 8192 6000"), target));
    const DWORD took = ::GetTickCount() - start;
    EXPECT_GE(took, 23000u) << "the body was not served slowly";
    const auto written = rig::ReadFileBytes(target);
    ASSERT_TRUE(written.has_value());
    EXPECT_TRUE(*written == body) << "got " << written->size() << " bytes";
    std::printf("[ measured ] 40 KiB at 8 KiB every 6 s: %lu ms\n",
                static_cast<unsigned long>(took));
}

// The package takes any reply (its size check judges it); the small fetches
// take only a 200 reply as their text, even one whose error body reads like
// a version or a size.
TEST_F(HttpTest, ErrorRepliesAreThePackagesToJudgeAndFailedSmallFetches) {
    struct Case {
        const char* fault;
        const char* body;  // what the error reply carries
    } cases[] = {{"status 404", "404 Not Found"},
                 {"status 500", "500 Internal Server Error"},
                 {"status 500 1.0.7", "1.0.7"},
                 {"status 404 2048", "2048"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        const std::wstring url = Serve("unused", c.fault);
        const std::wstring target = Target();
        EXPECT_EQ(L"YES", HttpDownloadFile(nullptr, url, target));
        const auto page = rig::ReadFileBytes(target);
        ASSERT_TRUE(page.has_value());
        EXPECT_NE(std::string::npos, page->find(c.body)) << *page;

        const std::wstring small = Target();
        EXPECT_EQ(L"", HttpDownloadFile(nullptr, url, small, kSmallFetchLimits, kVersionFileCap,
                                        AcceptedReplies::OkOnly));
        EXPECT_FALSE(rig::ReadFileBytes(small).has_value()) << "an error reply made a file";
        EXPECT_EQ(L"", HttpRequestText(url));
    }
    // The refused reply's log: its status is the failure's code.
    std::vector<rig::CopyDataMessage> caught;
    for (const auto& record : receiver_.From(kApplication))
        if (record.Text(4100, 2048) == L"CATCH_ALL") caught.push_back(record);
    ASSERT_EQ(caught.size(), std::size(cases));
    for (size_t i = 0; i < caught.size(); ++i) {
        std::int32_t code = 0xdeadbeef;
        std::memcpy(&code, caught[i].bytes.data(), sizeof(code));
        EXPECT_EQ(code, std::atoi(cases[i].fault + 7)) << "got " << code;
        EXPECT_EQ(caught[i].Text(8196, 2048).rfind(L"HTTP status other than 200 at http.cpp:", 0), 0u)
            << rig::Utf8(caught[i].Text(8196, 2048));
    }
    std::vector<std::wstring> expected;
    for (size_t i = 0; i < std::size(cases); ++i)
        expected.insert(expected.end(), {L"OpenURL", L"download : strFileName", L"YES",
                                         L"OpenURL", L"CATCH_ALL", L""});
    EXPECT_EQ(expected, receiver_.Lines(kApplication));
    // A 200 reply is still the small fetches' text.
    EXPECT_EQ(L"1.0.7", HttpRequestText(Serve("1.0.7")));
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
// thread and posts its progress to this one, which draws it, as the update
// dialog does. Every message to the controls is checked to come from this
// thread.
class ProgressWindow : public ProgressSink {
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
    ~ProgressWindow() {
        EXPECT_EQ(0, foreignMessages_) << "a control was told from another thread";
    }

    HWND SizeLabel() const { return label_; }
    HWND DownloadBar() const { return bar_; }

    void DownloadProgress(DWORD received, DWORD total) override {
        ::PostThreadMessageW(thread_, kProgressMessage, received, static_cast<LPARAM>(total));
    }

    std::wstring Download(const std::wstring& url, const std::wstring& target) {
        std::wstring result;
        std::atomic<bool> done{false};
        std::thread worker([&] {
            result = HttpDownloadFile(this, url, target);
            done = true;
        });
        ProgressDisplay display(label_, bar_);
        // Until the download has ended and everything it posted is drawn. The
        // download ends by itself: WinINet gives up on a silent server.
        const ULONGLONG giveUp = ::GetTickCount64() + 240000;
        for (bool drained = false; !drained;) {
            const bool finished = done;
            if (!finished && ::GetTickCount64() > giveUp) {
                ADD_FAILURE() << "the download never returned";
                break;
            }
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, finished ? 0 : 10, QS_ALLINPUT);
            MSG message;
            drained = finished;
            while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                if (!message.hwnd && message.message == kProgressMessage)
                    display.Show(static_cast<DWORD>(message.wParam),
                                 static_cast<DWORD>(message.lParam));
                else
                    ::DispatchMessageW(&message);
            }
        }
        worker.join();
        return result;
    }

    std::vector<std::wstring> texts;
    std::vector<int> positions;

private:
    static constexpr UINT kProgressMessage = WM_APP + 20;

    static LRESULT CALLBACK Record(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<ProgressWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        const bool isLabel = window == self->label_;
        // A window procedure runs on its window's thread whoever sends; a
        // message sent from another thread is one it is still inside.
        if ((message == WM_SETTEXT || message == PBM_SETPOS) && ::InSendMessage())
            ++self->foreignMessages_;
        if (isLabel && message == WM_SETTEXT)
            self->texts.emplace_back(reinterpret_cast<const wchar_t*>(lParam));
        if (!isLabel && message == PBM_SETPOS) self->positions.push_back(static_cast<int>(wParam));
        return ::CallWindowProcW(isLabel ? self->labelProc_ : self->barProc_, window, message,
                                 wParam, lParam);
    }

    const DWORD thread_ = ::GetCurrentThreadId();
    zfw::unique_hwnd frame_;
    HWND label_ = nullptr;  // children: destroyed with the frame
    HWND bar_ = nullptr;
    WNDPROC labelProc_ = nullptr;
    WNDPROC barProc_ = nullptr;
    std::atomic<int> foreignMessages_{0};
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

// ---- Bounded waits

size_t ThreadCount() {
    zfw::unique_handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    size_t count = 0;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more;
         more = ::Thread32Next(snapshot.get(), &entry))
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
    return count;
}

// Serves `bytes` under `name` with `fault`; the URL carries a fresh tag.
std::wstring ServeNamed(const std::wstring& name, std::string_view bytes, std::string_view fault) {
    server::PutFile(name, bytes);
    server::SetFault(name, fault);
    return server::Url(name + L"?" + server::NewTag());
}

// Each kind of wait against a server that stops answering, all at once on
// threads of their own: the call ends by its limit (not before it, not long
// after), and the threads that made the blocked WinINet calls end too once
// the server lets go.
TEST_F(HttpTest, EveryWaitEndsByItsLimit) {
    struct Case {
        const char* what;
        std::wstring url;
        std::function<bool(const std::wstring& url)> fails;  // true when the call failed
        DWORD atLeastMs;
        DWORD atMostMs;
        DWORD tookMs = 0;
        bool failed = false;
    };
    const std::string small = Pattern(1000);
    const std::wstring scratch = rig::ScratchDir(L"http-waits");
    const DWORD baseline = static_cast<DWORD>(ThreadCount());
    std::vector<Case> cases;
    auto download = [&](const std::wstring& file) {
        return [file](const std::wstring& url) {
            return HttpDownloadFile(nullptr, url, file) != kDownloadComplete;
        };
    };
    auto smallFetch = [](const std::wstring& url) { return !FetchSmall(url, kIconCap); };
    // Waiting for the reply's headers: the package's download, the text
    // request and a small fetch.
    cases.push_back({"headers, package", ServeNamed(L"w-silent1.bin", small, "silent 60"),
                     download(scratch + L"\\1.bin"), 19000, 40000});
    cases.push_back({"headers, text", ServeNamed(L"w-silent2.bin", small, "silent 60"),
                     [](const std::wstring& url) { return HttpRequestText(url).empty(); }, 19000,
                     40000});
    cases.push_back({"headers, small", ServeNamed(L"w-silent3.bin", small, "silent 60"),
                     smallFetch, 19000, 40000});
    // Headers that take 27 s, a byte every 0.3 s.
    cases.push_back({"slow headers, small", ServeNamed(L"w-slowhead.bin", small, "slow-headers 300"),
                     smallFetch, 19000, 40000});
    // Reading a body that drips: the package stalls, a small fetch too.
    cases.push_back({"body drip, package", ServeNamed(L"w-drip1.bin", small, "drip 3000 45 1000"),
                     download(scratch + L"\\2.bin"), 19000, 40000});
    cases.push_back({"body drip, small", ServeNamed(L"w-drip2.bin", small, "drip 3000 45 1000"),
                     smallFetch, 19000, 40000});
    // Every single wait short, the whole too long: a block every 6 s, so that
    // even a read that spans two blocks waits 12 s, well under the 20 s of a
    // stall, while the last block would come after 3 minutes. The small
    // fetch's deadline ends it.
    cases.push_back({"deadline, small", ServeNamed(L"w-deadline.bin", Pattern(256 * 1024),
                                                   "slow 8192 6000"),
                     smallFetch, 29000, 35500});

    std::vector<std::thread> threads;
    for (Case& c : cases) {
        threads.emplace_back([&c] {
            const DWORD start = ::GetTickCount();
            c.failed = c.fails(c.url);
            c.tookMs = ::GetTickCount() - start;
        });
    }
    for (auto& thread : threads) thread.join();
    for (const Case& c : cases) {
        EXPECT_TRUE(c.failed) << c.what;
        EXPECT_GE(c.tookMs, c.atLeastMs) << c.what;
        EXPECT_LE(c.tookMs, c.atMostMs) << c.what;
        std::printf("[ measured ] %-20s failed after %lu ms\n", c.what,
                    static_cast<unsigned long>(c.tookMs));
    }
    // The calls left behind end when WinINet gives up on the silence or the
    // server closes (WinINet gives up on a silent server by itself; the drips stop after 45 s).
    rig::WaitFor([&] { return ThreadCount() <= baseline; }, 90000, 250);
    EXPECT_LE(ThreadCount(), baseline) << "a blocked call never ended";
}

TEST_F(HttpTest, BodiesOverTheirCapFail) {
    // Announced by Content-Length, or found out while reading.
    for (const char* fault : {"huge 70000", "huge 70000 no-length"}) {
        SCOPED_TRACE(fault);
        const std::wstring url = Serve("unused", fault);
        EXPECT_EQ(L"", HttpDownloadFile(nullptr, url, Target(), kSmallFetchLimits,
                                        kVersionFileCap));
        EXPECT_EQ(L"", HttpRequestText(url));
        EXPECT_FALSE(FetchSmall(url, kVersionFileCap));
        const auto whole = FetchSmall(url, 70000);
        ASSERT_TRUE(whole);
        EXPECT_EQ(whole->body.size(), 70000u);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"OpenURL", L"download : strFileName", L"CATCH_ALL", L"",
                                         L"OpenURL", L"download : strFileName", L"CATCH_ALL", L""}),
              receiver_.Lines(kApplication));

    // Exactly at the cap is whole.
    const std::string cap(kTextReplyCap, '7');
    EXPECT_EQ(rig::Wide(cap), HttpRequestText(Serve(cap)));
    EXPECT_EQ(L"", HttpRequestText(Serve(cap + "7")));
    const std::string version = Pattern(kVersionFileCap);
    const std::wstring target = Target();
    EXPECT_EQ(L"YES", HttpDownloadFile(nullptr, Serve(version), target, kSmallFetchLimits,
                                       kVersionFileCap));
    EXPECT_TRUE(rig::ReadFileBytes(target) == version);
}

TEST_F(HttpTest, SmallFetchGivesStatusAndBodyAndFailsOnABrokenConnection) {
    const auto ok = FetchSmall(Serve("release 7"), 100);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200u);
    EXPECT_EQ(ok->body, "release 7");
    const auto missing = FetchSmall(Serve("unused", "status 404"), 1000);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404u);
    EXPECT_NE(missing->body.find("404"), std::string::npos);
    const auto empty = FetchSmall(Serve(""), 100);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->body.empty());

    const std::string body = Pattern(20000);
    EXPECT_FALSE(FetchSmall(Serve(body, "reset-mid-body"), kIconCap));
    EXPECT_EQ(L"", HttpDownloadFile(nullptr, Serve(body, "reset-mid-body"), Target()));
    server::RefuseConnections(true);
    const auto refused = FetchSmall(Serve("x"), 100);
    server::RefuseConnections(false);
    EXPECT_FALSE(refused);
}

}  // namespace
