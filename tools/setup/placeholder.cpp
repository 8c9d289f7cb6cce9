// Stands in for a transfer program in the installer stand-in until the real
// transfer program stand-ins are built: a program that starts and ends.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return 0; }
