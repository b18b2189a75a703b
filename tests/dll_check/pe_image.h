// A Windows image read as a file, without loading or running any of it: its headers, its
// sections and its resource tree. Every offset the file gives is checked against its size, so a
// damaged file reads as an error, never as a crash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pe {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32 = 0x010B;
constexpr uint16_t kMagicPe32Plus = 0x020B;
constexpr uint16_t kResourceDialog = 5;
constexpr uint16_t kResourceVersion = 16;

struct Section {
    uint32_t rva;
    uint32_t size;
    uint32_t file_offset;
    uint32_t file_size;
};

struct Image {
    std::vector<uint8_t> bytes;
    uint16_t machine = 0;
    uint16_t magic = 0;
    std::vector<Section> sections;
    uint32_t resource_rva = 0;
    uint32_t resource_size = 0;
};

// One language's copy of a resource: its bytes stay inside Image::bytes.
struct Resource {
    uint16_t language;
    const uint8_t* data;
    uint32_t size;
};

// Empty on success, otherwise what is wrong with the file.
std::string read_image(const std::string& path, Image& image);

// The copies of resource `type`/`name` (both numeric ids), one per language.
std::vector<Resource> find_resources(const Image& image, uint16_t type, uint16_t name);

// Little-endian fields, read only where the file holds them (0 otherwise).
uint16_t u16(const uint8_t* at, const uint8_t* end);
uint32_t u32(const uint8_t* at, const uint8_t* end);

}  // namespace pe
