#include "pe_image.h"

#include <fstream>

namespace pe {

uint16_t u16(const uint8_t* at, const uint8_t* end) {
    if (at == nullptr || end - at < 2) return 0;
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

uint32_t u32(const uint8_t* at, const uint8_t* end) {
    if (at == nullptr || end - at < 4) return 0;
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

namespace {

// The file bytes behind `size` bytes at `rva`, or null when a section does not hold them all.
const uint8_t* at_rva(const Image& image, uint32_t rva, uint32_t size) {
    for (const Section& s : image.sections) {
        if (rva < s.rva || rva - s.rva >= s.file_size) continue;
        const uint64_t offset = uint64_t{s.file_offset} + (rva - s.rva);
        if (rva - s.rva + uint64_t{size} > s.file_size || offset + size > image.bytes.size()) return nullptr;
        return image.bytes.data() + offset;
    }
    return nullptr;
}

// Inside the resource section, a directory entry's target is an offset from the section's start;
// the high bit says that it is a further directory.
constexpr uint32_t kSubdirectory = 0x80000000U;

struct Entry {
    uint32_t id;  // a name string's offset has the high bit set; ids never do
    uint32_t target;
};

std::vector<Entry> directory(const Image& image, uint32_t offset) {
    std::vector<Entry> entries;
    const uint8_t* root = at_rva(image, image.resource_rva, image.resource_size);
    if (root == nullptr || offset > image.resource_size || image.resource_size - offset < 16) return entries;
    const uint8_t* end = root + image.resource_size;
    const uint8_t* dir = root + offset;
    const uint32_t count = uint32_t{u16(dir + 12, end)} + u16(dir + 14, end);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = dir + 16 + uint64_t{i} * 8;
        if (end - e < 8) break;
        entries.push_back({u32(e, end), u32(e + 4, end)});
    }
    return entries;
}

// The offset of the subdirectory with that id, or 0 when there is none (0 is the root's own).
uint32_t find_id(const std::vector<Entry>& entries, uint32_t id) {
    for (const Entry& e : entries) {
        if (e.id == id && (e.target & kSubdirectory) != 0) return e.target & ~kSubdirectory;
    }
    return 0;
}

}  // namespace

std::string read_image(const std::string& path, Image& image) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = file ? static_cast<std::streamoff>(file.tellg()) : -1;
    if (size < 0) return "cannot open " + path;
    image.bytes.resize(static_cast<std::size_t>(size));
    file.seekg(0);
    if (!file.read(reinterpret_cast<char*>(image.bytes.data()), size)) return "cannot read " + path;
    const uint8_t* b = image.bytes.data();
    const uint8_t* end = b + image.bytes.size();
    if (image.bytes.size() < 64 || b[0] != 'M' || b[1] != 'Z') return "no MZ header";
    const uint32_t pe_at = u32(b + 60, end);
    if (pe_at > image.bytes.size() - 24 || u32(b + pe_at, end) != 0x00004550U) return "no PE signature";
    const uint8_t* coff = b + pe_at + 4;
    image.machine = u16(coff, end);
    const uint16_t section_count = u16(coff + 2, end);
    const uint16_t optional_size = u16(coff + 16, end);
    const uint8_t* optional = coff + 20;
    if (end - optional < optional_size || optional_size < 2) return "optional header cut short";
    image.magic = u16(optional, end);
    // The data directories follow the fields whose size depends on the format; resources are the third.
    const uint32_t directories_at = image.magic == kMagicPe32Plus ? 112 : 96;
    if (optional_size >= directories_at + 3 * 8) {
        image.resource_rva = u32(optional + directories_at + 2 * 8, end);
        image.resource_size = u32(optional + directories_at + 2 * 8 + 4, end);
    }
    const uint8_t* table = optional + optional_size;
    if ((end - table) / 40 < section_count) return "section table cut short";
    for (uint16_t i = 0; i < section_count; ++i) {
        const uint8_t* s = table + i * 40;
        image.sections.push_back({u32(s + 12, end), u32(s + 8, end), u32(s + 20, end), u32(s + 16, end)});
    }
    return "";
}

std::vector<Resource> find_resources(const Image& image, uint16_t type, uint16_t name) {
    std::vector<Resource> found;
    const uint32_t by_type = find_id(directory(image, 0), type);
    const uint32_t by_name = by_type != 0 ? find_id(directory(image, by_type), name) : 0;
    if (by_name == 0) return found;
    const uint8_t* root = at_rva(image, image.resource_rva, image.resource_size);
    for (const Entry& language : directory(image, by_name)) {
        // A leaf: the data's address (an RVA, not a section offset) and its size.
        if ((language.target & kSubdirectory) != 0 || language.target > image.resource_size - 16) continue;
        const uint8_t* leaf = root + language.target;
        const uint8_t* end = root + image.resource_size;
        const uint32_t size = u32(leaf + 4, end);
        const uint8_t* data = at_rva(image, u32(leaf, end), size);
        if (data != nullptr) found.push_back({static_cast<uint16_t>(language.id), data, size});
    }
    return found;
}

}  // namespace pe
