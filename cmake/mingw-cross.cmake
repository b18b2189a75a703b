# Cross build with mingw-w64 for CMAKE_SYSTEM_PROCESSOR, which the including toolchain file sets.
# The -posix compilers carry std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(vek_mingw_triple ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)

set(CMAKE_C_COMPILER ${vek_mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${vek_mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${vek_mingw_triple}-windres)
set(CMAKE_OBJDUMP ${vek_mingw_triple}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${vek_mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
