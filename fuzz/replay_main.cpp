// For builds without libFuzzer (the gcc presets, plain or with sanitizers): runs a fuzz target
// once on each file named, or on each file in each folder named, as libFuzzer would replay them.
#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

namespace {

bool run_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string path = argv[i];
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            std::fprintf(stderr, "replay: %s: missing\n", path.c_str());
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            if (run_file(path)) ++runs;
            continue;
        }
        DIR* dir = ::opendir(path.c_str());
        if (dir == nullptr) return 1;
        while (const dirent* e = ::readdir(dir)) {
            if (e->d_name[0] != '.' && run_file(path + "/" + e->d_name)) ++runs;
        }
        ::closedir(dir);
    }
    std::printf("replay: %zu inputs, every check held\n", runs);
    return runs > 0 ? 0 : 1;
}
