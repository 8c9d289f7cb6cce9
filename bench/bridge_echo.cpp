// The floor of the bridge host's benchmarks: a bare windows program, built
// as the host is, that writes every framed message it reads straight back,
// once, or twice with --twice (as many frames as the host's event and reply).
// It moves bytes with the host's own framing (bridge/wire.h): each read takes
// whatever the pipe holds, and the copies of a message go out in one write,
// so that the floor is the pipes' own cost.
#include <windows.h>

#include <cstring>
#include <string>
#include <string_view>

#include "bridge/wire.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    const bool twice = commandLine && std::strstr(commandLine, "--twice");
    zarn::bridge::FrameReader in(::GetStdHandle(STD_INPUT_HANDLE));
    zarn::bridge::FrameWriter out(::GetStdHandle(STD_OUTPUT_HANDLE));
    for (;;) {
        std::string message;
        if (in.Next(message) != zarn::bridge::ReadOutcome::Message ||
            out.Write(message, twice ? std::string_view(message) : std::string_view()) ==
                zarn::bridge::FrameWriter::Outcome::Lost)
            return 0;
    }
}
