// The two transfer programs: the control starts them and hands them item
// lists (launch/), the installation gate looks for their windows and the
// update dialog for the download program's file (update/).
#pragma once

namespace zarn {

// What tells one transfer program from the other: the class of its main
// window and its file in the install folder.
struct TransferProgram {
    const wchar_t* windowClass;
    const wchar_t* fileName;
};

inline constexpr TransferProgram kDownloadProgram{L"Zarn_class_down", L"Zarn_download.exe"};
inline constexpr TransferProgram kUploadProgram{L"Zarn_class_upload", L"Zarn_upload.exe"};

}  // namespace zarn
