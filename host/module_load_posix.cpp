#include "host/driver_entry.h"

// Runs when the shared library is loaded, as DllMain's attach does on Windows.
__attribute__((constructor)) static void on_module_load() { vek::module_load(nullptr); }
