// The update server's base address (scheme, host and port), fixed at
// configure time by the ZARN_UPDATE_SERVER cache setting. Every request to the update
// server is this address followed by a path under /append/application/.
#pragma once

#include <string>
#include <string_view>

namespace zarn {

// The base address as configured, from the module's build settings
// (update/build_settings.cpp, compiled into each module).
std::wstring_view UpdateServerBase();

// The full URL of `path` (which starts with "/") on the update server.
inline std::wstring UpdateServerUrl(std::wstring_view path) {
    std::wstring url(UpdateServerBase());
    url += path;
    return url;
}

}  // namespace zarn
