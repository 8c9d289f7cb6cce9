// The hand-off loop and its record, driven directly: pass counts with a
// scripted channel, the conversion on code pages a test prefix does not
// run with, and the send rules against real windows of programs that hang.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "common/rig.h"
#include "common/thread_window.h"
#include "launch/handoff.h"
#include "launch/handoff_record.h"

namespace {

using zarn::HandOff;
using zarn::HandOffChannel;
using zarn::HandOffRecord;
using Reply = HandOffChannel::Reply;

HWND const kWindow = reinterpret_cast<HWND>(0x1234);

// Answers Find() from `windows` and Send() from `replies` in turn (the last
// entry repeats), and keeps what was asked of it. Time is its own: a wait
// takes what it asks, a send `answerMs` (or its whole limit when that is
// shorter, and then it is abandoned).
class ScriptedChannel : public HandOffChannel {
public:
    ScriptedChannel(std::vector<HWND> windows, std::vector<Reply> replies, ULONGLONG answerMs = 0)
        : windows_(std::move(windows)), replies_(std::move(replies)), answerMs_(answerMs) {}

    HWND Find() override {
        ++finds;
        return windows_[std::min(finds - 1, windows_.size() - 1)];
    }
    Reply Send(HWND window, const COPYDATASTRUCT& record, UINT limitMs) override {
        EXPECT_EQ(window, kWindow);
        sent.emplace_back(static_cast<const char*>(record.lpData), record.cbData);
        limits.push_back(limitMs);
        if (answerMs_ > limitMs) return now += limitMs, Reply::Abandoned;
        now += answerMs_;
        return replies_[std::min(sent.size() - 1, replies_.size() - 1)];
    }
    void Wait(DWORD ms) override { waits.push_back(ms), now += ms; }
    ULONGLONG Now() override { return now; }

    size_t finds = 0;
    std::vector<std::string> sent;
    std::vector<UINT> limits;
    std::vector<DWORD> waits;
    ULONGLONG now = 1000000;

private:
    std::vector<HWND> windows_;
    std::vector<Reply> replies_;
    ULONGLONG answerMs_;
};

TEST(HandOffLoop, NoWindowMeansTenLookupsAndTenWaits) {
    ScriptedChannel channel({nullptr}, {Reply::Taken});
    EXPECT_EQ(HandOff(channel).Deliver(L"x"), HandOff::Outcome::NeverTaken);
    EXPECT_EQ(channel.finds, 10u);
    EXPECT_TRUE(channel.sent.empty());
    EXPECT_EQ(channel.waits, std::vector<DWORD>(10, 500));
}

TEST(HandOffLoop, RepliesOtherThanOneResendTheSameList) {
    ScriptedChannel fourth({kWindow}, {Reply::NotTaken, Reply::NotTaken, Reply::NotTaken, Reply::Taken});
    EXPECT_EQ(HandOff(fourth).Deliver(L"ab"), HandOff::Outcome::Taken);
    EXPECT_EQ(fourth.sent, std::vector<std::string>(4, std::string("ab\0", 3)));
    EXPECT_EQ(fourth.waits.size(), 3u) << "no wait after the 1";

    ScriptedChannel never({kWindow}, {Reply::NotTaken});
    EXPECT_EQ(HandOff(never).Deliver(L"ab"), HandOff::Outcome::NeverTaken);
    EXPECT_EQ(never.sent.size(), 10u);
    EXPECT_EQ(never.waits.size(), 10u);
}

TEST(HandOffLoop, AWindowJustFoundServesOnlyTheFirstPass) {
    // Sent at once through the given window; the second pass searches.
    ScriptedChannel twice({kWindow}, {Reply::NotTaken, Reply::Taken});
    EXPECT_EQ(HandOff(twice).Deliver(L"ab", kWindow), HandOff::Outcome::Taken);
    EXPECT_EQ(twice.finds, 1u);
    EXPECT_EQ(twice.sent.size(), 2u);

    // The window closes after the first send: the search finds it gone.
    ScriptedChannel gone({nullptr}, {Reply::NotTaken});
    EXPECT_EQ(HandOff(gone).Deliver(L"ab", kWindow), HandOff::Outcome::WindowGone);
    EXPECT_EQ(gone.finds, 1u);
    EXPECT_EQ(gone.sent.size(), 1u);
    EXPECT_EQ(gone.waits, std::vector<DWORD>{500});
}

// A program that answers 0 just before each send's limit: the passes share
// one limit, so the second send gets only what the first left over, and the
// hand-off ends within the limit instead of ten limits.
TEST(HandOffLoop, SlowAnswersShareOneTimeLimit) {
    constexpr UINT kLimit = 10000;
    ScriptedChannel slow({kWindow}, {Reply::NotTaken}, 9000);
    EXPECT_EQ(HandOff(slow, kLimit).Deliver(L"ab"), HandOff::Outcome::Abandoned);
    EXPECT_EQ(slow.limits, (std::vector<UINT>{kLimit, kLimit - 9000 - 500}));
    EXPECT_EQ(slow.now - 1000000, kLimit);

    // Time runs out during a wait: it is cut to what is left, and no send
    // follows with nothing left to answer in.
    ScriptedChannel late({kWindow}, {Reply::NotTaken}, 4700);
    EXPECT_EQ(HandOff(late, kLimit).Deliver(L"ab"), HandOff::Outcome::NeverTaken);
    EXPECT_EQ(late.limits, (std::vector<UINT>{10000, 4800}));
    EXPECT_EQ(late.waits, (std::vector<DWORD>{500, 100}));
    EXPECT_EQ(late.now - 1000000, kLimit);

    // Quick answers still get all ten passes within the default limit.
    ScriptedChannel quick({kWindow}, {Reply::NotTaken}, 20);
    EXPECT_EQ(HandOff(quick).Deliver(L"ab"), HandOff::Outcome::NeverTaken);
    EXPECT_EQ(quick.sent.size(), 10u);
    EXPECT_EQ(quick.limits.back(), HandOff::kDefaultLimitMs - 9 * 520);
}

// ---- the record

std::string Bytes(const HandOffRecord& record) {
    return std::string(static_cast<const char*>(record.data().lpData), record.data().cbData);
}

TEST(HandOffRecordText, ConvertsWholeListWithTerminatorOnAnyCodePage) {
    // UTF-8 needs three bytes per syllable, more than two per unit: the
    // whole list must still arrive, not a cut or overrun one.
    const std::wstring longKorean(5000, L'\uD55C');  // 한 x 5000
    const HandOffRecord utf8(longKorean, CP_UTF8);
    ASSERT_TRUE(utf8.converted());
    ASSERT_EQ(utf8.data().cbData, 15001u);
    std::string expected;
    for (int i = 0; i < 5000; ++i) expected += "\xED\x95\x9C";
    EXPECT_EQ(Bytes(utf8), expected + '\0');

    // No mapping: the code page's default character.
    const HandOffRecord latin(L"a\uD55Cb", 1252);
    EXPECT_EQ(Bytes(latin), std::string("a?b\0", 4));
    EXPECT_TRUE(latin.usedDefault());
    EXPECT_FALSE(utf8.usedDefault());
}

// Look-alikes of the list's separators have no exact mapping on 1252: they
// become the default character, never '|', '/' or '\\'.
TEST(HandOffRecordText, LookAlikesBecomeTheDefaultCharacter) {
    const HandOffRecord lookAlikes(L"a\uFF5Cb\uFF0Fc\u2216d|e/f", 1252);
    ASSERT_TRUE(lookAlikes.converted());
    EXPECT_EQ(Bytes(lookAlikes), std::string("a?b?c?d|e/f\0", 12));
    EXPECT_TRUE(lookAlikes.usedDefault());

    // What the code page holds exactly goes through unchanged, unflagged.
    const HandOffRecord exact(L"\u00E9|\u00A6", 1252);
    EXPECT_EQ(Bytes(exact), std::string("\xE9|\xA6\0", 4));
    EXPECT_FALSE(exact.usedDefault());
}

// ---- the send limit, against a window whose handler does not return

// Window procedures are stdcall on 32-bit Windows, which a lambda is not.
std::atomic<int> g_hungReceived{0};
std::atomic<bool> g_hungRelease{false};
LRESULT CALLBACK HungProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_COPYDATA) {
        ++g_hungReceived;
        // Hangs inside the handler until the test is done with it.
        rig::WaitFor([] { return g_hungRelease.load(); }, 60000);
        return 1;
    }
    return ::DefWindowProcW(w, m, wp, lp);
}

std::atomic<int> g_stalledReceived{0};
LRESULT CALLBACK StalledProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_COPYDATA) return ++g_stalledReceived, 1;
    return ::DefWindowProcW(w, m, wp, lp);
}

TEST(ProgramWindowSend, HungHandlerIsAbandonedAfterTheLimitAndNotResent) {
    std::atomic<int>& received = g_hungReceived;
    std::atomic<bool>& release = g_hungRelease;
    rig::ThreadWindow program(L"HandOffHungProgram", HungProc);
    ASSERT_NE(program.get(), nullptr);

    // Counts the sends: a second one could not reach the busy handler.
    struct Counting final : zarn::HandOffChannel {
        zarn::ProgramWindow window{L"HandOffHungProgram", 42};
        int sends = 0;
        HWND Find() override { return window.Find(); }
        Reply Send(HWND target, const COPYDATASTRUCT& record, UINT limitMs) override {
            ++sends;
            return window.Send(target, record, limitMs);
        }
        void Wait(DWORD ms) override { window.Wait(ms); }
    } channel;
    const ULONGLONG started = ::GetTickCount64();
    const HandOff::Outcome outcome = HandOff(channel, 700).Deliver(L"list");
    const ULONGLONG elapsed = ::GetTickCount64() - started;
    EXPECT_EQ(outcome, HandOff::Outcome::Abandoned);
    EXPECT_GE(elapsed, 650u) << "the send must last its limit";
    EXPECT_EQ(channel.sends, 1) << "no pass may follow a send that ran out of time";
    EXPECT_EQ(received.load(), 1);

    release = true;
}

// A program that has stopped reading its messages (hung before the send)
// is not sent to; once it reads them again, a later pass delivers the list,
// exactly once.
TEST(ProgramWindowSend, AlreadyHungProgramIsSkippedUntilItRecovers) {
    std::atomic<int>& received = g_stalledReceived;
    std::atomic<bool> stalled{false};
    std::atomic<bool> resume{false};
    rig::ThreadWindow program(L"HandOffStalledProgram", StalledProc, L"", [&] {
        // Reads no messages: hung after five seconds.
        rig::WaitFor([&] { return resume.load(); }, 60000);
        stalled = true;
    });
    ASSERT_NE(program.get(), nullptr);
    if (!rig::WaitFor([&] { return ::IsHungAppWindow(program.get()); }, 30000, 50)) {
        resume = true;
        FAIL() << "the window never counted as hung";
    }

    // The program reads its messages again once a pass has skipped it.
    struct Skipping final : zarn::HandOffChannel {
        zarn::ProgramWindow window{L"HandOffStalledProgram", 42};
        std::atomic<bool>* resume;
        int skipped = 0;
        HWND Find() override { return window.Find(); }
        Reply Send(HWND target, const COPYDATASTRUCT& record, UINT limitMs) override {
            const Reply reply = window.Send(target, record, limitMs);
            if (reply == Reply::NotTaken) ++skipped, *resume = true;
            return reply;
        }
        void Wait(DWORD ms) override { window.Wait(ms); }
    } channel;
    channel.resume = &resume;
    const HandOff::Outcome outcome = HandOff(channel, 20000).Deliver(L"list");
    EXPECT_GE(channel.skipped, 1);
    EXPECT_EQ(outcome, HandOff::Outcome::Taken);
    EXPECT_TRUE(stalled.load()) << "the list went out while the program was hung";
    EXPECT_EQ(received.load(), 1);
}

}  // namespace
