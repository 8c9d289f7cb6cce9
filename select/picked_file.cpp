#include "select/picked_file.h"

#include "framework/handle.h"
#include "select/selection_sink.h"
#include "support/collapse.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

namespace zarn {

std::wstring InitialFileName(std::wstring_view startFolder) {
    std::wstring text(startFolder);
    text.append(L"\\*.*");
    return CollapseToBackslash(text, L"\\\\");
}

std::wstring MeasurePickedFile(const std::wstring& path) {
    zfw::unique_crtfile file(::_wopen(path.c_str(), _O_RDONLY | _O_BINARY));
    if (file) {
        const __int64 length = ::_filelengthi64(file.get());
        if (length >= 0) return std::wstring(SizeText(static_cast<unsigned long long>(length)).view());
    }
    WIN32_FILE_ATTRIBUTE_DATA entry;
    if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &entry)) {
        const unsigned long long length =
            (static_cast<unsigned long long>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        return std::wstring(SizeText(length).view());
    }
    return L"0";
}

}  // namespace zarn
