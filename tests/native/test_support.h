// Shared pieces of the native tests: a scratch folder, whole files, and a host that calls the
// driver the way KORVANEX does.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "abi/host_interface.h"
#include "host/driver_entry.h"
#include "host/module_context.h"
#include "poll/driver_context.h"

using namespace vek;  // the tests read as the driver's own code

// Built with ThreadSanitizer, whose runtime some tests cannot run under: it cannot follow a child
// forked from a threaded process that starts threads of its own, and it writes a scratch file at
// every program's start, which a file size limit of 0 ends with SIGXFSZ before main.
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::vector<std::string> entries() const;  // names in the folder, sorted

private:
    std::string path_;
};

std::string read_file(const std::string& path);

// A child process's exit status, waited for at most 30 s; -1 if it had to be ended.
int child_exit_status(int pid);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);

// The host's side of the calls: its records and tables, and one instance record per slot used.
// It calls a freshly loaded driver of its own, as the host calls DriverEntry.
struct TestHost {
    ModuleContext& module() { return *loaded; }
    DriverContext& driver() { return loaded->driver; }
    // A fresh load of the driver, as after the host restarts; no poll thread may be left running.
    void reload() { loaded = std::make_unique<ModuleContext>(make_platform_backend()); }
    std::unique_ptr<ModuleContext> loaded = std::make_unique<ModuleContext>(make_platform_backend());
    HostRecord record{};
    std::vector<uint8_t> output_states = std::vector<uint8_t>(512);
    std::vector<uint16_t> words = std::vector<uint16_t>(512);
    std::vector<float> reals = std::vector<float>(512);
    std::string config_path;

    TestHost();
    int32_t call(uint32_t number, uint32_t command, HostDriverRecord& driver_record);
};

// Caps the size of files this process may write (root included), so that a write fails part of
// the way through; the cap is lifted again on leaving the scope.
class FileSizeLimit {
public:
    explicit FileSizeLimit(std::size_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    unsigned long long old_soft_;
    void (*old_handler_)(int);
};

// A freshly loaded driver, and a host whose configuration file lives in a scratch folder.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override { host.config_path = dir.file("host.ini"); }
    InstanceTable& table() { return host.driver().instances; }
    DriverInstance& record(uint32_t slot) { return table().records[slot]; }

    TempDir dir;
    TestHost host;
};
