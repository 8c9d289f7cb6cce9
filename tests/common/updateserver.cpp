#include "common/updateserver.h"

#include "common/rig.h"
#include "framework/handle.h"
#include "update/server_address.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>

namespace rig::updateserver {
namespace {

std::wstring ServerDir() { return BuildDir() + L"\\updateserver"; }

void WriteWholeFile(const std::wstring& path, std::string_view bytes) {
    zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw std::runtime_error("cannot write " + Utf8(path));
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        const DWORD n = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
        if (!::WriteFile(file.get(), bytes.data() + done, n, &written, nullptr) || written == 0)
            throw std::runtime_error("cannot write " + Utf8(path));
        done += written;
    }
}

}  // namespace

std::wstring WebRoot() { return ServerDir() + L"\\webroot"; }

std::wstring Url(std::wstring_view nameAndQuery) {
    return zarn::UpdateServerUrl(L"/append/application/" + std::wstring(nameAndQuery));
}

std::wstring NewTag() {
    static std::atomic<int> counter{0};
    return L"t=" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

void PutFile(std::wstring_view name, std::string_view bytes) {
    WriteWholeFile(WebRoot() + L"\\" + std::wstring(name), bytes);
}

void SetFault(std::wstring_view name, std::string_view directives) {
    WriteWholeFile(WebRoot() + L"\\" + std::wstring(name) + L".fault", directives);
}

void ClearFault(std::wstring_view name) {
    ::DeleteFileW((WebRoot() + L"\\" + std::wstring(name) + L".fault").c_str());
}

void RefuseConnections(bool refuse) {
    const std::wstring path = WebRoot() + L"\\.refuse";
    if (refuse)
        WriteWholeFile(path, "");
    else
        ::DeleteFileW(path.c_str());
    // The server looks at the switch every 0.2 s and shows that it follows
    // it by .refusing.
    const std::wstring state = WebRoot() + L"\\.refusing";
    const auto following = [&] {
        return (::GetFileAttributesW(state.c_str()) != INVALID_FILE_ATTRIBUTES) == refuse;
    };
    WaitFor(following, 10000, 20);
}

std::string ReleaseJob(std::string_view command, std::string_view input) {
    // Wine hands out small process ids again within one run, and an answer
    // a killed process never took stays in the folder: the name also carries
    // the moment this process made its first job, so a later process with
    // the same id cannot take that answer for its own.
    static const ULONGLONG firstJob = ::GetTickCount64();
    static std::atomic<int> counter{0};
    const std::wstring folder = ServerDir() + L"\\requests\\jobs";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring base = folder + L"\\" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(firstJob) + L"-" + std::to_wstring(++counter);
    ::DeleteFileW((base + L".out").c_str());
    ::DeleteFileW((base + L".err").c_str());
    WriteWholeFile(base + L".in", input);
    WriteWholeFile(base + L".tmp", command);
    // Wine's server renames the file, then looks the new name up; when the
    // stand-in has already answered the job and removed it, that lookup
    // fails and the rename that took place is reported as error 8. A
    // rename whose source is gone has queued the job.
    if (!::MoveFileExW((base + L".tmp").c_str(), (base + L".job").c_str(),
                       MOVEFILE_REPLACE_EXISTING)) {
        const DWORD error = ::GetLastError();
        if (::GetFileAttributesW((base + L".tmp").c_str()) != INVALID_FILE_ATTRIBUTES)
            throw std::runtime_error("cannot queue the release job " + std::string(command) +
                                     " as " + Utf8(base) + ".job (error " +
                                     std::to_string(error) + ")");
    }
    const ULONGLONG start = ::GetTickCount64();
    while (::GetTickCount64() - start < 60000) {
        if (auto out = ReadFileBytes(base + L".out")) {
            ::DeleteFileW((base + L".out").c_str());
            return std::move(*out);
        }
        if (auto error = ReadFileBytes(base + L".err")) {
            ::DeleteFileW((base + L".err").c_str());
            throw std::runtime_error("release job " + std::string(command) + " failed: " + *error);
        }
        ::Sleep(10);
    }
    throw std::runtime_error("release job " + std::string(command) + " got no answer");
}

std::vector<Request> RequestsTagged(std::wstring_view tag) {
    const std::wstring logDir = ServerDir() + L"\\requests";
    const std::string wantedTag = Utf8(tag);
    std::vector<Request> found;
    for (const std::string& line : Lines(ReadFileBytes(logDir + L"\\index.txt").value_or(""))) {
        const size_t tab1 = line.find('\t');
        const size_t tab2 = line.find('\t', tab1 + 1);
        if (tab1 == std::string::npos || tab2 == std::string::npos) continue;
        Request request;
        request.method = line.substr(tab1 + 1, tab2 - tab1 - 1);
        request.target = line.substr(tab2 + 1);
        if (request.target.find(wantedTag) == std::string::npos) continue;
        const std::wstring seq = Wide(line.substr(0, tab1));
        request.raw = ReadFileBytes(logDir + L"\\" + seq + L".req").value_or("");
        request.body = ReadFileBytes(logDir + L"\\" + seq + L".body").value_or("");
        found.push_back(std::move(request));
    }
    return found;
}

}  // namespace rig::updateserver
