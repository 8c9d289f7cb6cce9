// Shared by the transfer suites: the control through its scripting
// interface, the transfer program stand-ins in the install folder, and what
// the stand-ins recorded.
#pragma once

#include <windows.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "common/rig.h"
#include "control/identity.h"
#include "framework/handle.h"

namespace rig::transfer {

using Microsoft::WRL::ComPtr;

inline ULONGLONG Now() { return ::GetTickCount64(); }

// One line of a stand-in's record: "<program> <kind> key=value ...".
struct RecordLine {
    std::string program;
    std::string kind;
    std::map<std::string, std::string> fields;
    std::string rest;  // for "arg" lines: "<index> <argument>"
};

inline std::vector<RecordLine> ReadRecord(const std::wstring& path) {
    std::vector<RecordLine> lines;
    zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return lines;
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0)
        text.append(chunk, got);
    for (const std::string& raw : rig::Lines(text)) {
        RecordLine line;
        const size_t a = raw.find(' ');
        const size_t b = raw.find(' ', a + 1);
        if (a == std::string::npos) continue;
        line.program = raw.substr(0, a);
        line.kind = raw.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
        line.rest = b == std::string::npos ? "" : raw.substr(b + 1);
        // key=value fields; "cmdline=" and "text=" take the rest of the line.
        size_t pos = b;
        while (pos != std::string::npos && pos < raw.size()) {
            const size_t start = pos + 1;
            const size_t eq = raw.find('=', start);
            if (eq == std::string::npos) break;
            const std::string key = raw.substr(start, eq - start);
            if (key.find(' ') != std::string::npos) break;
            if (key == "cmdline" || key == "text") {
                line.fields[key] = raw.substr(eq + 1);
                break;
            }
            pos = raw.find(' ', eq);
            line.fields[key] = raw.substr(eq + 1, pos == std::string::npos ? std::string::npos : pos - eq - 1);
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

// Ends the programs the record says were started (those still running).
inline void EndStarted(const std::vector<RecordLine>& record) {
    for (const RecordLine& line : record) {
        if (line.kind != "start") continue;
        zfw::unique_handle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                                 std::stoul(line.fields.at("pid"))));
        if (!process) continue;
        ::TerminateProcess(process.get(), 0);
        ::WaitForSingleObject(process.get(), 5000);
    }
}

inline std::vector<RecordLine> Select(const std::vector<RecordLine>& all, const std::string& program,
                                      const std::string& kind) {
    std::vector<RecordLine> out;
    std::copy_if(all.begin(), all.end(), std::back_inserter(out), [&](const RecordLine& l) {
        return l.program == program && l.kind == kind;
    });
    return out;
}

inline std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Where the service's installer, a 32-bit program, puts the transfer
// programs on a 64-bit system (every test prefix is one): its program-files
// folder. The module of either architecture must look there.
inline std::wstring InstallFolder() { return rig::PrefixFolder("install") + L"\\"; }

inline void SetEnv(const wchar_t* name, const std::wstring& value) {
    ::SetEnvironmentVariableW(name, value.empty() ? nullptr : value.c_str());
}

// The stand-ins' settings travel in this process's environment, which the
// control's start of a program passes on.
struct StandInSettings {
    std::wstring replies;
    std::wstring mode;
    std::wstring hangMs;
    void Apply() const {
        SetEnv(L"ZARN_TRANSFER_REPLIES", replies);
        SetEnv(L"ZARN_TRANSFER_MODE", mode);
        SetEnv(L"ZARN_TRANSFER_HANG_MS", hangMs);
    }
};

// Per test: a fresh record file, the stand-ins copied into the install
// folder, and every stand-in that recorded a start ended afterwards.
class TransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        // Process IDs repeat between runs under Wine, so the folder name
        // alone does not make the record fresh.
        record_ = rig::ScratchDir(L"transfer") + L"\\record.txt";
        ::DeleteFileW(record_.c_str());
        SetEnv(L"ZARN_TRANSFER_RECORD", record_);
        // No stand-in outlives its test by much, even when a test fails early.
        SetEnv(L"ZARN_TRANSFER_LIFETIME_MS", L"60000");
        StandInSettings{}.Apply();
        ASSERT_EQ(::FindWindowW(L"Zarn_class_down", nullptr), nullptr) << "a download program is left over";
        ASSERT_EQ(::FindWindowW(L"Zarn_class_upload", nullptr), nullptr) << "an upload program is left over";
    }

    void TearDown() override {
        EndPrograms();
        RemoveInstalled();
        control_.Reset();
        ::CoUninitialize();
    }

    // Ends every stand-in that recorded a start.
    void EndPrograms() {
        for (const RecordLine& line : ReadRecord(record_)) {
            if (line.kind != "start") continue;
            const DWORD pid = std::stoul(line.fields.at("pid"));
            zfw::unique_handle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
            if (!process) continue;
            ::TerminateProcess(process.get(), 0);
            ::WaitForSingleObject(process.get(), 5000);
        }
    }

    void InstallStandIns() {
        ::CreateDirectoryW(InstallFolder().c_str(), nullptr);
        for (const wchar_t* name : {L"Zarn_download.exe", L"Zarn_upload.exe"}) {
            const std::wstring from = rig::BuildDir() + L"\\" + name;
            ASSERT_TRUE(::CopyFileW(from.c_str(), (InstallFolder() + name).c_str(), FALSE))
                << "copy failed, error " << ::GetLastError();
        }
    }

    static void RemoveInstalled() {
        for (const wchar_t* name : {L"Zarn_download.exe", L"Zarn_upload.exe"})
            ::DeleteFileW((InstallFolder() + name).c_str());
        ::RemoveDirectoryW(InstallFolder().c_str());
    }

    // Starts a stand-in as a user would have (from the build folder, with
    // its own command line) and waits for its window.
    void StartRunning(const wchar_t* program, const wchar_t* windowClass) {
        ASSERT_TRUE(rig::Start(L"\"" + rig::BuildDir() + L"\\" + program + L"\" earlier user"));
        rig::WaitFor([&] { return ::FindWindowW(windowClass, nullptr) != nullptr; }, 5000, 25);
        ASSERT_NE(::FindWindowW(windowClass, nullptr), nullptr) << "stand-in window never appeared";
    }

    IDispatch* Control() {
        if (!control_) {
            CLSID clsid{};
            EXPECT_HRESULT_SUCCEEDED(::CLSIDFromProgID(zarn::kControlProgId, &clsid));
            EXPECT_HRESULT_SUCCEEDED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER,
                                                        IID_PPV_ARGS(&control_)));
        }
        return control_.Get();
    }

    struct CallResult {
        rig::HResult hr = 0xdeadbeef;
        VARIANT result{};
        ULONGLONG started = 0, ended = 0;
        ULONGLONG ms() const { return ended - started; }
    };

    // Calls DownLoad or UpLoad by name, as a page's script does. A null
    // `item` is passed as script null.
    CallResult Call(const wchar_t* method, const std::wstring& id, const std::wstring& pw,
                    const wchar_t* item) {
        CallResult call;
        IDispatch* control = Control();
        if (!control) return call;
        DISPID dispid = DISPID_UNKNOWN;
        LPOLESTR name = const_cast<LPOLESTR>(method);
        EXPECT_HRESULT_SUCCEEDED(control->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &dispid));
        zfw::Bstr idText(id), pwText(pw), itemText;
        VARIANT args[3];  // in reverse order
        for (VARIANT& a : args) ::VariantInit(&a);
        args[2].vt = VT_BSTR; args[2].bstrVal = idText.get();
        args[1].vt = VT_BSTR; args[1].bstrVal = pwText.get();
        if (item) {
            itemText = zfw::Bstr(std::wstring_view(item));
            args[0].vt = VT_BSTR; args[0].bstrVal = itemText.get();
        } else {
            args[0].vt = VT_NULL;
        }
        DISPPARAMS params{args, nullptr, 3, 0};
        ::VariantInit(&call.result);
        call.result.vt = VT_I4;
        call.result.lVal = static_cast<LONG>(0xdeadbeef);
        EXCEPINFO info{};
        call.started = Now();
        call.hr = control->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                  &call.result, &info, nullptr);
        call.ended = Now();
        return call;
    }

    std::vector<RecordLine> Record() const { return ReadRecord(record_); }

    std::wstring record_;
    ComPtr<IDispatch> control_;
};

}  // namespace rig::transfer
