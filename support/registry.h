// Read-only access to one named value under a subkey of a root key.
#pragma once

#include "framework/handle.h"

#include <windows.h>

#include <string>

namespace zarn {

// What one CRegistry read holds while it runs: a private heap that lives only
// for that read, and the value's bytes allocated from it.
struct RegValueBuffer {
    zfw::unique_heap heap;  // HeapCreate(0, 0, 0): growable, destroyed with the read
    BYTE* data = nullptr;   // the value's bytes, from `heap`; none before a size query
    DWORD size = 0;         // byte count of `data`
    DWORD type = 0;         // registry type reported by the last successful query

    // Returns `data` to the heap; the buffer is then empty.
    void Free() noexcept;
};

// Reads settings values under HKEY_CURRENT_USER with read-only access. Every
// read opens and closes its own subkey; a failed read leaves the caller's
// output untouched so the caller's default stands.
class CRegistry {
public:
    CRegistry() noexcept;
    virtual ~CRegistry();

    // Two virtual slots after the destructor that have no behaviour of their
    // own; they keep the table's shape for derived readers and return 0.
    virtual BOOL Reserved1();
    virtual BOOL Reserved2();

    // Reads a REG_DWORD or REG_DWORD_BIG_ENDIAN value. The four bytes are taken
    // exactly as stored (no byte swap for either type). False, with `value`
    // untouched, for a missing key or value, any other type, or fewer than
    // four bytes.
    bool ReadDword(const wchar_t* subKey, const wchar_t* valueName, DWORD& value);

    // Reads a REG_SZ, REG_EXPAND_SZ or REG_LINK value as stored, up to its first
    // NUL or the end of its data (environment references are not expanded).
    // False, with `result` untouched, for a missing key or value or any other type.
    bool ReadString(const wchar_t* subKey, const wchar_t* valueName, std::wstring& result);

    CRegistry(const CRegistry&) = delete;
    CRegistry& operator=(const CRegistry&) = delete;

    HKEY m_hRootKey;  // HKEY_CURRENT_USER; a predefined root, never closed

private:
    bool QueryValue(const wchar_t* subKey, const wchar_t* valueName, RegValueBuffer& buffer);
};

}  // namespace zarn
