#include "bench_host.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "link/port_path.h"

extern char** environ;

namespace {

int32_t g_inputs[16];
int32_t g_input_base = 0;

// The host's set_input: it keeps the 16 values without allocating, so the bench's own calls
// never show among the driver's allocations.
void record_input(int32_t index, int32_t value) {
    const int32_t k = index - g_input_base;
    if (k >= 0 && k < 16) g_inputs[k] = value;
}

}  // namespace

WakeupCount::WakeupCount() {
    const long self = static_cast<long>(gettid());
    std::error_code ignored;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ignored)) {
        const long tid = std::atol(task.path().filename().c_str());
        if (tid == self) continue;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                per_thread_.emplace_back(tid, std::strtoull(line.c_str() + 24, nullptr, 10));
            }
        }
    }
}

uint64_t WakeupCount::since(const WakeupCount& before) const {
    uint64_t total = 0;
    for (const auto& [tid, now] : per_thread_) {
        uint64_t then = 0;
        for (const auto& [old_tid, old] : before.per_thread_) {
            if (old_tid == tid) then = old;
        }
        total += now - then;
    }
    return total;
}

bool BenchHost::load(const std::string& library, std::string* error) {
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    void* symbol = handle != nullptr ? dlsym(handle, "DriverEntry") : nullptr;
    if (symbol == nullptr) {
        *error = handle == nullptr ? dlerror() : library + " does not export DriverEntry";
        return false;
    }
    entry_ = reinterpret_cast<Entry>(symbol);
    record.output_states = output_states.data();
    record.words = words.data();
    record.reals = reals.data();
    record.set_input = record_input;
    g_input_base = record.input_base;
    return true;
}

int32_t BenchHost::call(uint32_t command, HostDriverRecord& rec) {
    return entry_(0, command, &record, &rec, config_path_.c_str());
}

HostDriverRecord BenchHost::create(uint32_t delay_ms, const std::string& more_keys) {
    const char* folder = std::getenv(vek::kPortsFolderVariable);
    config_path_ = std::string(folder != nullptr ? folder : "/tmp") + "/host.ini";
    std::ofstream(config_path_) << "[korvanex-vek-driver-0]\ndelay=" << delay_ms << "\n" << more_keys;
    HostDriverRecord rec{};
    call(DRV_CREATE, rec);
    return rec;
}

int32_t BenchHost::input(unsigned k) const { return g_inputs[k - 1]; }

PortsFolder::PortsFolder() {
    char pattern[] = "/tmp/vek-bench-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made != nullptr ? made : "/tmp";
    setenv(vek::kPortsFolderVariable, path_.c_str(), 1);
}

PortsFolder::~PortsFolder() {
    std::error_code ignored;
    if (path_ != "/tmp") std::filesystem::remove_all(path_, ignored);
}

void PortsFolder::clear() const {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ignored)) {
        std::filesystem::remove(entry.path(), ignored);
    }
}

bool CardProcess::start(const std::string& tool, const std::vector<std::string>& args, const std::string& out_file,
                        std::string* error) {
    int to_card[2];
    if (pipe2(to_card, O_CLOEXEC) != 0) {
        *error = "pipe failed";
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_card[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> all{tool};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int failed = posix_spawn(&pid_, tool.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(to_card[0]);
    stdin_ = to_card[1];  // kept open: the card ends when its standard input does
    if (failed != 0) {
        pid_ = -1;
        *error = "cannot run " + tool;
        return false;
    }
    for (const double give_up = now_ms() + 5000; now_ms() < give_up; sleep_ms(10)) {
        std::ifstream out(out_file);
        std::stringstream text;
        text << out.rdbuf();
        if (text.str().find("->") != std::string::npos) return true;
    }
    *error = tool + " did not publish its link";
    return false;
}

CardProcess::~CardProcess() {
    if (stdin_ >= 0) close(stdin_);
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
}

bool CardProcess::command(const std::string& line) const {
    const std::string text = line + "\n";
    return stdin_ >= 0 && write(stdin_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}
