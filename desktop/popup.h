// AllowPopUp: one entry in the browser's per-user list of sites that may open
// pop-up windows.
#pragma once

namespace zarn {

// Writes `name` (a site, as the page gives it; the empty text names the
// key's default value) into the browser's allow list as DWORD 0. The key is
// the browser's: a missing key is not created, and nothing is reported.
void AllowPopUpsFrom(const wchar_t* name);

}  // namespace zarn
