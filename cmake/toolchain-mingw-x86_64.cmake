# The same Win32 code for x86_64: a test vehicle for machines that cannot run 32-bit code, never
# shipped.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-cross.cmake)
