// COM object plumbing: the module lock count, objects with table-driven
// QueryInterface and atomic reference counts, and a generic class factory.
//
// A COM class derives from `ComObject<Derived, Interfaces...>`. Each entry of
// `Interfaces` is either an interface type or `Via<I, Base>`, which answers
// QueryInterface for I through the base interface Base (for interfaces that
// more than one base derives from, such as IOleWindow or IPersist). The first
// entry also answers IID_IUnknown. Objects are created with `MakeComObject`,
// which runs the whole creation sequence once: construct, `FinalConstruct`,
// QueryInterface for the wanted interface, and undo on failure.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <unknwn.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>

namespace zfw {

// ---------------------------------------------------------------------------
// Module lifetime

// The module instance handle, set from DllMain (or the executable's instance).
HINSTANCE ModuleInstance() noexcept;
void SetModuleInstance(HINSTANCE instance) noexcept;

// Lock count for DllCanUnloadNow: every live object, every call in progress
// (CallScope), every background thread running the module's code and every
// IClassFactory::LockServer(TRUE) holds one.
void ModuleLock() noexcept;
void ModuleUnlock() noexcept;
LONG ModuleLockCount() noexcept;

// One call from outside into an object, from entry to return: holds a
// reference on the object and a module lock, so that a caller that lets go
// of the object meanwhile (a page dropping a control while the control's
// own modal loop runs its timers) neither destroys it nor lets the module
// unload under the running call. The object goes, at the earliest, when the
// outermost call has returned.
class CallScope {
public:
    explicit CallScope(IUnknown* object) noexcept : object_(object) {
        ModuleLock();
        object_->AddRef();
    }
    ~CallScope() {
        object_->Release();  // may end the object: touch nothing of it after
        ModuleUnlock();
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    IUnknown* object_;
};

// ---------------------------------------------------------------------------
// Interface tables

struct InterfaceEntry {
    const IID* iid;
    std::ptrdiff_t offset;  // from the object's start to the interface's vtable pointer
};

// QueryInterface through a table ending in {nullptr, 0}; the first entry answers IUnknown.
HRESULT QueryInterfaceFromTable(void* object, const InterfaceEntry* table, REFIID iid,
                                void** out) noexcept;

template <class I, class Base>
struct Via {};

namespace detail {
template <class Derived, class Entry>
struct EntryOf {
    static InterfaceEntry get() {
        // The offset of the interface inside Derived, computed on a fake
        // non-null address (no object is touched).
        auto* fake = reinterpret_cast<Derived*>(0x1000);
        return {&__uuidof(Entry),
                reinterpret_cast<char*>(static_cast<Entry*>(fake)) - reinterpret_cast<char*>(fake)};
    }
};
template <class Derived, class I, class Base>
struct EntryOf<Derived, Via<I, Base>> {
    static InterfaceEntry get() {
        auto* fake = reinterpret_cast<Derived*>(0x1000);
        return {&__uuidof(I), reinterpret_cast<char*>(static_cast<I*>(static_cast<Base*>(fake))) -
                                  reinterpret_cast<char*>(fake)};
    }
};
template <class Entry>
struct BaseOf {
    using type = Entry;
};
template <class I, class Base>
struct BaseOf<Via<I, Base>> {
    struct type {};  // contributes no base class
};
}  // namespace detail

// ---------------------------------------------------------------------------
// Objects

template <class Derived, class... Entries>
class ComObject : public detail::BaseOf<Entries>::type... {
public:
    ComObject() noexcept { ModuleLock(); }
    virtual ~ComObject() { ModuleUnlock(); }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        return QueryInterfaceFromTable(static_cast<Derived*>(this), InterfaceTable(), iid, out);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs_;
        // The object owns itself from creation until its last reference goes.
        if (left == 0) std::unique_ptr<Derived>(static_cast<Derived*>(this)).reset();
        return left;
    }

    // Second creation step; a failure undoes the creation.
    HRESULT FinalConstruct() { return S_OK; }

    static const InterfaceEntry* InterfaceTable() {
        static const InterfaceEntry table[] = {detail::EntryOf<Derived, Entries>::get()...,
                                               {nullptr, 0}};
        return table;
    }

    // The object's controlling IUnknown (its first interface).
    IUnknown* Unknown() noexcept {
        return reinterpret_cast<IUnknown*>(reinterpret_cast<char*>(static_cast<Derived*>(this)) +
                                           InterfaceTable()[0].offset);
    }

private:
    std::atomic<ULONG> refs_{0};
};

// Creates a Derived with `args`, runs FinalConstruct and hands out `iid`.
template <class Derived, class... Args>
HRESULT MakeComObject(REFIID iid, void** out, Args&&... args) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    try {
        Derived* object = std::make_unique<Derived>(std::forward<Args>(args)...).release();
        // From here the object owns itself: dropping the creation reference
        // below ends it when FinalConstruct or QueryInterface fails.
        object->AddRef();
        HRESULT hr = object->FinalConstruct();
        if (SUCCEEDED(hr)) hr = object->QueryInterface(iid, out);
        object->Release();
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// ---------------------------------------------------------------------------
// Class factory

// Creates objects through a creator function; no aggregation.
class ClassFactory : public ComObject<ClassFactory, IClassFactory> {
public:
    using Creator = HRESULT (*)(REFIID iid, void** out);
    explicit ClassFactory(Creator creator) noexcept : creator_(creator) {}

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    Creator creator_;
};

}  // namespace zfw

namespace zfw {

// The module object of a control DLL: records the module instance when the
// DLL is loaded and cleans up what the framework registered when it unloads.
class ControlModule {
public:
    ControlModule() = default;
    ControlModule(const ControlModule&) = delete;
    ControlModule& operator=(const ControlModule&) = delete;
    virtual ~ControlModule() = default;

    // Called from DllMain for DLL_PROCESS_ATTACH and DLL_PROCESS_DETACH.
    virtual void InitInstance(HINSTANCE instance) noexcept;
    virtual void ExitInstance() noexcept;
};

}  // namespace zfw
