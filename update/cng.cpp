#include "update/cng.h"

#include "framework/handle.h"

#include <bcrypt.h>

#include <cstring>
#include <vector>

namespace zarn {

namespace {

constexpr DWORD kFileBlockBytes = 1 << 20;

bool Ok(NTSTATUS status) { return status >= 0; }

template <typename F>
bool Bind(HMODULE module, const char* name, F*& entry) {
    entry = reinterpret_cast<F*>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    return entry != nullptr;
}

}  // namespace

struct Cng::Api {
    decltype(&::BCryptOpenAlgorithmProvider) open;
    decltype(&::BCryptCloseAlgorithmProvider) close;
    decltype(&::BCryptGetProperty) getProperty;
    decltype(&::BCryptCreateHash) createHash;
    decltype(&::BCryptHashData) hashData;
    decltype(&::BCryptFinishHash) finishHash;
    decltype(&::BCryptDestroyHash) destroyHash;
    decltype(&::BCryptImportKeyPair) importKeyPair;
    decltype(&::BCryptDestroyKey) destroyKey;
    decltype(&::BCryptVerifySignature) verify;
};

std::unique_ptr<Cng> Cng::Load(const wchar_t* dll) {
    std::unique_ptr<Cng> cng(new Cng());
    cng->module_ = ::LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!cng->module_ && ::GetLastError() == ERROR_INVALID_PARAMETER)
        cng->module_ = ::LoadLibraryW(dll);  // a system without the search flags
    if (!cng->module_) return nullptr;
    auto api = std::make_unique<Api>();
    const HMODULE m = cng->module_;
    if (!Bind(m, "BCryptOpenAlgorithmProvider", api->open) ||
        !Bind(m, "BCryptCloseAlgorithmProvider", api->close) ||
        !Bind(m, "BCryptGetProperty", api->getProperty) ||
        !Bind(m, "BCryptCreateHash", api->createHash) ||
        !Bind(m, "BCryptHashData", api->hashData) ||
        !Bind(m, "BCryptFinishHash", api->finishHash) ||
        !Bind(m, "BCryptDestroyHash", api->destroyHash) ||
        !Bind(m, "BCryptImportKeyPair", api->importKeyPair) ||
        !Bind(m, "BCryptDestroyKey", api->destroyKey) ||
        !Bind(m, "BCryptVerifySignature", api->verify))
        return nullptr;
    cng->api_ = std::move(api);
    BCRYPT_ALG_HANDLE sha = nullptr, ecdsa = nullptr;
    if (!Ok(cng->api_->open(&sha, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return nullptr;
    cng->sha256_ = sha;
    if (!Ok(cng->api_->open(&ecdsa, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) return nullptr;
    cng->ecdsa_ = ecdsa;
    ULONG size = 0, written = 0;
    if (!Ok(cng->api_->getProperty(sha, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&size),
                                   sizeof(size), &written, 0)) ||
        written != sizeof(size))
        return nullptr;
    cng->hashObjectSize_ = size;
    return cng;
}

Cng::~Cng() {
    if (api_) {
        if (sha256_) api_->close(sha256_, 0);
        if (ecdsa_) api_->close(ecdsa_, 0);
    }
    if (module_) ::FreeLibrary(module_);
}

Cng::Hash::~Hash() {
    if (handle_) cng_.api_->destroyHash(handle_);
}

bool Cng::Hash::Add(const void* bytes, ULONG size) {
    return Ok(cng_.api_->hashData(handle_, static_cast<PUCHAR>(const_cast<void*>(bytes)), size, 0));
}

bool Cng::Hash::Finish(Sha256Digest& digest) {
    return Ok(cng_.api_->finishHash(handle_, digest.data(), static_cast<ULONG>(digest.size()), 0));
}

std::unique_ptr<Cng::Hash> Cng::NewHash() const {
    std::unique_ptr<Hash> hash(new Hash(*this));
    // Windows 7 wants the caller to provide the hash object's memory.
    hash->object_ = std::make_unique<std::uint8_t[]>(hashObjectSize_);
    BCRYPT_HASH_HANDLE handle = nullptr;
    if (!Ok(api_->createHash(sha256_, &handle, hash->object_.get(), hashObjectSize_, nullptr, 0,
                             0)))
        return nullptr;
    hash->handle_ = handle;
    return hash;
}

bool Cng::Digest(std::span<const std::uint8_t> bytes, Sha256Digest& digest) const {
    const auto hash = NewHash();
    return hash && hash->Add(bytes.data(), static_cast<ULONG>(bytes.size())) &&
           hash->Finish(digest);
}

bool Cng::DigestFile(HANDLE file, Sha256Digest& digest) const {
    const auto hash = NewHash();
    if (!hash) return false;
    std::vector<std::uint8_t> block(kFileBlockBytes);
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file, block.data(), kFileBlockBytes, &read, nullptr)) return false;
        if (read == 0) break;
        if (!hash->Add(block.data(), read)) return false;
    }
    return hash->Finish(digest);
}

bool Cng::Verify(std::span<const std::uint8_t, 64> point, const Sha256Digest& digest,
                 std::span<const std::uint8_t, 64> signature) const {
    struct {
        BCRYPT_ECCKEY_BLOB header;
        std::uint8_t point[64];
    } blob{};
    blob.header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    blob.header.cbKey = 32;
    std::memcpy(blob.point, point.data(), point.size());
    BCRYPT_KEY_HANDLE key = nullptr;
    if (!Ok(api_->importKeyPair(ecdsa_, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key,
                                reinterpret_cast<PUCHAR>(&blob), sizeof(blob), 0)))
        return false;
    const zfw::scope_exit destroy([&] { api_->destroyKey(key); });
    std::array<std::uint8_t, 64> sig{};
    std::memcpy(sig.data(), signature.data(), sig.size());
    return api_->verify(key, nullptr, const_cast<PUCHAR>(digest.data()),
                        static_cast<ULONG>(digest.size()), sig.data(),
                        static_cast<ULONG>(sig.size()), 0) == 0;
}

}  // namespace zarn
