// The update server stand-in as the suites see it (tests/fixtures/updateserver.cmake
// starts it; tools/updateserver/updateserver.py documents faults and the log).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace rig::updateserver {

// The folder served at /append/application/.
std::wstring WebRoot();
// The full URL of `nameAndQuery` under /append/application/ on the server the
// module was built for.
std::wstring Url(std::wstring_view nameAndQuery);
// A text unique to this process and call, for tagging requests: "t=<pid>-<n>".
std::wstring NewTag();

// Writes `bytes` to <web root>\name, replacing it.
void PutFile(std::wstring_view name, std::string_view bytes);
// Selects how requests for `name` are answered (one directive per line).
void SetFault(std::wstring_view name, std::string_view directives);
// Removes the fault file of `name`.
void ClearFault(std::wstring_view name);

// Makes the server refuse every connection (true) or listen again (false);
// returns once the change has taken effect. Affects every suite using the
// server: take RESOURCE_LOCK updateserver_files.
void RefuseConnections(bool refuse);

// Runs a release job on the server's side, where openssl is a Linux program
// of its own: "sha256", "sign <key.pem>" or "genkey <key.pem>" (Linux paths)
// over `input`. Returns what the job wrote; throws when it failed or no
// answer came within a minute.
std::string ReleaseJob(std::string_view command, std::string_view input = {});

struct Request {
    std::string method;
    std::string target;
    std::string raw;   // request line and header block as received
    std::string body;  // bytes after the header block
};
// The requests logged so far whose target contains `tag`, oldest first.
std::vector<Request> RequestsTagged(std::wstring_view tag);

}  // namespace rig::updateserver
