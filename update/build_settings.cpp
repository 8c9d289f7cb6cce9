// What a module was configured with: its update server and the keys its
// releases must be signed with. This file is compiled into each module (and
// each program or suite that stands for one) against the settings header
// configured for it, so that modules for another server or other keys link
// the same libraries.
#include "settings/build_settings.h"
#include "update/release_keys.h"
#include "update/server_address.h"

#include <utility>

namespace zarn {

namespace {

template <std::size_t... I>
constexpr std::array<ReleaseKey, sizeof...(I)> MakeKeys(std::index_sequence<I...>) {
    return {ReleaseKey{settings::kReleaseKeys[I]}...};
}
constexpr auto kKeys = MakeKeys(std::make_index_sequence<std::size(settings::kReleaseKeys)>());

}  // namespace

std::wstring_view UpdateServerBase() { return settings::kUpdateServer; }

std::span<const ReleaseKey> ReleaseKeys() { return kKeys; }

}  // namespace zarn
