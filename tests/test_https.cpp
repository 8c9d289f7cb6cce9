// The update road of a module built for an https update server
// (ZarnCtrl2-https.ocx, https://localhost:<port>), through nginx over TLS in
// front of the update server stand-in (tests/https_road.py). The test CA is
// trusted in this prefix only, in the machine's Root store. A server the
// module cannot trust, or that leaves https, ends the update check the way an
// unreachable one does, and the log names why.
#include "common/transfer.h"
#include "common/update.h"

#include "common/com_helpers.h"
#include "common/log_receiver.h"
#include "common/updateserver.h"

#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace server = rig::updateserver;
using rig::transfer::TransferTest;

namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t value[1024] = {};
    const DWORD n = ::GetEnvironmentVariableW(name, value, 1024);
    return n > 0 && n < 1024 ? std::wstring(value) : std::wstring();
}

std::wstring RoadDir() { return Env(L"ZARN_HTTPS_DIR"); }

// Sets the https server up as `mode` (tests/https_road.py) and waits until it
// runs so.
void ServeAs(const char* mode) {
    const std::wstring want = RoadDir() + L"\\want";
    {
        zfw::unique_file file(
            ::CreateFileW(want.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(file.get(), mode, static_cast<DWORD>(std::strlen(mode)), &written,
                                nullptr));
    }
    const auto running = [&] {
        return rig::ReadFileBytes(RoadDir() + L"\\have") == std::optional<std::string>(mode);
    };
    EXPECT_TRUE(rig::WaitFor(running, 30000, 20)) << "the https server never ran as " << mode;
}

// The requests nginx took over TLS and passed on: "GET <target> <status>".
std::vector<std::string> TlsRequests() {
    std::vector<std::string> requests;
    for (const auto& line :
         rig::Lines(rig::ReadFileBytes(RoadDir() + L"\\access.log").value_or(""))) {
        const size_t open = line.find("\"GET ");
        const size_t close = line.find(" HTTP/", open);
        if (open == std::string::npos || close == std::string::npos) continue;
        const size_t status = line.find_first_not_of(' ', line.find('"', close) + 1);
        requests.push_back(line.substr(open + 1, close - open - 1) + " " +
                           line.substr(status, 3));
    }
    return requests;
}

std::string Joined(const std::vector<std::wstring>& lines) {
    std::string text;
    for (const auto& line : lines) text += rig::Utf8(line) + "\n";
    return text;
}

// The test CA in the machine's Root store of this prefix, for the suite's run.
// The store is closed after each change: Wine writes a registry store back
// when it closes, and only then does a chain see the change.
class TrustedTestCa {
public:
    TrustedTestCa() : der_(rig::ReadFileBytes(RoadDir() + L"\\certs\\ca.der").value_or("")) {
        const HCERTSTORE store = OpenRoot();
        if (!store) return;
        ok_ = !der_.empty() &&
              ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, Bytes(), Size(),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
        ::CertCloseStore(store, 0);
    }
    ~TrustedTestCa() {
        if (!ok_) return;
        const HCERTSTORE store = OpenRoot();
        const PCCERT_CONTEXT ca = ::CertCreateCertificateContext(X509_ASN_ENCODING, Bytes(), Size());
        if (store && ca) {
            if (const PCCERT_CONTEXT found = ::CertFindCertificateInStore(
                    store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, ca, nullptr))
                ::CertDeleteCertificateFromStore(found);  // frees `found`, too
        }
        if (ca) ::CertFreeCertificateContext(ca);
        if (store) ::CertCloseStore(store, 0);
    }
    TrustedTestCa(const TrustedTestCa&) = delete;
    TrustedTestCa& operator=(const TrustedTestCa&) = delete;
    bool ok() const { return ok_; }

private:
    static HCERTSTORE OpenRoot() {
        return ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE,
                               L"Root");
    }
    const BYTE* Bytes() const { return reinterpret_cast<const BYTE*>(der_.data()); }
    DWORD Size() const { return static_cast<DWORD>(der_.size()); }

    std::string der_;
    bool ok_ = false;
};

class Https : public TransferTest {
protected:
    static void SetUpTestSuite() { ca_ = new TrustedTestCa(); }
    static void TearDownTestSuite() {
        delete ca_;
        ca_ = nullptr;
        ServeAs("off");
    }

    void SetUp() override {
        TransferTest::SetUp();
        ASSERT_TRUE(ca_ && ca_->ok()) << "the test CA is not trusted, error " << ::GetLastError();
        rig::update::ForgetInstallation();
        rig::update::SetSetupMode(L"report2");
        for (const wchar_t* name : {L"release.txt", L"release.sig"}) server::ClearFault(name);
        // A good release waits behind every server, so only the server can
        // stop the road.
        rig::update::Publish("7.0.0");
        // The control comes from the https module's own file.
        CLSID clsid{};
        ASSERT_HRESULT_SUCCEEDED(::CLSIDFromProgID(zarn::kControlProgId, &clsid));
        ASSERT_HRESULT_SUCCEEDED(rig::CreateFromModuleFile(
            rig::BuildDir() + L"\\ZarnCtrl2-https.ocx", clsid, IID_PPV_ARGS(&control_)));
    }
    void TearDown() override {
        TransferTest::TearDown();
        rig::update::ForgetInstallation();
    }

    struct Outcome {
        LONG result = -1;  // UpLoad: 0 when the update check passed, 1 when it refused
        std::vector<std::wstring> boxes;
        size_t installerRuns = 0;
        bool uploadStarted = false;
        std::vector<std::wstring> log;
        ULONGLONG ms = 0;  // how long UpLoad took
    };
    Outcome Upload() {
        const size_t runsBefore = rig::update::SetupRuns().size();
        Outcome outcome;
        {
            rig::LogReceiver viewer;
            rig::update::Watcher watcher;
            const CallResult call = Call(L"UpLoad", L"user", L"pw", L"/a.txt|1");
            watcher.Stop();
            EXPECT_HRESULT_SUCCEEDED(call.hr);
            outcome.result = call.result.lVal;
            outcome.ms = call.ms();
            for (const auto& box : watcher.boxes) outcome.boxes.push_back(box.text);
            outcome.log = viewer.Lines(L"ZarnCtrl2-https");
        }
        outcome.installerRuns = rig::update::SetupRuns().size() - runsBefore;
        outcome.uploadStarted = !rig::transfer::Select(Record(), "upload", "start").empty();
        return outcome;
    }

    static TrustedTestCa* ca_;
};

TrustedTestCa* Https::ca_ = nullptr;

TEST_F(Https, TheFreshInstallRoadRunsOverTls) {
    ServeAs("trusted");
    const size_t before = TlsRequests().size();
    const Outcome outcome = Upload();
    EXPECT_EQ(outcome.result, 0) << Joined(outcome.log);
    EXPECT_TRUE(outcome.boxes.empty()) << rig::Utf8(outcome.boxes.front());
    EXPECT_EQ(outcome.installerRuns, 1u);
    EXPECT_TRUE(outcome.uploadStarted) << "no hand-off to the upload program";
    EXPECT_EQ(rig::update::InstalledRelease(), std::optional<DWORD>(1));
    EXPECT_EQ(rig::update::InstalledVersion(), std::optional<std::wstring>(L"7.0.0"));

    // Every request of the road came over TLS.
    const std::vector<std::string> all = TlsRequests();
    const std::vector<std::string> road(all.begin() + std::min(before, all.size()), all.end());
    for (const char* file : {"version.ini", "install.zip", "GetInstallFileSize.php",
                             "release.txt", "release.sig"})
        EXPECT_NE(std::find(road.begin(), road.end(),
                            std::string("GET /append/application/") + file + " 200"),
                  road.end())
            << file;
    for (const auto& line : outcome.log)
        EXPECT_EQ(line.find(L"https request"), std::wstring::npos) << rig::Utf8(line);
}

TEST_F(Https, AServerTheModuleCannotTrustEndsTheCheckAndIsNamed) {
    const std::wstring port = Env(L"ZARN_HTTPS_PORT");
    struct Case {
        const char* mode;
        const wchar_t* error;
    };
    const Case cases[] = {
        {"self-signed", L"ERROR_INTERNET_INVALID_CA (12045)"},
        {"other-name", L"ERROR_INTERNET_SEC_CERT_CN_INVALID (12038)"},
        {"plain", L"ERROR_INTERNET_SECURITY_CHANNEL_ERROR (12157)"},
        {"silent", L"ERROR_INTERNET_TIMEOUT (12002)"},
        // WinINet follows the redirect; the reply from plain http is not taken.
        {"redirect", L"ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR (12040)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        ServeAs(c.mode);
        const size_t mark = rig::update::RequestMark();
        const Outcome outcome = Upload();
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(outcome.boxes.size(), 1u);
        EXPECT_EQ(outcome.installerRuns, 0u);
        EXPECT_FALSE(outcome.uploadStarted);
        EXPECT_FALSE(rig::update::InstalledRelease());
        const std::wstring expected =
            L"https request to localhost:" + port + L" failed: " + c.error;
        EXPECT_NE(std::find(outcome.log.begin(), outcome.log.end(), expected), outcome.log.end())
            << "no \"" << rig::Utf8(expected) << "\" in:\n" << Joined(outcome.log);
        // A silent server holds the road no longer than the small fetch's limits.
        EXPECT_LT(outcome.ms, 60000u);
        std::printf("[ measured ] %s: UpLoad refused after %lu ms\n", c.mode,
                    static_cast<unsigned long>(outcome.ms));
        // Only a redirect reaches the stand-in.
        const size_t versionFiles = rig::update::CountTarget(rig::update::RequestsSince(mark),
                                                            "/append/application/version.ini");
        if (std::string(c.mode) == "redirect")
            EXPECT_GE(versionFiles, 1u) << "the redirect was never followed";
        else
            EXPECT_EQ(versionFiles, 0u);
    }
}

}  // namespace
