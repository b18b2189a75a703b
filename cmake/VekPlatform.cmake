# One choice per build: the platform files a subsystem compiles, and how the library exports its
# one entry point. Shared code never tests the platform itself.
if(WIN32)
  set(VEK_PLATFORM win32)
  # The host calls DriverEntry and set_input with cdecl; the 32-bit ABI makes it explicit.
  set(VEK_CDECL __cdecl)
  # The lean headers leave out mmsystem.h, whose installable-driver messages (DRV_CONFIGURE
  # among them) are macros that would replace the host's command names.
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX)
  # The DLL carries its dialog template and version in a resource script.
  enable_language(RC)
  # printf-style checks as the C library formats: with libstdc++, mingw-w64's own C99 functions
  # (%zu, %llu), which GCC calls gnu_printf; its plain printf means the MSVC runtime's.
  add_compile_definitions(VEK_PRINTF_FORMAT=gnu_printf)
else()
  set(VEK_PLATFORM posix)
  set(VEK_CDECL "")
  add_compile_definitions(VEK_PRINTF_FORMAT=printf)
endif()

function(vek_driver_exports target)
  if(WIN32)
    # Undecorated DriverEntry from the .def file; libgcc, libstdc++ and winpthread linked in, so
    # that the DLL imports only Windows system libraries.
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/host/vek_driver.def)
    set_target_properties(${target} PROPERTIES PREFIX "")
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
    # The static runtime libraries bring their debugging sections; the shipped DLL does not need them.
    target_link_options(${target} PRIVATE $<$<CONFIG:Release>:-s>)
  else()
    set(script ${PROJECT_SOURCE_DIR}/host/vek_driver.map)
    target_link_options(${target} PRIVATE "LINKER:--version-script=${script}" "LINKER:--no-undefined")
    set_target_properties(${target} PROPERTIES LINK_DEPENDS ${script})
  endif()
endfunction()
