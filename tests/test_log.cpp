// The log channel: records as a real receiver window gets them, and the
// xlogwnd viewer writing them out.
#include "support/log.h"

#include "common/log_receiver.h"
#include "common/rig.h"
#include "framework/handle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace zarn;

namespace {

// The application field of records sent from this test program.
const std::wstring kApplication = L"test_log";

constexpr size_t kCode = 0, kApplicationField = 4, kLocation = 2052, kMessage = 4100,
                 kExtra = 8196, kRecordBytes = 12292;

bool AllZero(const std::vector<BYTE>& bytes, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

TEST(LogRecordTest, FieldsAtTheirOffsetsInAZeroFilledRecord) {
    rig::LogReceiver receiver;
    Log(LogSite{0, 42, "http.cpp", nullptr}, L"OpenURL");

    const auto messages = receiver.From(kApplication);
    ASSERT_EQ(1u, messages.size());
    const rig::CopyDataMessage& record = messages[0];
    EXPECT_EQ(0xFEFFu, record.dwData);
    EXPECT_EQ(0u, record.wParam) << "no sender window";
    ASSERT_EQ(kRecordBytes, record.bytes.size());

    EXPECT_TRUE(AllZero(record.bytes, kCode, kApplicationField)) << "code 0";
    EXPECT_EQ(L"42 line in http.cpp", record.Text(kLocation, 1024));
    EXPECT_EQ(L"OpenURL", record.Text(kMessage, 2048));
    EXPECT_TRUE(AllZero(record.bytes, kExtra, kRecordBytes)) << "no extra text";
    // Past each text's terminator, the rest of its field stays zero.
    EXPECT_TRUE(AllZero(record.bytes, kApplicationField + 2 * kApplication.size(), kLocation));
    EXPECT_TRUE(AllZero(record.bytes, kLocation + 2 * 19, kMessage));
    EXPECT_TRUE(AllZero(record.bytes, kMessage + 2 * 7, kExtra));
}

TEST(LogRecordTest, CodeArgumentsAndExtraTextAreCopied) {
    rig::LogReceiver receiver;
    Log(LogSite{0x12345678, -3, "a.cpp", L"extra"}, L"%d-%s", 7, L"x");

    const auto messages = receiver.From(kApplication);
    ASSERT_EQ(1u, messages.size());
    const auto& bytes = messages[0].bytes;
    EXPECT_EQ(std::vector<BYTE>({0x78, 0x56, 0x34, 0x12}),
              std::vector<BYTE>(bytes.begin(), bytes.begin() + 4));
    EXPECT_EQ(L"-3 line in a.cpp", messages[0].Text(kLocation, 1024));
    EXPECT_EQ(L"7-x", messages[0].Text(kMessage, 2048));
    EXPECT_EQ(L"extra", messages[0].Text(kExtra, 2048));
}

TEST(LogRecordTest, LongTextsAreCutInsideTheirFields) {
    rig::LogReceiver receiver;
    const std::wstring longText(3000, L'm');
    const std::string longName(3000, 'f');
    Log(LogSite{0, 1, longName.c_str(), longText.c_str()}, L"%s", longText.c_str());

    const auto messages = receiver.From(kApplication);
    ASSERT_EQ(1u, messages.size());
    const rig::CopyDataMessage& record = messages[0];
    // The formatter stops at 1,023 units; the extra field holds 2,047.
    EXPECT_EQ(1023u, record.Text(kLocation, 1024).size());
    EXPECT_EQ(L"1 line in fff", record.Text(kLocation, 13));
    EXPECT_EQ(1023u, record.Text(kMessage, 2048).size());
    EXPECT_EQ(2047u, record.Text(kExtra, 2048).size());
    EXPECT_EQ(0, record.bytes[kExtra + 2 * 2047] | record.bytes[kExtra + 2 * 2047 + 1]);
}

TEST(LogRecordTest, MacroPassesTheCallersLineAndFile) {
    rig::LogReceiver receiver;
    const int line = __LINE__ + 1;
    ZARN_LOG(L"FileVersionCheck");

    const auto messages = receiver.From(kApplication);
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(std::to_wstring(line) + L" line in test_log.cpp", messages[0].Text(kLocation, 1024));
    EXPECT_EQ(L"FileVersionCheck", messages[0].Text(kMessage, 2048));
}

TEST(LogRecordTest, WindowMatchingOnlyClassOrOnlyTitleGetsNothing) {
    rig::LogReceiver classOnly(L"xLogWnd Receiver", L"Another title");
    rig::LogReceiver titleOnly(L"Another Receiver", L"xLogWnd");
    ZARN_LOG(L"nobody listens");
    EXPECT_TRUE(classOnly.From(kApplication).empty());
    EXPECT_TRUE(titleOnly.From(kApplication).empty());
}

// The viewer tool writes each record as one tab-separated line.
TEST(LogViewerTest, AppendsOneLinePerRecordToItsFile) {
    const std::wstring file = rig::ScratchDir(L"xlogwnd") + L"\\lines.txt";
    ::DeleteFileW(file.c_str());  // the viewer appends; scratch names recur across runs
    const zfw::unique_handle process =
        rig::Start(L"\"" + rig::BuildDir() + L"\\xlogwnd.exe\" \"" + file + L"\"");
    ASSERT_TRUE(process);

    HWND viewer = nullptr;
    rig::WaitFor([&] { return viewer = ::FindWindowW(L"xLogWnd Receiver", L"xLogWnd"); }, 10000, 50);
    ASSERT_NE(nullptr, viewer) << "viewer window did not appear";

    // Something that is not a whole record is ignored, not read past its end.
    char junk[10] = {};
    COPYDATASTRUCT notARecord{0xFEFF, sizeof(junk), junk};
    EXPECT_EQ(FALSE, ::SendMessageW(viewer, WM_COPYDATA, 0,
                                    reinterpret_cast<LPARAM>(&notARecord)));

    const int line = __LINE__ + 1;
    ZARN_LOG(L"OpenURL");
    Log(LogSite{5, 9, "x.cpp", L"more"}, L"two\r\nlines");
    ::PostMessageW(viewer, WM_CLOSE, 0, 0);
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(process.get(), 10000));

    zfw::unique_file text(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(text);
    std::string buffer(1 << 20, '\0');
    DWORD got = 0;
    ASSERT_TRUE(::ReadFile(text.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got,
                           nullptr));
    buffer.resize(got);
    // Modules in other suites' processes log to any viewer that is up: only
    // this process's lines are this test's.
    std::vector<std::string> lines;
    for (auto& line : rig::Lines(buffer))
        if (line.rfind("test_log\t", 0) == 0) lines.push_back(std::move(line));
    ASSERT_EQ(2u, lines.size()) << buffer;
    EXPECT_EQ("test_log\t" + std::to_string(line) + " line in test_log.cpp\tOpenURL", lines[0]);
    EXPECT_EQ("test_log\t9 line in x.cpp\ttwo  lines\tcode 5\tmore", lines[1]);
}

}  // namespace
