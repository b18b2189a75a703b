#include "tests/shared/import_patch.h"

#include <cstring>

namespace {

void point(IMAGE_THUNK_DATA* slot, const ImportShim& shim) {
    if (shim.original != nullptr) *shim.original = slot->u1.Function;
    DWORD was = 0;
    VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &was);
    slot->u1.Function = shim.shim;
    VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, was, &was);
}

}  // namespace

int patch_imports(HMODULE module, const ImportShim* shims, std::size_t count) {
    auto* base = reinterpret_cast<unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return 0;
    // The module is built for this program's processor: PE32 here on i686, PE32+ on x86_64, and
    // <windows.h> gives the matching IMAGE_NT_HEADERS and IMAGE_THUNK_DATA.
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC) return 0;
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return 0;

    int patched = 0;
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name != 0; ++d) {
        const char* library = reinterpret_cast<const char*>(base + d->Name);
        // The names come from the lookup table; the address table beside it is what calls go through.
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(
            base + (d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk));
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            const char* name = reinterpret_cast<const char*>(by_name->Name);
            for (std::size_t i = 0; i < count; ++i) {
                if (_stricmp(library, shims[i].library) == 0 && std::strcmp(name, shims[i].name) == 0) {
                    point(slots, shims[i]);
                    ++patched;
                }
            }
        }
    }
    return patched;
}
