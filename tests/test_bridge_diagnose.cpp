// zarn-bridge.exe --diagnose, linked in: what it says about the registry
// places the browsers search and the manifests they name. The text goes to a
// person or a support script that reads it line by line and looks for
// "Problem:", so nothing read from the registry or a manifest may start a
// line of its own. The run as a process is in bridge_host_test.py.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "bridge/diagnose.h"
#include "common/rig.h"
#include "framework/handle.h"

namespace {

constexpr wchar_t kChromeKey[] = L"Software\\Google\\Chrome\\NativeMessagingHosts\\com.zarn.bridge";

std::vector<std::wstring> LinesOf(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

void WriteUtf8(const std::wstring& path, std::string_view bytes) {
    zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file) << "error " << ::GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                            nullptr));
}

// The user's registration for Chrome, the first place Chrome searches.
class Diagnosis : public ::testing::Test {
protected:
    void TearDown() override { ::RegDeleteKeyW(HKEY_CURRENT_USER, kChromeKey); }

    static void RegisterForChrome(const std::wstring& manifestPath) {
        ASSERT_EQ(
            ERROR_SUCCESS,
            ::RegSetKeyValueW(HKEY_CURRENT_USER, kChromeKey, nullptr, REG_SZ, manifestPath.c_str(),
                              static_cast<DWORD>((manifestPath.size() + 1) * sizeof(wchar_t))));
    }

    // The diagnosis, checked for what holds for every text it shows: no
    // character in a line that a console, a terminal or a script's line
    // splitting takes for a line end or a reordering, one "Problem:" line
    // per problem counted, and the count as the last line.
    static std::vector<std::wstring> Diagnose() {
        std::wstring text;
        const int problems = zarn::bridge::DiagnosisText(text);
        const std::vector<std::wstring> lines = LinesOf(text);
        int problemLines = 0;
        for (const std::wstring& line : lines) {
            for (const wchar_t c : line) {
                const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 ||
                                     c == 0x2029 || (c >= 0x202A && c <= 0x202E);
                EXPECT_FALSE(control) << "U+" << std::hex << static_cast<unsigned>(c)
                                      << " in: " << rig::Utf8(line);
            }
            if (line.starts_with(L"Problem: ")) ++problemLines;
            EXPECT_NE(L"No problems found.", line) << "with " << problems << " problem(s)";
        }
        EXPECT_EQ(problems, problemLines) << rig::Utf8(text);
        EXPECT_FALSE(lines.empty());
        if (!lines.empty()) {
            EXPECT_EQ(std::to_wstring(problems) + L" problem(s) found.", lines.back());
        }
        return lines;
    }

    static bool HasLine(const std::vector<std::wstring>& lines, std::wstring_view wanted) {
        for (const std::wstring& line : lines)
            if (line == wanted) return true;
        return false;
    }
};

TEST_F(Diagnosis, ControlCharactersInTheManifestPathAreShownEscaped) {
    // Each forges lines after the path; the registry value is shown twice
    // (the place's line and the problem's subject: a manifest that does not
    // exist, or a name that cannot be opened).
    const std::wstring forged = L"\nProblem: none\r\nNo problems found.\n";
    const struct {
        const char* what;
        std::wstring value;
        std::wstring shown;
    } rows[] = {
        {"line ends", L"C:\\no such\\m.json" + forged,
         L"C:\\no such\\m.json<U+000A>Problem: none<U+000D><U+000A>No problems found.<U+000A>"},
        {"a terminal's escape and a tab", L"C:\\x\x1b[2J\t.json", L"C:\\x<U+001B>[2J<U+0009>.json"},
        {"the C1 line end and DEL", L"C:\\x\x85y\x7f.json", L"C:\\x<U+0085>y<U+007F>.json"},
        {"line and paragraph separators", L"C:\\x\u2028y\u2029.json",
         L"C:\\x<U+2028>y<U+2029>.json"},
        {"a right-to-left override", L"C:\\x\u202Enosj.exe", L"C:\\x<U+202E>nosj.exe"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        RegisterForChrome(row.value);
        const std::vector<std::wstring> lines = Diagnose();
        const std::wstring place = L"  1. HKCU\\" + std::wstring(kChromeKey) + L": " + row.shown +
                                   L"  <- Chrome starts this one";
        EXPECT_TRUE(HasLine(lines, place)) << "no line " << rig::Utf8(place);
        const std::wstring problem = L"Problem: Chrome: HKCU\\" + std::wstring(kChromeKey) +
                                     L" names the manifest " + row.shown + L", which ";
        bool found = false;
        for (const std::wstring& line : lines) found = found || line.starts_with(problem);
        EXPECT_TRUE(found) << "no line starting " << rig::Utf8(problem);
    }
}

TEST_F(Diagnosis, ControlCharactersInAManifestAreShownEscaped) {
    // A manifest found and read: its name and its host's path are shown.
    const std::wstring folder = rig::ScratchDir(L"diagnose");
    const std::wstring manifest = folder + L"\\m.json";
    WriteUtf8(manifest,
              R"({"name": "other\nNo problems found.\n", "path": "host\r\nProblem: none.exe",)"
              R"( "allowed_origins": []})");
    RegisterForChrome(manifest);
    const std::vector<std::wstring> lines = Diagnose();
    bool name = false, host = false;
    for (const std::wstring& line : lines) {
        name =
            name || line.find(L"whose \"name\" is \"other<U+000A>No problems found.<U+000A>\"") !=
                        std::wstring::npos;
        host = host || line.find(L"\\host<U+000D><U+000A>Problem: none.exe does not exist") !=
                           std::wstring::npos;
    }
    EXPECT_TRUE(name) << "the manifest's name is not shown escaped";
    EXPECT_TRUE(host) << "the manifest's host path is not shown escaped";
}

}  // namespace
