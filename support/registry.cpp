#include "support/registry.h"

#include "support/registry_text.h"

namespace zarn {

void RegValueBuffer::Free() noexcept {
    if (data) ::HeapFree(heap.get(), 0, data);
    data = nullptr;
    size = 0;
}

CRegistry::CRegistry() noexcept : m_hRootKey(HKEY_CURRENT_USER) {}

CRegistry::~CRegistry() = default;

BOOL CRegistry::Reserved1() { return FALSE; }

BOOL CRegistry::Reserved2() { return FALSE; }

// Reads the value's bytes into `buffer`, sized by asking the registry first.
bool CRegistry::QueryValue(const wchar_t* subKey, const wchar_t* valueName,
                           RegValueBuffer& buffer) {
    zfw::unique_hkey key;
    if (::RegOpenKeyExW(m_hRootKey, subKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;

    DWORD type = 0;
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;

    buffer.Free();
    // A zero-byte value still gets a block so that "data present" and "value
    // read" mean the same thing.
    buffer.data = static_cast<BYTE*>(::HeapAlloc(buffer.heap.get(), 0, size ? size : 1));
    if (!buffer.data) return false;
    buffer.size = size;

    // The value may have grown since the size query; the registry then
    // reports ERROR_MORE_DATA and writes nothing past `size`.
    DWORD read = size;
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, buffer.data, &read) !=
            ERROR_SUCCESS ||
        read > size) {
        buffer.Free();
        return false;
    }
    buffer.size = read;
    buffer.type = type;
    return true;
}

bool CRegistry::ReadDword(const wchar_t* subKey, const wchar_t* valueName, DWORD& value) {
    RegValueBuffer buffer;
    buffer.heap.reset(::HeapCreate(0, 0, 0));
    if (!buffer.heap) return false;

    const bool ok = QueryValue(subKey, valueName, buffer) &&
                    (buffer.type == REG_DWORD || buffer.type == REG_DWORD_BIG_ENDIAN) &&
                    buffer.size >= sizeof(DWORD);
    if (ok) ::CopyMemory(&value, buffer.data, sizeof(DWORD));
    buffer.Free();
    return ok;
}

bool CRegistry::ReadString(const wchar_t* subKey, const wchar_t* valueName,
                           std::wstring& result) {
    RegValueBuffer buffer;
    buffer.heap.reset(::HeapCreate(0, 0, 0));
    if (!buffer.heap) return false;

    const bool ok = QueryValue(subKey, valueName, buffer) &&
                    (buffer.type == REG_SZ || buffer.type == REG_EXPAND_SZ ||
                     buffer.type == REG_LINK);
    if (ok) result = support_detail::TextUpToNul(buffer.data, buffer.size);
    buffer.Free();
    return ok;
}

}  // namespace zarn
