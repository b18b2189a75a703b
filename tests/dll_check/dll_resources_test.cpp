// Reads the DLL's resources back from the built file, natively and without running any of its
// code, so that every machine can check the DLL it builds: dialog template 101 in French, field for
// field, and the version that Windows shows in the file's properties.
// Usage: dll_resources_test DLL i386|amd64
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "pe_image.h"
#include "tests/checks.h"

namespace {

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;

// The values of the Windows headers that the template and the version resource are held to.
constexpr DWORD WS_POPUP = 0x80000000, WS_CHILD = 0x40000000, WS_VISIBLE = 0x10000000, WS_CAPTION = 0x00C00000,
                WS_BORDER = 0x00800000, WS_SYSMENU = 0x00080000, WS_GROUP = 0x00020000, WS_TABSTOP = 0x00010000;
constexpr DWORD DS_MODALFRAME = 0x80, DS_SETFONT = 0x40;
constexpr DWORD BS_PUSHBUTTON = 0x0, BS_DEFPUSHBUTTON = 0x1, ES_AUTOHSCROLL = 0x80, SS_LEFT = 0x0;
constexpr DWORD IDOK = 1, IDCANCEL = 2, VFT_DLL = 2;
constexpr WORD kFrench = 1036;

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
    for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(static_cast<wint_t>(c)));
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

void test_dialog_template(const pe::Image& dll) {
    const std::vector<pe::Resource> found = pe::find_resources(dll, pe::kResourceDialog, 101);
    CHECK_EQ(found.size(), 1u, "template 101 exists in one language");
    if (found.size() != 1) return;
    CHECK_EQ(found[0].language, kFrench, "template 101 is French");

    TemplateReader t(found[0].data, found[0].size);
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

// One block of the version resource: a key, a value and the blocks inside it, each starting on a
// 32-bit boundary counted from the resource's start.
struct VersionBlock {
    std::wstring key;
    const BYTE* value = nullptr;
    DWORD value_size = 0;  // in bytes
    std::vector<VersionBlock> children;
};

bool read_block(const BYTE* base, const BYTE* at, const BYTE* end, VersionBlock& block) {
    const WORD length = pe::u16(at, end);
    if (length < 6 || end - at < length) return false;
    const BYTE* block_end = at + length;
    TemplateReader r(at, length);
    r.word();
    const WORD value_length = r.word();
    const WORD is_text = r.word();
    block.key = r.text();
    const auto aligned = [base](const BYTE* p) { return p + (4 - (p - base) % 4) % 4; };
    const BYTE* value = aligned(at + 6 + 2 * (block.key.size() + 1));
    block.value_size = is_text != 0 ? value_length * 2U : value_length;
    if (value > block_end || static_cast<DWORD>(block_end - value) < block.value_size) return false;
    block.value = value;
    for (const BYTE* child = aligned(value + block.value_size); child < block_end;) {
        VersionBlock c;
        if (!read_block(base, child, block_end, c)) return false;
        child = aligned(child + pe::u16(child, block_end));
        block.children.push_back(std::move(c));
    }
    return !r.overran();
}

const VersionBlock* child_named(const VersionBlock& block, const wchar_t* key) {
    for (const VersionBlock& c : block.children) {
        if (c.key == key) return &c;
    }
    return nullptr;
}

// A value of StringFileInfo, in the US English Unicode table the resource script writes.
std::string version_string(const VersionBlock& root, const wchar_t* name) {
    const VersionBlock* table = child_named(root, L"StringFileInfo");
    table = table != nullptr ? child_named(*table, L"040904B0") : nullptr;
    const VersionBlock* value = table != nullptr ? child_named(*table, name) : nullptr;
    if (value == nullptr) return "(missing)";
    std::string text;
    for (DWORD i = 0; i + 1 < value->value_size; i += 2) {
        const WORD c = pe::u16(value->value + i, value->value + value->value_size);
        if (c == 0) break;
        text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return text;
}

void check_string(const std::string& got, const char* want, const char* what) {
    check(got == want, what);
    if (got != want) std::printf("  got \"%s\", want \"%s\"\n", got.c_str(), want);
}

// The version comes from project() in the build; the build passes the same numbers to this test.
void test_version(const pe::Image& dll) {
    const std::vector<pe::Resource> found = pe::find_resources(dll, pe::kResourceVersion, 1);
    CHECK_EQ(found.size(), 1u, "the DLL has one version resource");
    if (found.size() != 1) return;
    VersionBlock root;
    const BYTE* base = found[0].data;
    check(read_block(base, base, base + found[0].size, root) && root.key == L"VS_VERSION_INFO",
          "the version resource reads whole");

    // The fixed part: signature, file and product versions, flags, system and type, in that order.
    const BYTE* fixed = root.value;
    const BYTE* fixed_end = fixed + root.value_size;
    check(fixed != nullptr && root.value_size == 52, "fixed version information");
    if (fixed == nullptr || root.value_size != 52) return;
    const DWORD high = DWORD{VEK_EXPECTED_MAJOR} << 16 | VEK_EXPECTED_MINOR;
    const DWORD low = DWORD{VEK_EXPECTED_PATCH} << 16;
    CHECK_EQ(pe::u32(fixed, fixed_end), 0xFEEF04BDu, "fixed version signature");
    CHECK_EQ(pe::u32(fixed + 8, fixed_end), high, "file version major.minor");
    CHECK_EQ(pe::u32(fixed + 12, fixed_end), low, "file version patch");
    CHECK_EQ(pe::u32(fixed + 16, fixed_end), high, "product version major.minor");
    CHECK_EQ(pe::u32(fixed + 20, fixed_end), low, "product version patch");
    CHECK_EQ(pe::u32(fixed + 36, fixed_end), VFT_DLL, "file type DLL");

    check_string(version_string(root, L"FileVersion"), VEK_EXPECTED_VERSION, "FileVersion");
    check_string(version_string(root, L"ProductVersion"), VEK_EXPECTED_VERSION, "ProductVersion");
    const std::string description = version_string(root, L"FileDescription");
    check_string(description, VEK_EXPECTED_DESCRIPTION, "FileDescription");
    check(description.find_first_of("\r\n") == std::string::npos, "the description is one line");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DLL i386|amd64\n", argv[0]);
        return 2;
    }
    pe::Image dll;
    const std::string error = pe::read_image(argv[1], dll);
    if (!error.empty()) {
        std::printf("FAIL: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    const bool i386 = std::strcmp(argv[2], "i386") == 0;
    CHECK_EQ(dll.machine, i386 ? pe::kMachineI386 : pe::kMachineAmd64, "machine");
    CHECK_EQ(dll.magic, i386 ? pe::kMagicPe32 : pe::kMagicPe32Plus, "optional header format");
    test_dialog_template(dll);
    test_version(dll);
    return report();
}
