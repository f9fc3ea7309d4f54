# Cross build for Windows with Debian's mingw-w64 toolchain. Set
# VARROKIT_MINGW_ARCH to i686 (32-bit) or x86_64 (64-bit).
if(NOT VARROKIT_MINGW_ARCH)
    set(VARROKIT_MINGW_ARCH i686)
endif()
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VARROKIT_MINGW_ARCH)
set(triplet ${VARROKIT_MINGW_ARCH}-w64-mingw32)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VARROKIT_MINGW_ARCH})
# The posix thread model: GoogleTest needs std::mutex.
set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# A static runtime lets the test programs run under Wine without extra DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
