// What the host answers a person who starts it by hand, not a browser:
//
//   zarn-bridge.exe --version    its file version, the protocols it speaks
//                                and its architecture
//   zarn-bridge.exe --diagnose   the install folder and the transfer
//                                programs, then, per browser, every registry
//                                place it searches for com.zarn.bridge in its
//                                order and what is there, with one line
//                                beginning "Problem:" for each thing that
//                                keeps the browser from starting this host
//
// A browser never starts the host so: its first argument is the caller
// (an extension origin, or Firefox's manifest path).
#pragma once

#include <optional>
#include <string>

namespace zarn::bridge {

// The exit status when the arguments ask for --version (0) or --diagnose
// (0, or 1 when it found a problem), once the answer has been shown;
// nullopt when they do not, and the host serves a browser.
std::optional<int> AnswerPerson(int argc, wchar_t** argv);

// The texts shown, one line per "\n". The diagnosis returns how many
// problems it found.
std::wstring VersionText();
int DiagnosisText(std::wstring& out);

}  // namespace zarn::bridge
