// A DLL that carries the test scripts, so that a run can take a module handle
// that is not the main program's.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
