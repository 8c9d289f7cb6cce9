#include "framework/thread_name.h"

#include <initializer_list>

namespace zfw {

namespace {

using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

SetThreadDescriptionFn FindSetThreadDescription() noexcept {
    for (const wchar_t* module : {L"kernel32.dll", L"kernelbase.dll"}) {
        const HMODULE loaded = ::GetModuleHandleW(module);
        if (!loaded) continue;
        if (const FARPROC found = ::GetProcAddress(loaded, "SetThreadDescription"))
            return reinterpret_cast<SetThreadDescriptionFn>(reinterpret_cast<void (*)()>(found));
    }
    return nullptr;
}

}  // namespace

bool NameThread(HANDLE thread, const wchar_t* name) noexcept {
    // Both modules stay loaded for the life of the process: looked up once.
    static const SetThreadDescriptionFn setDescription = FindSetThreadDescription();
    return setDescription && SUCCEEDED(setDescription(thread, name));
}

}  // namespace zfw
