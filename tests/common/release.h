// Signed releases for the update server stand-in: the manifest, its
// signature made by openssl with the throwaway key of the build, and the files
// published together. Hashes, signatures and keys are made by the stand-in
// (updateserver::ReleaseJob), not by Linux programs this process starts: a
// 32-bit Wine process that had started them was seen to lose its
// program-files lookup afterwards.
#pragma once

#include <string>
#include <string_view>

namespace rig::release {

// Runs `command` with the Linux shell and waits for it; its exit status, or
// -1 when it did not finish within two minutes.
int RunLinux(const std::string& command);

// The Linux path of a path on Wine's Z: drive.
std::string UnixPath(const std::wstring& windowsPath);

// The private key the build's module trusts (ZARN_RELEASE_KEY, a Linux path).
std::string TrustedKey();
// A private key the module does not know, made once per build folder.
std::string UnknownKey();

std::string Hex(std::string_view bytes);
// Lowercase hex of the SHA-256 of `bytes`, as openssl computes it.
std::string Sha256Hex(std::string_view bytes);

// A manifest for these exact bytes, in the published format (LF line ends).
std::string Manifest(unsigned long release, std::string_view versionBytes,
                     std::string_view packageBytes);
// The DER signature openssl makes over `manifest` with `key`.
std::string Sign(std::string_view manifest, const std::string& key = TrustedKey());

// Publishes version.ini, install.zip, release.txt and release.sig on the
// stand-in, the manifest signed with `key`.
void Publish(std::string_view versionBytes, std::string_view packageBytes,
             unsigned long release = 1, const std::string& key = TrustedKey());

}  // namespace rig::release
