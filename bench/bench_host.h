// The native bench's stand-in for the host: the real driver library loaded at run time, the
// host's records and tables, a scratch ports folder that VEK_PORTS_DIR points at, the virtual
// card as a process of its own, and the driver's threads' wake-ups. The clocks and the card's log
// are the tests' own (tests/shared).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <utility>
#include <string>
#include <vector>

#include "abi/host_interface.h"
#include "tests/shared/card_files.h"
#include "tests/shared/process_meter.h"

// Times every thread but the calling one went to sleep and was woken again (their voluntary
// context switches, from /proc/self/task), counting threads that began meanwhile from zero.
// Its difference over a window is the wake-ups of the driver's threads while the caller sleeps.
class WakeupCount {
public:
    WakeupCount();
    uint64_t since(const WakeupCount& before) const;

private:
    std::vector<std::pair<long, uint64_t>> per_thread_;
};

class BenchHost {
public:
    // Loads the library; false with the reason in *error.
    bool load(const std::string& library, std::string* error);
    int32_t call(uint32_t command, HostDriverRecord& rec);
    // A fresh instance 0 whose delay comes from the configuration file, as the host's would;
    // `more_keys` are further lines of its section, e.g. "port=3\ntrace=/tmp/t\n".
    HostDriverRecord create(uint32_t delay_ms, const std::string& more_keys = "");

    // Input k (1-16) as the last DRV_READ_INPUTS reported it: 1 on, 0 off.
    int32_t input(unsigned k) const;

    HostRecord record{};
    std::vector<uint8_t> output_states = std::vector<uint8_t>(512);
    std::vector<uint16_t> words = std::vector<uint16_t>(512);
    std::vector<float> reals = std::vector<float>(512);

private:
    using Entry = int32_t (*)(uint32_t, uint32_t, HostRecord*, HostDriverRecord*, const char*);
    Entry entry_ = nullptr;
    std::string config_path_;
};

// A scratch folder for COM1..COM127 links, named in VEK_PORTS_DIR; removed on destruction.
class PortsFolder {
public:
    PortsFolder();
    ~PortsFolder();
    PortsFolder(const PortsFolder&) = delete;
    PortsFolder& operator=(const PortsFolder&) = delete;
    std::string link(uint32_t n) const { return path_ + "/com" + std::to_string(n); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void clear() const;  // removes every link and file in it
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// vek-virtual-card as a process of its own, so that its CPU time is not the driver's.
class CardProcess {
public:
    // Starts the tool with these arguments and waits until it has published its link.
    bool start(const std::string& tool, const std::vector<std::string>& args, const std::string& out_file,
               std::string* error);
    ~CardProcess();  // ends it
    // One command on the card's standard input (see tools/virtual_card/README.md); its reply
    // goes to the output file. False when it could not be written.
    bool command(const std::string& line) const;

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
};
