// Loads extension modules (.pyd) the way the Windows loader maps any DLL, without resolving their
// imports (no python312.dll is needed), and looks up each one's PyInit_ function.
// Usage: load_module_win.exe MODULE.pyd NAME [MODULE.pyd NAME ...]; exit status 0 when all load.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    int failures = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        HMODULE module = LoadLibraryExA(argv[i], nullptr, DONT_RESOLVE_DLL_REFERENCES);
        if (!module) {
            std::printf("%s: not loadable (error %lu)\n", argv[i], GetLastError());
            ++failures;
            continue;
        }
        std::string init = std::string("PyInit_") + argv[i + 1];
        if (!GetProcAddress(module, init.c_str())) {
            std::printf("%s: no %s\n", argv[i], init.c_str());
            ++failures;
        }
        FreeLibrary(module);
    }
    return failures == 0 ? 0 : 1;
}
