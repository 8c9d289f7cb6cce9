// Starts a transfer program from the install folder with the user's
// credentials on its command line.
#pragma once

#include <string>
#include <string_view>

#include "support/transfer_program.h"

namespace zarn {

class ProgramStarter {
public:
    // `installFolder` ends in a backslash.
    explicit ProgramStarter(std::wstring installFolder) : installFolder_(std::move(installFolder)) {}

    // Runs `program` with "<userId> <password>" as its parameters, each
    // quoted when it is empty or holds a space, a tab or a quote, through
    // the shell ("runas" on Windows 6 and later, else
    // "Open"). Whether the start worked is not reported: a program that did
    // not start simply never shows its window to the hand-off. Throws
    // zfw::CallFailure, starting nothing, when the command line would be
    // longer than a program can be given (kMostCommandLineChars).
    void Start(const TransferProgram& program, std::wstring_view userId,
               std::wstring_view password) const;

private:
    std::wstring installFolder_;
};

}  // namespace zarn
