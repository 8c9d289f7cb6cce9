// The start and the measurements of ShowDlgFile.
#pragma once

#include <string>
#include <string_view>

#include "select/selection_sink.h"

namespace zarn {

// ShowDlgFile: opens the file dialog at the remembered upload folder (else
// the desktop) and reports every picked file with its size to `sink`; the
// folder of the first is remembered once the sink has seen it. Does nothing
// while another dialog of the control is open, or after a cancel. Throws
// zfw::CallFailure when the picked names do not fit the result area.
void PickFiles(SelectionSink& sink);

// The initial file name of the open dialog for a start folder: the folder, a
// backslash and *.*, with every doubled backslash collapsed to one, so a
// folder with a trailing backslash or a network-style prefix gives one
// backslash there.
std::wstring InitialFileName(std::wstring_view startFolder);

// The size text of a picked file: its 64-bit length, read through a
// read-only open. A file that cannot be opened (locked, access denied) is
// measured from its directory entry instead; one that has no entry either
// (a typed name of a file that does not exist) reports 0 bytes, so the size
// is always a decimal byte count and never the folder mark -1.
std::wstring MeasurePickedFile(const std::wstring& path);

}  // namespace zarn
