// The baseline the download benchmarks compare against: the same request as
// the control makes, read with 64 KiB reads straight into a file.
#pragma once

#include <string>

namespace rig {

bool PlainDownload(const std::wstring& url, const std::wstring& path);

}  // namespace rig
