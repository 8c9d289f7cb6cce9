// The update server's base address (scheme, host and port), fixed at build
// time by the ZARN_UPDATE_SERVER cache setting. Every request to the update
// server is this address followed by a path under /append/application/.
#pragma once

#include <string>
#include <string_view>

namespace zarn {

#ifndef ZARN_UPDATE_SERVER
#define ZARN_UPDATE_SERVER L"http://127.0.0.1:18086"
#endif

inline constexpr wchar_t kUpdateServerBase[] = ZARN_UPDATE_SERVER;

// The full URL of `path` (which starts with "/") on the update server.
inline std::wstring UpdateServerUrl(std::wstring_view path) {
    std::wstring url(kUpdateServerBase);
    url += path;
    return url;
}

}  // namespace zarn
