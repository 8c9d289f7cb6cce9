#include "bridge/program_update.h"

#include <ctime>

#include "support/log.h"
#include "support/reg_key.h"
#include "support/settings.h"
#include "update/http.h"
#include "update/release_keys.h"
#include "update/server_address.h"

namespace zarn::bridge {

namespace {

constexpr wchar_t kPolicyKey[] = L"Software\\Policies\\Zarn";
constexpr wchar_t kKeptValue[] = L"ProgramRelease";
constexpr wchar_t kSeenValue[] = L"ProgramReleaseSeen";
constexpr wchar_t kCheckedValue[] = L"ProgramReleaseChecked";
// The signature's hex, a line end and the text: never more than this.
constexpr DWORD kKeptMaxBytes = (2 * kSignatureMaxBytes + 1 + kManifestMaxBytes + 1) * sizeof(wchar_t);

std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        out.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
        out.push_back(kDigits[static_cast<unsigned char>(c) & 15]);
    }
    return out;
}

std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace

bool ProgramUpdatePolicyOn() {
    DWORD value = 1, size = sizeof(value);
    // Policies are one key for both views of a 64-bit system.
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kPolicyKey, L"ProgramUpdate", RRF_RT_REG_DWORD, nullptr,
                       &value, &size) != ERROR_SUCCESS)
        return true;
    return value != 0;
}

std::optional<std::string> KeptProgramVersion() {
    const auto kept = ProgramUpdate::Kept();
    const auto release = kept ? ParseProgramRelease(kept->first) : std::nullopt;
    if (!release) return std::nullopt;
    return release->versionText;
}

ProgramUpdate::ProgramUpdate(std::optional<FileVersion> running) : running_(running) {
    try {
        if (!running_ || !ProgramUpdatePolicyOn()) return;
        const auto kept = Kept();
        const auto release = kept ? ParseProgramRelease(kept->first) : std::nullopt;
        if (release && release->version > *running_ && release->For(sizeof(void*) == 8))
            available_ = release->versionText;
    } catch (...) {
        // Nothing offered until the look has run.
    }
}

std::optional<std::pair<std::string, std::string>> ProgramUpdate::Kept() {
    RegKey settings;
    if (!settings.Open(kSettingsKey, KEY_READ)) return std::nullopt;
    const auto kept = settings.ReadText(kKeptValue, {RegTypes::Text, kKeptMaxBytes, false});
    if (!kept) return std::nullopt;
    const std::string narrow(kept->begin(), kept->end());
    const size_t end = narrow.find('\n');
    const auto signature = end == narrow.npos ? std::nullopt : ParseHex(narrow.substr(0, end));
    if (!signature) return std::nullopt;
    return std::pair(narrow.substr(end + 1), *signature);
}

ProgramUpdate::~ProgramUpdate() {
    if (thread_.joinable()) thread_.join();
}

void ProgramUpdate::Start() {
    if (!running_ || thread_.joinable()) return;
    try {
        thread_ = std::thread([this] { Look(); });
    } catch (...) {
        // Without its thread the host offers no update; it works all the same.
    }
}

std::optional<std::string> ProgramUpdate::Available() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return available_;
}

ProgramReleaseVerdict ProgramUpdate::Judge(const std::string& text, const std::string& signature,
                                           bool always) {
    RegKey settings;
    DWORD seen = 0;
    if (settings.Open(kSettingsKey, KEY_READ))
        if (const auto value = settings.ReadDword(kSeenValue, regrule::kDwordType)) seen = value->value;
    const auto cng = Cng::Load();
    ProgramRelease release;
    const ProgramReleaseVerdict verdict = CheckProgramRelease(
        cng.get(), ReleaseKeys(), text, signature, seen, *running_, sizeof(void*) == 8, release);
    const bool valid = verdict == ProgramReleaseVerdict::Newer ||
                       verdict == ProgramReleaseVerdict::NotNewer ||
                       verdict == ProgramReleaseVerdict::NoPackage;
    const std::lock_guard<std::mutex> hold(lock_);
    if (verdict == ProgramReleaseVerdict::Newer)
        available_ = release.versionText;
    else if (valid || always)
        available_.reset();
    return verdict;
}

void ProgramUpdate::Look() {
    try {
        if (!ProgramUpdatePolicyOn()) return;
        RegKey settings;
        if (!settings.OpenOrCreate(kSettingsKey)) return;
        // What an earlier host kept, offered since the start: verified now.
        if (const auto kept = Kept()) {
            Judge(kept->first, kept->second, true);
        } else {
            const std::lock_guard<std::mutex> hold(lock_);
            available_.reset();
        }
        std::int64_t checked = 0;
        if (const auto text = settings.ReadText(kCheckedValue, regrule::kShortText))
            checked = std::wcstoll(text->c_str(), nullptr, 10);
        const std::int64_t now = Now();
        if (checked > 0 && checked <= now && now - checked < kFetchInterval.count()) return;

        settings.WriteText(kCheckedValue, std::to_wstring(now));
        const auto text = FetchSmall(UpdateServerUrl(kProgramReleaseUrlPath), kManifestMaxBytes);
        const auto signature = FetchSmall(UpdateServerUrl(kProgramSignatureUrlPath), kSignatureMaxBytes);
        if (!text || text->status != 200 || !signature || signature->status != 200) {
            ZARN_LOG(L"bridge: no program release could be fetched");
            return;
        }
        const ProgramReleaseVerdict verdict = Judge(text->body, signature->body, false);
        ZARN_LOG(L"bridge: program release: %s", ProgramReleaseVerdictText(verdict));
        if (verdict != ProgramReleaseVerdict::Newer && verdict != ProgramReleaseVerdict::NotNewer &&
            verdict != ProgramReleaseVerdict::NoPackage)
            return;
        // Verified: kept for the next host, and never an older one after it.
        const auto parsed = ParseProgramRelease(text->body);
        if (!parsed) return;
        const std::string kept = Hex(signature->body) + "\n" + text->body;
        settings.WriteText(kKeptValue, std::wstring(kept.begin(), kept.end()));
        settings.WriteDword(kSeenValue, parsed->release);
    } catch (...) {
        // Out of memory or a failed fetch: no update is offered this time.
    }
}

}  // namespace zarn::bridge
