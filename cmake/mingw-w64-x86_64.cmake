# Cross-compiling for Windows x64 with mingw-w64 (posix thread model, for std::thread and
# std::mutex). Executables and modules carry their C++ runtime statically, so nothing but system
# DLLs (and python312.dll for the modules) needs to be found at run time.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(OZU_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${OZU_MINGW_PREFIX}-gcc-posix ${OZU_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${OZU_MINGW_PREFIX}-g++-posix ${OZU_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${OZU_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${OZU_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Windows 7 API level: CancelIoEx and the SetupAPI property calls.
add_compile_definitions(_WIN32_WINNT=0x0601)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
