#include "support/registryex.h"

#include "support/registry_text.h"

#include <array>
#include <cstring>

namespace zarn {

namespace {

bool IsPredefinedRoot(HKEY key) {
    return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE ||
           key == HKEY_USERS || key == HKEY_PERFORMANCE_DATA || key == HKEY_CURRENT_CONFIG ||
           key == HKEY_DYN_DATA || key == HKEY_CURRENT_USER_LOCAL_SETTINGS;
}

}  // namespace

void support_detail::key_or_root_traits::close(HKEY key) noexcept {
    if (!IsPredefinedRoot(key)) ::RegCloseKey(key);
}

CRegistryEx::CRegistryEx() : m_hKey(HKEY_CURRENT_USER) {}

CRegistryEx::~CRegistryEx() { Close(); }

bool CRegistryEx::Open(const wchar_t* keyPath) {
    Close();
    m_strKey = keyPath;
    m_lResult = ::RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, KEY_ALL_ACCESS, m_hKey.put());
    m_dwSize = 0;
    m_dwType = 0;
    return m_lResult == ERROR_SUCCESS;
}

bool CRegistryEx::Create(const wchar_t* keyPath) {
    Close();
    m_lResult = ::RegCreateKeyExW(HKEY_CURRENT_USER, keyPath, 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, m_hKey.put(),
                                  nullptr);
    m_dwSize = 0;
    m_dwType = 0;
    return m_lResult == ERROR_SUCCESS;
}

void CRegistryEx::Close() { m_hKey.reset(); }

bool CRegistryEx::Query(const wchar_t* valueName, BYTE* buffer, DWORD capacity) {
    DWORD type = 0;
    DWORD size = capacity;
    m_lResult = ::RegQueryValueExW(m_hKey.get(), valueName, nullptr, &type, buffer, &size);
    m_dwType = type;
    m_dwSize = size;
    return m_lResult == ERROR_SUCCESS && size <= capacity;
}

bool CRegistryEx::ReadDword(const wchar_t* valueName, DWORD& value) {
    std::array<BYTE, sizeof(DWORD)> bytes{};
    if (!Query(valueName, bytes.data(), static_cast<DWORD>(bytes.size()))) return false;
    // A shorter value would leave part of the number unwritten: refuse it
    // instead of inventing the missing bytes.
    if (m_dwSize != bytes.size()) return false;
    std::memcpy(&value, bytes.data(), bytes.size());
    return true;
}

bool CRegistryEx::ReadStringToBuffer(const wchar_t* valueName, std::span<wchar_t> destination) {
    std::array<wchar_t, kBufferUnits> units{};
    if (!Query(valueName, reinterpret_cast<BYTE*>(units.data()),
               static_cast<DWORD>(units.size() * sizeof(wchar_t))))
        return false;
    // The stored bytes as they are, then a NUL, so a text stored without
    // its terminator still ends inside the caller's buffer.
    const size_t unitsUsed = (m_dwSize + sizeof(wchar_t) - 1) / sizeof(wchar_t);
    if (unitsUsed + 1 > destination.size()) {
        m_lResult = ERROR_MORE_DATA;
        return false;
    }
    // Whole units from the zero-filled read buffer: an odd byte count gets
    // a zero high byte in its last unit.
    std::memcpy(destination.data(), units.data(), unitsUsed * sizeof(wchar_t));
    destination[unitsUsed] = L'\0';
    return true;
}

bool CRegistryEx::ReadString(const wchar_t* valueName, std::wstring& result) {
    std::array<BYTE, kStringUnits * sizeof(wchar_t)> bytes{};
    if (!Query(valueName, bytes.data(), static_cast<DWORD>(bytes.size()))) return false;
    result = support_detail::TextUpToNul(bytes.data(), m_dwSize);
    return true;
}

bool CRegistryEx::WriteString(const wchar_t* valueName, std::wstring_view value) {
    const std::wstring text(value);  // with its terminating NUL
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    m_dwType = REG_SZ;
    if (bytes > MAXDWORD) {
        m_lResult = ERROR_INVALID_PARAMETER;
        m_dwSize = 0;
        return false;
    }
    m_dwSize = static_cast<DWORD>(bytes);
    m_lResult = ::RegSetValueExW(m_hKey.get(), valueName, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(text.c_str()), m_dwSize);
    return m_lResult == ERROR_SUCCESS;
}

void CRegistryEx::WriteDword(const wchar_t* valueName, DWORD value) {
    ::RegSetValueExW(m_hKey.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                     sizeof(value));
}

bool EnsureKey(CRegistryEx& key, const wchar_t* keyPath) {
    return key.Open(keyPath) || key.Create(keyPath);
}

}  // namespace zarn
