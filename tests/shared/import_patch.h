// A module's calls into a system library redirected to a test's own function, by pointing the
// module's import slot for it elsewhere: how the tests put a model of Windows under a program or
// a library they load without changing a byte of it.
#pragma once

#include <windows.h>

#include <cstddef>

struct ImportShim {
    const char* library;  // as the module names it, any case: "kernel32.dll"
    const char* name;
    ULONG_PTR shim;
    ULONG_PTR* original = nullptr;  // where given, what the slot held, for the shim to call through
};

// Every import slot of the module that a shim names, pointed at it; how many were.
int patch_imports(HMODULE module, const ImportShim* shims, std::size_t count);

template <typename F>
ULONG_PTR shim_address(F* f) {
    return reinterpret_cast<ULONG_PTR>(f);
}
