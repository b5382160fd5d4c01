# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix thread
# model, so std::thread and std::mutex are available to the unit tests).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(WINM_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${WINM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${WINM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${WINM_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${WINM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C++ and threading runtimes go into every executable and library, so a
# program folder needs no runtime DLLs beside its own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Test executables run under Wine.
find_program(WINM_WINE wine)
if(WINM_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINM_WINE})
endif()
