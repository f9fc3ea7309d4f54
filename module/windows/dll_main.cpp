// The library's load entry. The module keeps no per-thread state, so thread
// attach and detach notifications would only cost time.
#include <windows.h>

// mingw-w64's start-up code refers to this callback, and so pulls in its TLS
// support, which gives the DLL a TLS directory: Windows 95's LoadLibrary
// refuses such a DLL, and 98 and ME never set it up. The module has no
// thread-local data; defining the callback as null keeps the directory out
// and the runtime's start-up as it is.
extern "C" const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback = nullptr;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
