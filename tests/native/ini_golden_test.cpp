// The settings store against cases measured on the platform's own profile functions (see
// tests/data/ini-golden/README.md). Each case runs on a real file in a scratch folder.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "config/settings_backend.h"
#include "tests/native/test_support.h"

namespace {

const std::string kGolden = VEK_INI_GOLDEN_DIR;

struct GoldenCase {
    std::string name;
    std::multimap<std::string, std::string> fields;  // case.txt, in order per key
    std::map<std::string, std::string> expected;     // expected.txt

    std::string field(const std::string& key) const {
        const auto it = fields.find(key);
        return it == fields.end() ? std::string() : it->second;
    }
    std::string dir() const { return kGolden + "/" + name; }
};

std::multimap<std::string, std::string> read_fields(const std::string& path) {
    std::multimap<std::string, std::string> fields;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) {
        const std::size_t colon = line.find(": ");
        if (colon != std::string::npos) fields.emplace(line.substr(0, colon), line.substr(colon + 2));
    }
    return fields;
}

std::vector<GoldenCase> load_cases() {
    std::vector<GoldenCase> cases;
    DIR* dir = ::opendir(kGolden.c_str());
    if (dir == nullptr) return cases;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.rfind("r-", 0) != 0 && name.rfind("w-", 0) != 0) continue;
        GoldenCase c{name, read_fields(kGolden + "/" + name + "/case.txt"), {}};
        std::istringstream in(read_file(c.dir() + "/expected.txt"));
        for (std::string line; std::getline(in, line);) {
            const std::size_t split = line.find_first_of(": ");
            if (split == std::string::npos) continue;
            const std::size_t value_at = line.find_first_not_of(": ", split);
            c.expected[line.substr(0, split)] = value_at == std::string::npos ? "" : line.substr(value_at);
        }
        cases.push_back(c);
    }
    ::closedir(dir);
    std::sort(cases.begin(), cases.end(), [](const GoldenCase& a, const GoldenCase& b) { return a.name < b.name; });
    return cases;
}

void PrintTo(const GoldenCase& c, std::ostream* out) { *out << c.name; }

// Puts the case's file where its case.txt says it was, and returns the path passed to the call.
std::string stage(const GoldenCase& c, const TempDir& dir) {
    const std::string file = c.field("file");
    if (file.rfind("directory", 0) == 0) {
        ::mkdir(dir.file("input.ini").c_str(), 0755);
        return dir.file("input.ini");
    }
    if (file.rfind("missing-parent", 0) == 0) return dir.file("nodir/input.ini");
    if (file == "input.ini") write_file(dir.file("input.ini"), read_file(c.dir() + "/input.ini"));
    return dir.file("input.ini");
}

std::string trim(const std::string& s) {
    const std::size_t b = s.find_first_not_of(" \t\r\n\v\f\x1a");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n\v\f\x1a") - b + 1);
}

// A file as the platform would rewrite it: lines trimmed, blank lines dropped, no space around
// a key's '=', nothing after a header's ']', CRLF everywhere. Comparing two files in this form
// compares every line's meaning and position while ignoring the host's own spacing.
std::string as_rewritten(const std::string& bytes) {
    std::string out;
    std::size_t pos = 0;
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) {
        out = "\xEF\xBB\xBF";
        pos = 3;
    }
    while (pos < bytes.size()) {
        std::size_t end = bytes.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = bytes.size();
        const std::string line = trim(bytes.substr(pos, end - pos));
        pos = end + 1;
        if (end < bytes.size() && bytes[end] == '\r' && pos < bytes.size() && bytes[pos] == '\n') ++pos;
        if (line.empty()) continue;
        const std::size_t close = line.rfind(']');
        const std::size_t equals = line.find('=');
        if (line[0] == '[' && close != std::string::npos) {
            out += "[" + trim(line.substr(1, close - 1)) + "]";
        } else if (equals != std::string::npos) {
            out += trim(line.substr(0, equals)) + "=" + trim(line.substr(equals + 1));
        } else {
            out += line;
        }
        out += "\r\n";
    }
    return out;
}

// Every section named in a file, for reading back.
std::vector<std::string> section_names(const std::string& rewritten) {
    std::vector<std::string> names;
    std::istringstream in(rewritten);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] == '[') names.push_back(line.substr(1, line.find(']') - 1));
    }
    return names;
}

class IniGolden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(IniGolden, MatchesThePlatform) {
    const GoldenCase& c = GetParam();
    TempDir dir;
    const std::string path = stage(c, dir);
    const std::string about = c.name + ": " + c.field("about");

    if (c.field("operation") == "read") {
        std::istringstream expected(read_file(c.dir() + "/expected.txt"));
        std::string section, value;
        int lines = 0;
        while (expected >> section >> value) {
            EXPECT_EQ(profile_read_uint(section.c_str(), "delay", 50, path.c_str()), std::stoul(value))
                << about << " [" << section << "]";
            ++lines;
        }
        EXPECT_EQ(lines, static_cast<int>(c.fields.count("section"))) << about;
        return;
    }

    const std::string section = c.field("section");
    const bool written = profile_write_string(section.c_str(), "delay", c.field("value").c_str(), path.c_str());
    EXPECT_EQ(written, c.expected.at("return") == "1") << about;
    if (c.expected.at("output").rfind("none", 0) == 0) {
        struct stat st {};
        const bool exists = ::stat(path.c_str(), &st) == 0;
        EXPECT_TRUE(!exists || S_ISDIR(st.st_mode)) << about << ": the path stays as it was";
        EXPECT_EQ(dir.entries().size(), exists ? 1u : 0u) << about;
        return;
    }

    const std::string ours = read_file(path);
    const std::string platform = read_file(c.dir() + "/output.ini");
    if (c.field("wine-rewrote-other-lines").rfind("yes", 0) != 0) {
        EXPECT_EQ(ours, platform) << about;
    } else {
        // The platform rewrote the host's other lines; we keep them. The delay line, its place
        // and every other line's meaning must still agree.
        EXPECT_EQ(as_rewritten(ours), platform) << about;
        EXPECT_NE(ours, platform) << about << ": expected the host's own spacing to survive";
    }
    for (const std::string& name : section_names(platform)) {
        EXPECT_EQ(profile_read_uint(name.c_str(), "delay", 50, path.c_str()),
                  profile_read_uint(name.c_str(), "delay", 50, (c.dir() + "/output.ini").c_str()))
            << about << " [" << name << "]";
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"input.ini"}) << about << ": no temporary file is left";
}

std::string case_name(const ::testing::TestParamInfo<GoldenCase>& info) {
    std::string name = info.param.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

const std::vector<GoldenCase> kCases = load_cases();

INSTANTIATE_TEST_SUITE_P(Cases, IniGolden, ::testing::ValuesIn(kCases), case_name);

TEST(IniGoldenData, IsPresent) { EXPECT_GE(kCases.size(), 40u) << "golden cases missing from " << kGolden; }

}  // namespace
