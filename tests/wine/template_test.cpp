// Reads the DLL's resources back from the built file, without running it, and holds them against
// what the driver promises: dialog template 101 in French, field for field, and the version that
// Windows shows in the file's properties.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

#include "wine_test_support.h"

namespace {

// A reader of the extended dialog template: little-endian fields, UTF-16 strings, and items that
// start on 32-bit boundaries counted from the template's start.
class TemplateReader {
public:
    TemplateReader(const BYTE* start, DWORD size) : start_(start), at_(start), end_(start + size) {}
    bool overran() const { return overran_; }

    WORD word() { return static_cast<WORD>(take(2)); }
    DWORD dword() { return take(4); }
    short coordinate() { return static_cast<short>(word()); }
    BYTE byte() { return static_cast<BYTE>(take(1)); }

    std::wstring text() {
        std::wstring s;
        for (WORD c = word(); c != 0 && !overran_; c = word()) s.push_back(static_cast<wchar_t>(c));
        return s;
    }

    // A name that is empty, an ordinal, or a string. Ordinals read as "#n".
    std::wstring name_or_ordinal() {
        const WORD first = word();
        if (first == 0x0000) return L"";
        if (first == 0xFFFF) return L"#" + std::to_wstring(word());
        at_ -= 2;
        return text();
    }

    void align_to_dword() {
        while ((at_ - start_) % 4 != 0) ++at_;
    }

private:
    DWORD take(int bytes) {
        if (end_ - at_ < bytes) {
            overran_ = true;
            return 0;
        }
        DWORD value = 0;
        for (int i = 0; i < bytes; ++i) value |= static_cast<DWORD>(at_[i]) << (8 * i);
        at_ += bytes;
        return value;
    }

    const BYTE* start_;
    const BYTE* at_;
    const BYTE* end_;
    bool overran_ = false;
};

// The predefined control classes are stored as ordinals; a class may also be stored by name, in
// any case. Either way this gives the class's name in lower case.
std::wstring class_name(const std::wstring& stored) {
    if (stored == L"#128") return L"button";
    if (stored == L"#129") return L"edit";
    if (stored == L"#130") return L"static";
    std::wstring lower = stored;
    for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
    return lower;
}

struct Control {
    DWORD id;
    const wchar_t* class_name;
    const wchar_t* text;
    short x, y, width, height;
    DWORD style;
};

// The dialog's table, in tab order. A dialog's controls are always child windows.
const Control kControls[] = {
    {IDOK, L"button", L"OK", 71, 39, 50, 14, WS_CHILD | BS_DEFPUSHBUTTON | WS_VISIBLE | WS_TABSTOP},
    {IDCANCEL, L"button", L"Cancel", 7, 39, 50, 14, WS_CHILD | BS_PUSHBUTTON | WS_VISIBLE | WS_TABSTOP},
    {1000, L"edit", L"", 75, 9, 40, 14, WS_CHILD | WS_BORDER | ES_AUTOHSCROLL | WS_VISIBLE | WS_TABSTOP},
    {0xFFFFFFFF, L"static", L"D\u00e9lai (ms) :", 7, 9, 36, 8, WS_CHILD | SS_LEFT | WS_VISIBLE | WS_GROUP},
};

void check_text(const std::wstring& got, const wchar_t* want, const char* what) {
    if (got == want) return;
    check(false, what);
    std::printf("  got \"");
    for (wchar_t c : got) std::printf(c < 0x80 ? "%lc" : "\\u%04x", static_cast<wint_t>(c));
    std::printf("\"\n");
}

BOOL CALLBACK collect_language(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR languages) {
    reinterpret_cast<std::vector<WORD>*>(languages)->push_back(language);
    return TRUE;
}

void test_dialog_template(HMODULE dll) {
    const LPCSTR name = MAKEINTRESOURCEA(101);
    std::vector<WORD> languages;
    EnumResourceLanguagesA(dll, RT_DIALOG, name, collect_language, reinterpret_cast<LONG_PTR>(&languages));
    CHECK_EQ(languages.size(), 1u, "template 101 exists in one language");
    if (languages.size() != 1) return;
    CHECK_EQ(languages[0], 1036, "template 101 is French");

    HRSRC found = FindResourceExA(dll, RT_DIALOG, name, languages[0]);
    HGLOBAL loaded = found != nullptr ? LoadResource(dll, found) : nullptr;
    const auto* bytes = static_cast<const BYTE*>(loaded != nullptr ? LockResource(loaded) : nullptr);
    check(bytes != nullptr, "template 101 can be loaded");
    if (bytes == nullptr) return;

    TemplateReader t(bytes, SizeofResource(dll, found));
    CHECK_EQ(t.word(), 1, "extended template: version 1");
    CHECK_EQ(t.word(), 0xFFFF, "extended template: signature");
    CHECK_EQ(t.dword(), 0u, "dialog help id");
    CHECK_EQ(t.dword(), 0u, "dialog extended style");
    CHECK_EQ(t.dword(), static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT),
             "dialog style");
    const WORD count = t.word();
    CHECK_EQ(count, 4, "control count");
    CHECK_EQ(t.coordinate(), 0, "dialog x");
    CHECK_EQ(t.coordinate(), 0, "dialog y");
    CHECK_EQ(t.coordinate(), 128, "dialog width");
    CHECK_EQ(t.coordinate(), 60, "dialog height");
    check_text(t.name_or_ordinal(), L"", "no menu");
    check_text(t.name_or_ordinal(), L"", "the platform's dialog class");
    check_text(t.text(), L"Vek Sorvanti driver", "caption");
    CHECK_EQ(t.word(), 8, "font size");
    CHECK_EQ(t.word(), 0, "font weight");
    CHECK_EQ(t.byte(), 0, "font italic");
    CHECK_EQ(t.byte(), 0, "font character set");
    check_text(t.text(), L"MS Sans Serif", "font");

    for (WORD i = 0; i < count && i < 4 && !t.overran(); ++i) {
        const Control& want = kControls[i];
        std::printf("control %u: id %ld\n", i, static_cast<long>(want.id));
        t.align_to_dword();
        CHECK_EQ(t.dword(), 0u, "control help id");
        CHECK_EQ(t.dword(), 0u, "control extended style");
        CHECK_EQ(t.dword(), want.style, "control style");
        CHECK_EQ(t.coordinate(), want.x, "control x");
        CHECK_EQ(t.coordinate(), want.y, "control y");
        CHECK_EQ(t.coordinate(), want.width, "control width");
        CHECK_EQ(t.coordinate(), want.height, "control height");
        CHECK_EQ(t.dword(), want.id, "control id");
        check_text(class_name(t.name_or_ordinal()), want.class_name, "control class");
        check_text(t.name_or_ordinal(), want.text, "control text");
        CHECK_EQ(t.word(), 0, "no creation data");
    }
    check(!t.overran(), "the template holds everything it announces");
}

std::string version_string(const std::vector<char>& info, const char* name) {
    const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), path.c_str(), &value, &length) || value == nullptr) return "(missing)";
    return static_cast<const char*>(value);
}

void check_string(const std::string& got, const char* want, const char* what) {
    check(got == want, what);
    if (got != want) std::printf("  got \"%s\", want \"%s\"\n", got.c_str(), want);
}

// The version comes from project() in the build; the build passes the same numbers to this test.
void test_version(const std::string& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    check(size != 0, "the DLL has a version resource");
    if (size == 0) return;
    std::vector<char> info(size);
    check(GetFileVersionInfoA(path.c_str(), 0, size, info.data()) != 0, "version resource read");

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    check(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length) && fixed != nullptr,
          "fixed version information");
    if (fixed == nullptr) return;
    const DWORD high = MAKELONG(VEK_EXPECTED_MINOR, VEK_EXPECTED_MAJOR);
    const DWORD low = MAKELONG(0, VEK_EXPECTED_PATCH);
    CHECK_EQ(fixed->dwSignature, 0xFEEF04BDu, "fixed version signature");
    CHECK_EQ(fixed->dwFileVersionMS, high, "file version major.minor");
    CHECK_EQ(fixed->dwFileVersionLS, low, "file version patch");
    CHECK_EQ(fixed->dwProductVersionMS, high, "product version major.minor");
    CHECK_EQ(fixed->dwProductVersionLS, low, "product version patch");
    CHECK_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL), "file type DLL");

    check_string(version_string(info, "FileVersion"), VEK_EXPECTED_VERSION, "FileVersion");
    check_string(version_string(info, "ProductVersion"), VEK_EXPECTED_VERSION, "ProductVersion");
    const std::string description = version_string(info, "FileDescription");
    check_string(description, VEK_EXPECTED_DESCRIPTION, "FileDescription");
    check(description.find_first_of("\r\n") == std::string::npos, "the description is one line");
}

}  // namespace

int main() {
    const std::string path = driver_path();
    // As data: the resources as the file holds them, and none of the module's code runs.
    HMODULE dll = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (dll == nullptr) {
        std::printf("FAIL: LoadLibraryExA(%s): error %lu\n", path.c_str(), GetLastError());
        return 1;
    }
    test_dialog_template(dll);
    FreeLibrary(dll);
    test_version(path);
    return report();
}
