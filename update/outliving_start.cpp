#include "update/outliving_start.h"

#include "framework/handle.h"
#include "support/log.h"
#include "support/text.h"

#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>

namespace zarn {
namespace {

// The first argument of the copy that makes a start for its parent. Then:
// the parent's process ID, and the value in the parent of a handle to the
// section that holds the start (StartBlock).
constexpr std::wstring_view kStartOption = L"--zarn-start-for-parent";
// The copy's exit status when the start failed, and when it worked without
// a process to hand back; any other status is the process's handle value in
// the parent (handle values are multiples of four).
constexpr DWORD kStartFailed = 0;
constexpr DWORD kStartedWithoutProcess = 1;

// The start as the copy reads it from the parent's section: this header,
// then the verb, the file and the parameters back to back, in UTF-16 without
// terminators. The texts never pass through a command line of their own, so
// the copy starts the program with the very parameters it was given.
struct StartBlock {
    DWORD verbChars;
    DWORD fileChars;
    DWORD parameterChars;
    INT show;
};

bool g_allowed = false;

std::wstring OwnProgram() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD written =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (written == 0) return {};
        if (written < path.size()) return path.substr(0, written);
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
}

std::wstring_view TextOf(const wchar_t* text) { return text ? std::wstring_view(text) : L""; }

// A section holding `info`'s start, for the copy to read; empty when it
// cannot be made.
zfw::unique_handle WriteStartBlock(const SHELLEXECUTEINFOW& info) {
    const std::wstring_view texts[] = {TextOf(info.lpVerb), TextOf(info.lpFile),
                                       TextOf(info.lpParameters)};
    size_t chars = 0;
    for (const std::wstring_view text : texts) chars += text.size();
    const size_t bytes = sizeof(StartBlock) + chars * sizeof(wchar_t);
    zfw::unique_handle section(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                                    0, static_cast<DWORD>(bytes), nullptr));
    if (!section) return {};
    const zfw::unique_mapview view(::MapViewOfFile(section.get(), FILE_MAP_WRITE, 0, 0, bytes));
    if (!view) return {};
    const StartBlock header{static_cast<DWORD>(texts[0].size()),
                            static_cast<DWORD>(texts[1].size()),
                            static_cast<DWORD>(texts[2].size()), info.nShow};
    auto* at = static_cast<BYTE*>(view.get());
    std::memcpy(at, &header, sizeof(header));
    at += sizeof(header);
    for (const std::wstring_view text : texts) {
        std::memcpy(at, text.data(), text.size() * sizeof(wchar_t));
        at += text.size() * sizeof(wchar_t);
    }
    return section;
}

enum class CopyOutcome { Started, Failed, JobHoldsIt };

// Runs the start in a copy of this program outside the job.
CopyOutcome StartThroughCopy(SHELLEXECUTEINFOW& info) {
    const std::wstring program = OwnProgram();
    const zfw::unique_handle section = WriteStartBlock(info);
    if (program.empty() || !section) return CopyOutcome::Failed;
    // The copy takes the section from this process by its handle value.
    std::wstring line;
    AppendArgument(line, program);
    line += L" ";
    line += kStartOption;
    line += L" " + std::to_wstring(::GetCurrentProcessId()) + L" " +
            std::to_wstring(reinterpret_cast<UINT_PTR>(section.get()));

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE,
                          CREATE_BREAKAWAY_FROM_JOB | CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                          &created)) {
        const DWORD error = ::GetLastError();
        ZARN_LOG(L"a program that must outlive this one cannot leave the job (error %lu): %s",
                 error, info.lpFile ? info.lpFile : L"");
        return error == ERROR_ACCESS_DENIED ? CopyOutcome::JobHoldsIt : CopyOutcome::Failed;
    }
    zfw::unique_handle copy(created.hProcess);
    zfw::unique_handle thread(created.hThread);
    // The start itself may wait for the user (an elevation prompt), as the
    // same call made here would.
    DWORD status = kStartFailed;
    if (::WaitForSingleObject(copy.get(), INFINITE) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(copy.get(), &status) || status == kStartFailed)
        return CopyOutcome::Failed;
    info.hProcess = status == kStartedWithoutProcess
                        ? nullptr
                        : reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(status));
    return CopyOutcome::Started;
}

// The copy's side: the start the parent wrote to its section, made.
DWORD StartFromBlock(HANDLE parent, UINT_PTR sectionValue) {
    HANDLE taken = nullptr;
    if (!::DuplicateHandle(parent, reinterpret_cast<HANDLE>(sectionValue), ::GetCurrentProcess(),
                           &taken, FILE_MAP_READ, FALSE, 0))
        return kStartFailed;
    const zfw::unique_handle section(taken);
    const zfw::unique_mapview view(::MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, 0));
    MEMORY_BASIC_INFORMATION region{};
    if (!view || ::VirtualQuery(view.get(), &region, sizeof(region)) != sizeof(region) ||
        region.RegionSize < sizeof(StartBlock))
        return kStartFailed;
    StartBlock header{};
    std::memcpy(&header, view.get(), sizeof(header));
    const size_t chars = size_t{header.verbChars} + header.fileChars + header.parameterChars;
    if (chars > (region.RegionSize - sizeof(StartBlock)) / sizeof(wchar_t)) return kStartFailed;
    const auto* text = reinterpret_cast<const wchar_t*>(static_cast<const BYTE*>(view.get()) +
                                                        sizeof(StartBlock));
    const std::wstring verb(text, header.verbChars);
    const std::wstring file(text + header.verbChars, header.fileChars);
    const std::wstring parameters(text + header.verbChars + header.fileChars,
                                  header.parameterChars);

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.nShow = header.show;
    info.lpVerb = verb.empty() ? nullptr : verb.c_str();
    info.lpFile = file.c_str();
    info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
    if (!::ShellExecuteExW(&info)) return kStartFailed;
    zfw::unique_handle process(info.hProcess);
    if (!process) return kStartedWithoutProcess;
    HANDLE handed = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), process.get(), parent, &handed, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return kStartFailed;
    return static_cast<DWORD>(reinterpret_cast<UINT_PTR>(handed));
}

}  // namespace

size_t CommandLineLength(std::wstring_view file, std::wstring_view parameters) {
    return 1 + file.size() + 1 + (parameters.empty() ? 0 : 1 + parameters.size());
}

void AllowStartsOutsideTheJob() { g_allowed = true; }

bool StartOutliving(SHELLEXECUTEINFOW& info) {
    // Refused whole, before anything starts: the system would refuse the
    // line (Wine cuts it, and the program would get other arguments).
    const size_t length = CommandLineLength(TextOf(info.lpFile), TextOf(info.lpParameters));
    if (length > kMostCommandLineChars) {
        ZARN_LOG(L"not started: its command line would be %lu characters, more than %lu: %s",
                 static_cast<unsigned long>(length),
                 static_cast<unsigned long>(kMostCommandLineChars), info.lpFile ? info.lpFile : L"");
        info.hProcess = nullptr;
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    BOOL inJob = FALSE;
    if (g_allowed && ::IsProcessInJob(::GetCurrentProcess(), nullptr, &inJob) && inJob &&
        !info.lpDirectory && !info.lpClass && !info.hwnd) {
        switch (StartThroughCopy(info)) {
            case CopyOutcome::Started:
                return true;
            case CopyOutcome::Failed:
                return false;
            case CopyOutcome::JobHoldsIt:
                break;  // started here, where it ends with the job
        }
    }
    return ::ShellExecuteExW(&info) != FALSE;
}

bool RunStartForParent(int argc, wchar_t** argv, int& exitStatus) {
    if (argc < 2 || !argv || !argv[1] || argv[1] != kStartOption) return false;
    exitStatus = static_cast<int>(kStartFailed);
    if (argc != 4) return true;  // not a start this program's parent asks for
    const DWORD parentId = std::wcstoul(argv[2], nullptr, 10);
    const UINT_PTR section = static_cast<UINT_PTR>(std::wcstoull(argv[3], nullptr, 10));
    zfw::unique_handle parent(::OpenProcess(PROCESS_DUP_HANDLE, FALSE, parentId));
    if (!parent || section == 0) return true;
    exitStatus = static_cast<int>(StartFromBlock(parent.get(), section));
    return true;
}

}  // namespace zarn
