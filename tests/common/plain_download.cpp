#include "common/plain_download.h"

#include <vector>

#include "framework/handle.h"
#include "update/http.h"

namespace rig {

bool PlainDownload(const std::wstring& url, const std::wstring& path) {
    zfw::unique_hinternet session(
        ::InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    const std::wstring headers(zarn::kRequestHeaders);
    zfw::unique_hinternet request(::InternetOpenUrlW(
        session.get(), url.c_str(), headers.c_str(), static_cast<DWORD>(headers.size()),
        zarn::kRequestFlags, 1));
    zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!request || !file) return false;
    std::vector<BYTE> buffer(64 * 1024);
    for (;;) {
        DWORD got = 0, written = 0;
        if (!::InternetReadFile(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                &got))
            return false;
        if (got == 0) return true;
        if (!::WriteFile(file.get(), buffer.data(), got, &written, nullptr)) return false;
    }
}

}  // namespace rig
