#include "update/update_lock.h"

#include <sddl.h>

#include <vector>

namespace zarn {

namespace {

constexpr wchar_t kLockPrefix[] = L"Local\\Zarn.UpdateDialog.";

// The string form of the SID of the user this process runs as, or empty.
std::wstring UserSid() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
    const zfw::unique_handle token(raw);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size < sizeof(TOKEN_USER)) return {};
    std::vector<BYTE> buffer(size);
    if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text))
        return {};
    std::wstring sid(text);
    ::LocalFree(text);
    return sid;
}

}  // namespace

std::wstring UpdateLock::Name() {
    // Without a SID the session's namespace still keeps other sessions apart.
    const std::wstring sid = UserSid();
    return kLockPrefix + (sid.empty() ? std::wstring(L"unknown") : sid);
}

UpdateLock::UpdateLock() : mutex_(::CreateMutexW(nullptr, FALSE, Name().c_str())) {
    // A lock that cannot be made guards nothing; refusing every update
    // because of it would leave the user with no way to install at all.
    if (!mutex_) {
        held_ = true;
        return;
    }
    const DWORD wait = ::WaitForSingleObject(mutex_.get(), 0);
    held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    owned_ = held_;
}

UpdateLock::~UpdateLock() {
    if (owned_) ::ReleaseMutex(mutex_.get());
}

}  // namespace zarn
