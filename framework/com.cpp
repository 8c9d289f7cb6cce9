#include "framework/com.h"

namespace zfw {
namespace {
HINSTANCE g_instance = nullptr;
std::atomic<LONG> g_locks{0};
}  // namespace

HINSTANCE ModuleInstance() noexcept { return g_instance ? g_instance : ::GetModuleHandleW(nullptr); }
void SetModuleInstance(HINSTANCE instance) noexcept { g_instance = instance; }
void ModuleLock() noexcept { ++g_locks; }
void ModuleUnlock() noexcept { --g_locks; }
LONG ModuleLockCount() noexcept { return g_locks.load(); }

HRESULT QueryInterfaceFromTable(void* object, const InterfaceEntry* table, REFIID iid,
                                void** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!table || !table[0].iid) return E_NOINTERFACE;
    const InterfaceEntry* hit = ::IsEqualIID(iid, IID_IUnknown) ? table : nullptr;
    for (const InterfaceEntry* e = table; !hit && e->iid; ++e)
        if (::IsEqualIID(iid, *e->iid)) hit = e;
    if (!hit) return E_NOINTERFACE;
    auto* unknown = reinterpret_cast<IUnknown*>(static_cast<char*>(object) + hit->offset);
    unknown->AddRef();
    *out = unknown;
    return S_OK;
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return creator_(iid, out);
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) {
    if (lock)
        ModuleLock();
    else
        ModuleUnlock();
    return S_OK;
}

}  // namespace zfw
