#include "tools/pagehost/module_state.h"

#include "framework/handle.h"

#include <windows.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <map>

namespace pagehost {
namespace {

struct Image {
    ULONG_PTR start = 0, end = 0;
};

std::map<std::wstring, Image>& SeenImages() {
    static std::map<std::wstring, Image> seen;
    return seen;
}

// The module's image range, remembered for when it has gone.
HMODULE Look(const std::wstring& name) {
    const HMODULE module = ::GetModuleHandleW(name.c_str());
    if (module) {
        const auto base = reinterpret_cast<const BYTE*>(module);
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const auto start = reinterpret_cast<ULONG_PTR>(base);
        SeenImages()[name] = Image{start, start + nt->OptionalHeader.SizeOfImage};
    }
    return module;
}

}  // namespace

std::wstring CanUnloadModule(const std::wstring& name) {
    const HMODULE module = Look(name);
    if (!module) return L"not loaded";
    using CanUnload = HRESULT(WINAPI*)();
    const auto canUnload = reinterpret_cast<CanUnload>(
        reinterpret_cast<void (*)()>(::GetProcAddress(module, "DllCanUnloadNow")));
    if (!canUnload) return L"no DllCanUnloadNow";
    return canUnload() == S_OK ? L"S_OK" : L"S_FALSE";
}

std::wstring FreeUnusedModule(const std::wstring& name) {
    Look(name);
    ::CoFreeUnusedLibraries();
    return Look(name) ? L"loaded" : L"unloaded";
}

int ModuleThreads(const std::wstring& name) {
    Look(name);
    const auto seen = SeenImages().find(name);
    if (seen == SeenImages().end()) return -1;
    using QueryThread = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<QueryThread>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
    if (!query) return -1;
    constexpr int kThreadQuerySetWin32StartAddress = 9;

    // Closed like a file handle, and invalid the same way.
    zfw::unique_file snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more;
         more = ::Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID != ::GetCurrentProcessId()) continue;
        zfw::unique_handle thread(::OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID));
        if (!thread) continue;
        void* start = nullptr;
        if (query(thread.get(), kThreadQuerySetWin32StartAddress, &start, sizeof(start), nullptr) != 0)
            continue;
        const auto address = reinterpret_cast<ULONG_PTR>(start);
        if (address >= seen->second.start && address < seen->second.end) ++count;
    }
    return count;
}

}  // namespace pagehost
