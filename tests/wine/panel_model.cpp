// Loaded into a running vek-panel.exe by the story runner (LoadLibrary on a thread it starts in
// the panel), this shows the panel a file's size as Windows' directory entry shows it while
// another program holds the file open and writes it: Windows brings the entry up to date only now
// and then (at the latest when that handle closes), and here never, as at its worst. Only the
// driver's traces are shown so; the panel's other files are its own and closed when it looks.
#include <windows.h>

#include <sys/stat.h>

#include <cwchar>

#include "tests/shared/import_patch.h"

namespace {

using Stat64 = int(__cdecl*)(const wchar_t*, struct _stat64*);

struct Entry {
    wchar_t path[MAX_PATH];
    __int64 size;
};

ULONG_PTR g_stat = 0;  // the C runtime's own
SRWLOCK g_lock = SRWLOCK_INIT;
Entry g_entries[16];
int g_used = 0;

bool is_trace(const wchar_t* path) {
    const std::size_t n = std::wcslen(path);
    return n > 6 && _wcsicmp(path + n - 6, L".trace") == 0 && n < MAX_PATH;
}

// The size the entry shows: the first one seen, unless the file was begun again (renamed aside
// and made anew, smaller), which makes a new entry.
__int64 entry_size(const wchar_t* path, __int64 size) {
    AcquireSRWLockExclusive(&g_lock);
    Entry* e = nullptr;
    for (int i = 0; i < g_used && e == nullptr; ++i) {
        if (_wcsicmp(g_entries[i].path, path) == 0) e = &g_entries[i];
    }
    if (e == nullptr && g_used < 16) {
        e = &g_entries[g_used++];
        wcscpy_s(e->path, MAX_PATH, path);
        e->size = size;
    }
    if (e != nullptr && size < e->size) e->size = size;
    const __int64 shown = e != nullptr ? e->size : size;
    ReleaseSRWLockExclusive(&g_lock);
    return shown;
}

int __cdecl entry_wstat64(const wchar_t* path, struct _stat64* status) {
    const int result = reinterpret_cast<Stat64>(g_stat)(path, status);
    if (result == 0 && path != nullptr && is_trace(path)) status->st_size = entry_size(path, status->st_size);
    return result;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    const ImportShim shims[] = {{"msvcrt.dll", "_wstat64", shim_address(&entry_wstat64), &g_stat}};
    // Refused, the runner's LoadLibrary fails and the story says so.
    return patch_imports(GetModuleHandleW(nullptr), shims, 1) > 0 ? TRUE : FALSE;
}
