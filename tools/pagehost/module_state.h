// What a page can learn about a module of its process, to check that a
// control lets its module go once the page has let go of the control:
// DllCanUnloadNow's answer, whether the module is still loaded after COM
// has freed unused libraries, and how many threads run code it started.
#pragma once

#include <string>

namespace pagehost {

// "S_OK" or "S_FALSE" from the module's DllCanUnloadNow, or "not loaded".
std::wstring CanUnloadModule(const std::wstring& name);
// Runs CoFreeUnusedLibraries, then says "unloaded" or "loaded".
std::wstring FreeUnusedModule(const std::wstring& name);
// Threads of this process whose start address lies in the module's image.
// The image is the one loaded now, or the one seen by an earlier call of
// these functions once the module has gone. -1 when neither is known.
int ModuleThreads(const std::wstring& name);

}  // namespace pagehost
