// The framework's owners and failure macros, one primitive a case: what each
// closes, when, and what it leaves of the caller's last-error value; where a
// failure says it came from, and the words each kind of failure becomes.
#include <windows.h>
#include <io.h>
#include <fcntl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/rig.h"
#include "framework/failure.h"
#include "framework/handle.h"
#include "framework/thread_name.h"

namespace {

// A handle kind whose every close is recorded, and which spoils the last
// error as a real close may.
struct Closes {
    static inline std::vector<int> closed;
    using type = int;
    static int invalid() noexcept { return 0; }
    static void close(int value) noexcept {
        closed.push_back(value);
        ::SetLastError(ERROR_GEN_FAILURE);
    }
};
using counted = zfw::unique_resource<Closes>;

class Owner : public ::testing::Test {
protected:
    void SetUp() override { Closes::closed.clear(); }
};

TEST_F(Owner, EmptyByDefaultAndClosesWhatItHoldsOnceWhenItEnds) {
    {
        const counted none;
        EXPECT_FALSE(none);
        EXPECT_EQ(0, none.get());
    }
    EXPECT_TRUE(Closes::closed.empty()) << "an empty owner closed something";
    {
        const counted held(7);
        EXPECT_TRUE(held);
        EXPECT_EQ(7, held.get());
    }
    EXPECT_EQ(std::vector<int>{7}, Closes::closed);
}

TEST_F(Owner, ResetClosesTheOldValueAndKeepsTheLastError) {
    counted held(1);
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    held.reset(2);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError());
    EXPECT_EQ(std::vector<int>{1}, Closes::closed);
    EXPECT_EQ(2, held.get());
    held.reset();
    EXPECT_FALSE(held);
    EXPECT_EQ((std::vector<int>{1, 2}), Closes::closed);
}

TEST_F(Owner, ReleaseGivesTheValueUpWithoutClosingIt) {
    counted held(3);
    EXPECT_EQ(3, held.release());
    EXPECT_FALSE(held);
    held.reset();
    EXPECT_TRUE(Closes::closed.empty());
}

TEST_F(Owner, PutClosesWhatWasHeldBeforeTheCallWritesANewValue) {
    counted held(4);
    int* slot = held.put();
    EXPECT_EQ(std::vector<int>{4}, Closes::closed) << "a reused owner leaks what it held";
    EXPECT_EQ(0, *slot);
    *slot = 5;  // as a Windows out-parameter writes it
    EXPECT_EQ(5, held.get());
}

TEST_F(Owner, MovesTransferOwnershipAndCloseWhatTheTargetHeld) {
    counted first(6);
    counted second(std::move(first));
    EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): the moved-from state is the point
    EXPECT_EQ(6, second.get());
    counted third(8);
    third = std::move(second);
    EXPECT_EQ(std::vector<int>{8}, Closes::closed);
    EXPECT_EQ(6, third.get());
    counted& alias = third;
    third = std::move(alias);  // a self-move keeps the value
    EXPECT_EQ(6, third.get());
    EXPECT_EQ(std::vector<int>{8}, Closes::closed);
}

TEST(HandleOwners, AFailedOpenIsEmptyForEveryKindsOwnInvalidValue) {
    // CreateFileW fails with INVALID_HANDLE_VALUE, CreateEventW with null.
    const zfw::unique_file file(::CreateFileW(L"C:\\no such folder\\x", GENERIC_READ, 0, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(file);
    const zfw::unique_find find([] {
        WIN32_FIND_DATAW found{};
        return ::FindFirstFileW(L"C:\\no such folder\\*", &found);
    }());
    EXPECT_FALSE(find);
    const zfw::unique_handle event(::OpenEventW(SYNCHRONIZE, FALSE, L"zarn no such event"));
    EXPECT_FALSE(event);
    const zfw::unique_crtfile crt(::_wopen(L"C:\\no such folder\\x", _O_RDONLY));
    EXPECT_FALSE(crt);
}

TEST(HandleOwners, AKernelHandleIsClosedWhenItsOwnerEnds) {
    HANDLE raw = nullptr;
    {
        const zfw::unique_handle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ASSERT_TRUE(event) << "error " << ::GetLastError();
        raw = event.get();
        DWORD flags = 0xdeadbeef;
        EXPECT_TRUE(::GetHandleInformation(raw, &flags));
    }
    DWORD flags = 0xdeadbeef;
    EXPECT_FALSE(::GetHandleInformation(raw, &flags)) << "the event is still open";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), ::GetLastError());
}

TEST(HandleOwners, ARegistryKeyIsClosedWhenItsOwnerEnds) {
    HKEY raw = nullptr;
    {
        zfw::unique_hkey key;
        ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ,
                                                 key.put()));
        raw = key.get();
        EXPECT_EQ(ERROR_SUCCESS, ::RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, nullptr,
                                                    nullptr, nullptr, nullptr, nullptr, nullptr,
                                                    nullptr, nullptr));
    }
    EXPECT_EQ(ERROR_INVALID_HANDLE,
              ::RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr));
}

TEST(HandleOwners, ACrtFileIsClosedWhenItsOwnerEnds) {
    const std::wstring path = rig::ScratchDir(L"framework") + L"\\crt.txt";
    int raw = -1;
    {
        const zfw::unique_crtfile file(
            ::_wopen(path.c_str(), _O_CREAT | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE));
        ASSERT_TRUE(file) << "errno " << errno;
        raw = file.get();
    }
    EXPECT_EQ(-1, ::_close(raw)) << "the file was still open";
    EXPECT_EQ(EBADF, errno);
}

TEST(HandleOwners, ALibraryIsFreedWhenItsOwnerEnds) {
    // A system library nothing in this suite loads otherwise.
    constexpr wchar_t kLibrary[] = L"mpr.dll";
    ASSERT_EQ(nullptr, ::GetModuleHandleW(kLibrary)) << "already loaded: pick another library";
    {
        const zfw::unique_hmodule library(::LoadLibraryW(kLibrary));
        ASSERT_TRUE(library) << "error " << ::GetLastError();
        EXPECT_EQ(library.get(), ::GetModuleHandleW(kLibrary));
    }
    EXPECT_EQ(nullptr, ::GetModuleHandleW(kLibrary)) << "the library stayed loaded";
}

TEST(HandleOwners, AViewIsUnmappedWhenItsOwnerEnds) {
    const zfw::unique_handle section(
        ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
    ASSERT_TRUE(section) << "error " << ::GetLastError();
    void* raw = nullptr;
    {
        const zfw::unique_mapview view(::MapViewOfFile(section.get(), FILE_MAP_WRITE, 0, 0, 0));
        ASSERT_TRUE(view) << "error " << ::GetLastError();
        raw = view.get();
    }
    MEMORY_BASIC_INFORMATION region{};
    ASSERT_EQ(sizeof(region), ::VirtualQuery(raw, &region, sizeof(region)));
    EXPECT_EQ(static_cast<DWORD>(MEM_FREE), region.State) << "the view is still mapped";
}

TEST(HandleOwners, ABstrKeepsItsLengthAndANullOneReadsEmpty) {
    const zfw::Bstr none;
    EXPECT_EQ(0u, none.length());
    EXPECT_TRUE(none.view().empty());
    const std::wstring text(L"a\0b", 3);
    const zfw::Bstr held(std::wstring_view{text});
    ASSERT_TRUE(held);
    EXPECT_EQ(3u, held.length());
    EXPECT_EQ(text, held.view()) << "the text was cut at its NUL";
}

TEST(ScopeExit, RunsWhenTheScopeEndsUnlessReleased) {
    int runs = 0;
    {
        zfw::scope_exit count([&] { ++runs; });
    }
    EXPECT_EQ(1, runs);
    {
        zfw::scope_exit count([&] { ++runs; });
        count.release();
    }
    EXPECT_EQ(1, runs) << "a released clean-up ran";
}

TEST(ThreadName, ANamedThreadReadsItsNameBack) {
    ASSERT_TRUE(zfw::NameThread(::GetCurrentThread(), L"zarn test thread"));
    using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    const auto get = reinterpret_cast<GetDescription>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"kernelbase.dll"), "GetThreadDescription")));
    ASSERT_NE(nullptr, get) << "the name cannot be read back on this system";
    zfw::unique_localmem name;
    PWSTR text = nullptr;
    // Wine 8 answers HRESULT_FROM_NT(STATUS_SUCCESS), 0x10000000: a success
    // all the same.
    const HRESULT read = get(::GetCurrentThread(), &text);
    name.reset(text);
    ASSERT_TRUE(SUCCEEDED(read)) << std::hex << read;
    EXPECT_STREQ(L"zarn test thread", text);
}

// ---------------------------------------------------------------- failures

std::vector<zfw::Origin> g_reported;
void Record(const zfw::Origin& origin) noexcept { g_reported.push_back(origin); }

class Failures : public ::testing::Test {
protected:
    void SetUp() override {
        g_reported.clear();
        zfw::SetFailureReporter(&Record);
    }
    void TearDown() override { zfw::SetFailureReporter(nullptr); }
};

TEST_F(Failures, ThrowLastErrorIfTakesTheErrorTheConditionLeft) {
    EXPECT_NO_THROW(ZFW_THROW_LAST_ERROR_IF(zfw::Failure, false, "NotCalled"));
    int line = 0;
    try {
        // The condition itself sets the error, as a failing call does.
        line = __LINE__ + 1;
        ZFW_THROW_LAST_ERROR_IF(zfw::Failure, (::SetLastError(ERROR_SHARING_VIOLATION), true),
                                "CreateFileW");
        FAIL() << "nothing thrown";
    } catch (const zfw::Failure& failure) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), failure.error());
        EXPECT_STREQ("CreateFileW", failure.what());
        EXPECT_STREQ("test_framework.cpp", failure.origin().file);
        EXPECT_EQ(line, failure.origin().line);
    }
}

TEST_F(Failures, ThrowWin32CarriesTheCodeGiven) {
    try {
        ZFW_THROW_WIN32(zfw::Failure, ERROR_DISK_FULL, "WriteFile");
    } catch (const zfw::Failure& failure) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), failure.error());
        EXPECT_EQ(L"WriteFile at test_framework.cpp:" + std::to_wstring(failure.origin().line),
                  zfw::DescribeOrigin(failure.origin()));
    }
}

HRESULT ReturnsIfFailed(HRESULT result, bool& reachedEnd) {
    reachedEnd = false;
    ZFW_RETURN_IF_FAILED(result);
    reachedEnd = true;
    return S_OK;
}

TEST_F(Failures, ReturnIfFailedReturnsAndReportsOnlyAFailure) {
    bool reachedEnd = true;
    EXPECT_EQ(E_ACCESSDENIED, ReturnsIfFailed(E_ACCESSDENIED, reachedEnd));
    EXPECT_FALSE(reachedEnd);
    ASSERT_EQ(1u, g_reported.size());
    EXPECT_EQ(static_cast<std::int32_t>(E_ACCESSDENIED), g_reported[0].code);
    EXPECT_STREQ("result", g_reported[0].call) << "the expression's own text";
    EXPECT_STREQ("test_framework.cpp", g_reported[0].file);

    // S_FALSE succeeds: the function goes on, and nothing is reported.
    EXPECT_EQ(S_OK, ReturnsIfFailed(S_FALSE, reachedEnd));
    EXPECT_TRUE(reachedEnd);
    EXPECT_EQ(1u, g_reported.size());
}

TEST_F(Failures, LogIfFailedYieldsTheResultAndReportsOnlyAFailure) {
    EXPECT_EQ(S_FALSE, ZFW_LOG_IF_FAILED(S_FALSE));
    EXPECT_TRUE(g_reported.empty());
    const int line = __LINE__ + 1;
    EXPECT_EQ(E_NOINTERFACE, ZFW_LOG_IF_FAILED(HRESULT{E_NOINTERFACE}));
    ASSERT_EQ(1u, g_reported.size());
    EXPECT_EQ(static_cast<std::int32_t>(E_NOINTERFACE), g_reported[0].code);
    EXPECT_STREQ("HRESULT{E_NOINTERFACE}", g_reported[0].call);
    EXPECT_EQ(line, g_reported[0].line);
}

TEST_F(Failures, WithoutAReporterAFailureIsOnlyReturned) {
    zfw::SetFailureReporter(nullptr);
    EXPECT_EQ(E_FAIL, ZFW_LOG_IF_FAILED(HRESULT{E_FAIL}));
    EXPECT_TRUE(g_reported.empty());
}

TEST(ReportCurrentFailure, EachKindOfFailureBecomesItsCodeAndWords) {
    struct Row {
        const char* what;
        void (*raise)();
        HRESULT code;
        std::wstring text;
    };
    const Row rows[] = {
        {"a call failure",
         [] { throw zfw::CallFailure(L"Cannot write Zarn.url.", E_ACCESSDENIED); }, E_ACCESSDENIED,
         L"Cannot write Zarn.url."},
        {"no memory", [] { throw std::bad_alloc(); }, E_OUTOFMEMORY, L"Out of memory."},
        // what() is widened byte for byte: 0xE9 stays U+00E9.
        {"a std::exception", [] { throw std::runtime_error("bad \xe9"); }, E_FAIL, L"bad \u00e9"},
        {"a failure with its origin", [] { ZFW_THROW_WIN32(zfw::Failure, 5, "RegSetValueExW"); },
         E_FAIL, L"RegSetValueExW"},
        {"anything else", [] { throw 42; }, E_UNEXPECTED, L"Unexpected error."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        HRESULT code = 0x7eadbeef;
        std::wstring text = L"sentinel";
        try {
            row.raise();
            ADD_FAILURE() << "nothing thrown";
        } catch (...) {
            const int answer = zfw::ReportCurrentFailure([&](HRESULT c, std::wstring_view t) {
                code = c;
                text = t;
                return 17;
            });
            EXPECT_EQ(17, answer) << "the reporter's own answer is returned";
        }
        EXPECT_EQ(row.code, code) << std::hex << code;
        EXPECT_EQ(row.text, text) << rig::Utf8(text);
    }
}

}  // namespace
