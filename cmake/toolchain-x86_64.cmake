# Cross build for the x86_64 Windows target with mingw-w64, win32 thread model:
# the posix model links winpthread, which imports GetTickCount64 (Vista and
# later), so the exe would not load on Windows XP.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CF_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${CF_TRIPLET}-gcc-win32)
set(CMAKE_CXX_COMPILER ${CF_TRIPLET}-g++-win32)
set(CMAKE_RC_COMPILER  ${CF_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${CF_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
