// SHA-256 and ECDSA P-256 verification through the system's CNG (bcrypt.dll),
// loaded when first needed rather than imported: the module must still load
// on a system without it, where every release check then fails.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace zarn {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Cng {
public:
    // Loads `dll` (the system's bcrypt.dll) and opens the SHA-256 and ECDSA
    // P-256 providers. Returns null when any of it is missing.
    static std::unique_ptr<Cng> Load(const wchar_t* dll = L"bcrypt.dll");
    ~Cng();
    Cng(const Cng&) = delete;
    Cng& operator=(const Cng&) = delete;

    // An incremental SHA-256.
    class Hash {
    public:
        ~Hash();
        Hash(const Hash&) = delete;
        Hash& operator=(const Hash&) = delete;
        bool Add(const void* bytes, ULONG size);
        bool Finish(Sha256Digest& digest);

    private:
        friend class Cng;
        Hash(const Cng& cng) : cng_(cng) {}
        const Cng& cng_;
        void* handle_ = nullptr;
        std::unique_ptr<std::uint8_t[]> object_;
    };
    // A new hash; null when CNG refuses one.
    std::unique_ptr<Hash> NewHash() const;

    // SHA-256 of `bytes`; false when CNG fails.
    bool Digest(std::span<const std::uint8_t> bytes, Sha256Digest& digest) const;
    // SHA-256 of what is left to read of `file`, read in large blocks.
    bool DigestFile(HANDLE file, Sha256Digest& digest) const;

    // True when `signature` (r then s, 32 bytes each) is a valid ECDSA
    // signature of `digest` by the public point `point` (X then Y).
    bool Verify(std::span<const std::uint8_t, 64> point, const Sha256Digest& digest,
                std::span<const std::uint8_t, 64> signature) const;

private:
    Cng() = default;
    struct Api;
    HMODULE module_ = nullptr;
    std::unique_ptr<Api> api_;
    void* sha256_ = nullptr;
    void* ecdsa_ = nullptr;
    ULONG hashObjectSize_ = 0;
};

}  // namespace zarn
