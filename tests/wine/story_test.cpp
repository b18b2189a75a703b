// The stories of tests/stories under Wine. This 32-bit stand-in for the host loads the real DLL,
// with the model of Windows that VEK_WINDOWS_MODEL names put between the two (windows_model.h);
// each card is a vek-virtual-card process that story_test.sh put on a COM port, followed through
// its frame log and driven through its control FIFO; the panel is vek-panel.exe beside the DLL.
//
//   wine_story_test.exe NAME STORIES FOLDER   one story; the card on COMn has FOLDER\cardN.{log,ctl,out}
//   wine_story_test.exe stay-idle FLAG        keeps the prefix's services up for the script
#include "tests/stories/story.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/shared/card_files.h"
#include "tests/shared/windows_model.h"
#include "tests/shared/wine_host.h"
#include "tests/wine/dialog_user.h"

namespace {

// A driver call still running after this has hung: the run ends at once, since the call may hold
// the driver's locks for good and nothing after it could run.
constexpr double kHungCallMs = 60000;

void __cdecl record_input(int32_t index, int32_t value) { story_set_input(index, value); }

// The status a program ended by the system (a logoff, a closed console) is given here.
constexpr DWORD kEndedBySystem = 125;

// How the system ends a program while a step's run of it is under way.
enum class SystemEnd { none, logoff, console_close };

using ProcessWindows = std::pair<DWORD, std::vector<HWND>>;

BOOL CALLBACK collect_window(HWND window, LPARAM l) {
    auto* s = reinterpret_cast<ProcessWindows*>(l);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == s->first) s->second.push_back(window);
    return TRUE;
}

// The user's session ends as Windows ends it for a logoff: every top-level window of the program,
// hidden or not, is asked (WM_QUERYENDSESSION) and then told (WM_ENDSESSION), each given the
// system's 5 s. The windows told.
int end_session(const PROCESS_INFORMATION& child) {
    ProcessWindows search{child.dwProcessId, {}};
    EnumWindows(collect_window, reinterpret_cast<LPARAM>(&search));
    const auto logoff = static_cast<LPARAM>(static_cast<LONG_PTR>(ENDSESSION_LOGOFF));
    DWORD_PTR answer = 0;
    for (HWND w : search.second) SendMessageTimeoutW(w, WM_QUERYENDSESSION, 0, logoff, 0, 5000, &answer);
    for (HWND w : search.second) SendMessageTimeoutW(w, WM_ENDSESSION, TRUE, logoff, 0, 5000, &answer);
    return static_cast<int>(search.second.size());
}

// A system library's entry run on a new thread in the program, with one argument, for at most the
// system's 5 s: the system's own code is at the same address in every process of the session.
// Whether it returned, and what it returned where asked.
bool run_in_program(const PROCESS_INFORMATION& child, const char* library, const char* name, void* argument,
                    DWORD* returned = nullptr) {
    const auto entry = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(library), name)));
    HANDLE thread =
        entry == nullptr ? nullptr : CreateRemoteThread(child.hProcess, nullptr, 0, entry, argument, 0, nullptr);
    if (thread == nullptr) return false;
    const bool ended = WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0;
    if (ended && returned != nullptr) GetExitCodeThread(thread, returned);
    CloseHandle(thread);
    return ended;
}

// The user closes the program's console as Windows tells it: a new thread in the program runs its
// console handlers with CTRL_CLOSE_EVENT. Whether the handlers returned within the system's 5 s.
bool close_console(const PROCESS_INFORMATION& child) {
    return run_in_program(child, "kernelbase.dll", "CtrlRoutine", reinterpret_cast<void*>(CTRL_CLOSE_EVENT));
}

// The system's end of a program under way: it is told, then ended, whatever it does meanwhile.
void end_by_system(SystemEnd how, const PROCESS_INFORMATION& child) {
    if (how == SystemEnd::logoff)
        std::printf("        the session ended: %d windows of the program told\n", end_session(child));
    if (how == SystemEnd::console_close)
        std::printf("        the console closed: its handlers %s\n",
                    close_console(child) ? "returned" : "were cut short at 5 s");
    TerminateProcess(child.hProcess, kEndedBySystem);
}

// A library of the runner's loaded into a program just started, by a thread of the runner's in
// it; whether it was. The program runs on meanwhile, as far as its first moments take it.
bool load_into(const PROCESS_INFORMATION& child, const std::string& library) {
    void* name = VirtualAllocEx(child.hProcess, nullptr, library.size() + 1, MEM_COMMIT, PAGE_READWRITE);
    if (name == nullptr || !WriteProcessMemory(child.hProcess, name, library.c_str(), library.size() + 1, nullptr))
        return false;
    DWORD loaded = 0;
    return run_in_program(child, "kernel32.dll", "LoadLibraryA", name, &loaded) && loaded != 0;
}

// How a step's run of a program goes beyond running it to its end.
struct RunWith {
    std::string library;              // loaded into it as it starts
    SystemEnd end = SystemEnd::none;  // the system ends it, end_ms into the run
    DWORD end_ms = 0;
};

// Runs a program to its end, its standard input the NUL device and its output where given (the
// handles must be inheritable); its exit status, or 124 when it had to be ended after bound_ms.
DWORD run_program(const std::string& program, const std::vector<std::string>& args, HANDLE out, HANDLE err,
                  DWORD bound_ms, const RunWith& with = {}) {
    std::string line = "\"" + program + "\"";
    for (const std::string& arg : args) line += " \"" + arg + "\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nul =
        CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = nul;
    start.hStdOutput = out;
    start.hStdError = err;
    PROCESS_INFORMATION child{};
    DWORD status = 127;
    if (CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &child)) {
        if (!with.library.empty() && !load_into(child, with.library)) {
            std::printf("        could not load %s into the program\n", with.library.c_str());
            TerminateProcess(child.hProcess, 127);
        }
        if (with.end != SystemEnd::none && WaitForSingleObject(child.hProcess, with.end_ms) == WAIT_TIMEOUT)
            end_by_system(with.end, child);
        if (WaitForSingleObject(child.hProcess, bound_ms) != WAIT_OBJECT_0) TerminateProcess(child.hProcess, 124);
        WaitForSingleObject(child.hProcess, 5000);
        GetExitCodeProcess(child.hProcess, &status);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    CloseHandle(nul);
    return status;
}

class WineRig : public Rig {
public:
    WineRig(const std::string& folder, const std::vector<unsigned>& ports) : folder_(folder) {
        for (unsigned port : ports) cards_.emplace(port, CardFiles(folder + "\\card" + std::to_string(port)));
    }
    ~WineRig() override {
        watching_ = false;
        watchdog_.join();
        if (driver_.module != nullptr) FreeLibrary(driver_.module);
    }

    bool load_driver() {
        if (!driver_.load() || !install_model_from_environment(driver_.module)) return false;
        driver_.host.set_input_callback(&record_input);
        return true;
    }

    const char* runner() const override { return "wine"; }
    std::string folder() const override { return folder_; }

    int32_t call(uint32_t number, uint32_t command, bool host, void* record, const char* path) override {
        if (driver_.entry == nullptr) return -2;
        last_record_ = record;
        last_path_ = path != nullptr ? path : "";
        if (exit_into_call_ms_ > 0) {
            // The process ends part way through this call, as the host's does when its user
            // closes it while the call runs.
            std::thread([ms = exit_into_call_ms_] {
                Sleep(ms);
                std::printf("PASS until exit\n");
                std::fflush(stdout);
                ExitProcess(0);
            }).detach();
        }
        call_began_ = now_ms();
        const int32_t result = driver_.entry(number, command, host ? driver_.host.record() : nullptr, record, path);
        call_began_ = 0;
        for (const BoxWatcher::Box& box : user_.take()) told_ += box.text;
        return result;
    }
    // DRV_CONFIGURE from a thread of the host's with a window of its own, active or never
    // activated, while the user acts at the dialog from another.
    int32_t configure(uint32_t number, void* record, const char* path, const DialogUser* user,
                      std::string* failure) override {
        if (user == nullptr) return call(number, 0xFFFD, true, record, path);
        int32_t end = -2;
        std::thread host_thread([&] {
            HWND window = make_host_window(!never_active_);
            if (never_active_ && GetActiveWindow() != nullptr) *failure = "the host's thread has an active window;";
            std::atomic<bool> returned{false};
            std::string amiss;
            std::thread acting([&] { amiss = act_at_dialog(*user, window, returned); });
            end = call(number, 0xFFFD, true, record, path);
            returned = true;
            acting.join();
            *failure += amiss + (IsWindowEnabled(window) == FALSE ? " its owner stays disabled" : "");
            DestroyWindow(window);
        });
        host_thread.join();
        return end;
    }
    std::string told() override { return std::exchange(told_, ""); }
    uint8_t* outputs() override { return driver_.host.output_states; }
    uint16_t* words() override { return driver_.host.words; }
    float* reals() override { return driver_.host.reals; }
    void set_input_base(int32_t base) override { driver_.host.set_input_base(base); }
    std::string host_bytes() override {
        return {reinterpret_cast<const char*>(driver_.host.record_bytes()), RawHost::kRecordSize};
    }
    // Read back with the platform's own profile function.
    std::string saved(const std::string& path, uint32_t number) override {
        char value[64] = {};
        const std::string section = "korvanex-vek-driver-" + std::to_string(number);
        GetPrivateProfileStringA(section.c_str(), "delay", "", value, sizeof value, path.c_str());
        return value;
    }

    std::string card(unsigned port, const std::string& words) override { return cards_.at(port).command(words); }
    std::vector<CardFrame> frames(unsigned port) override {
        std::vector<CardFrame> valid;
        for (const LoggedFrame& f : cards_.at(port).frames()) {
            if (f.valid) valid.push_back({f.ms, f.bytes});
        }
        return valid;
    }

    long threads() override { return thread_count(); }
    long handles() override { return handle_count(); }
    double cpu_ms() override { return process_cpu_ms(); }

    PanelResult panel(std::vector<std::string> args) override {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        const std::string names[2] = {folder_ + "\\panel.out", folder_ + "\\panel.err"};
        HANDLE files[2];
        for (int i = 0; i < 2; ++i)
            files[i] = CreateFileA(names[i].c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
        const DWORD status =
            run_program(program_folder() + "\\vek-panel.exe", args, files[0], files[1], 60000, next_run_);
        next_run_ = RunWith{};
        for (HANDLE f : files) CloseHandle(f);
        return {static_cast<int>(status), read_text(names[0]), read_text(names[1])};
    }

    bool own_step(const std::string& step, std::string* failure) override {
        if (step == "exit") {
            // The process ends here with the DLL loaded and whatever it polls still polling.
            std::printf("PASS until exit\n");
            std::fflush(stdout);
            ExitProcess(0);
        }
        if (step == "free the library") {
            if (FreeLibrary(driver_.module) == 0) *failure = "FreeLibrary failed";
            driver_.module = nullptr;
            return true;
        }
        if (step == "the host's window is never activated") return never_active_ = true;
        if (step == "the next panel run sees a file's size as its directory entry shows it") {
            next_run_.library = program_folder() + "\\wine_panel_model.dll";
            return true;
        }
        static const std::string kLogoff = "the user logs off ", kClose = "the user closes the panel's console ",
                                 kIntoPanel = " ms into the next panel run";
        for (const auto& [head, how] : {std::pair{kLogoff, SystemEnd::logoff}, {kClose, SystemEnd::console_close}}) {
            if (step.rfind(head, 0) == 0 && step.find(kIntoPanel) != std::string::npos) {
                next_run_.end_ms = static_cast<DWORD>(std::atol(step.c_str() + head.size()));
                next_run_.end = how;
                return true;
            }
        }
        static const std::string kUnshared = " without delete sharing";
        if (step.rfind("hold ", 0) == 0 && step.size() > 5 + kUnshared.size() &&
            step.compare(step.size() - kUnshared.size(), kUnshared.size(), kUnshared) == 0) {
            // As an editor or a follower holds it: reading and writing shared, deleting not.
            const std::string path = folder_ + "\\" + step.substr(5, step.size() - 5 - kUnshared.size());
            held_ = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
            if (held_ == INVALID_HANDLE_VALUE) *failure = "cannot open " + path;
            return true;
        }
        if (step.rfind("let go of ", 0) == 0) {
            if (held_ != INVALID_HANDLE_VALUE) CloseHandle(held_);
            held_ = INVALID_HANDLE_VALUE;
            return true;
        }
        if (step == "win.ini has no driver section") {
            // A save without a path must not reach the file the platform would pick.
            char names[8192] = {};
            GetPrivateProfileSectionNamesA(names, sizeof names, "win.ini");
            for (const char* name = names; *name != '\0'; name += std::strlen(name) + 1) {
                if (std::strncmp(name, "korvanex-vek-driver-", 20) == 0) *failure = std::string("it has ") + name;
            }
            return true;
        }
        if (step.rfind("model ", 0) != 0) return false;
        const std::string what = step.substr(6);
        const ModelCounters& counters = model_counters();
        if (what == "a timer starts 0 while a box is up") {
            // The host's timer, run by the box's message loop, calls back in with the same start.
            reentering_ = this;
            call_back_from_next_box([] {
                const double began = now_ms();
                reentering_->reentry_result_ = reentering_->call(0, 0, true, reentering_->last_record_,
                                                                 reentering_->last_path_.c_str());
                reentering_->reentry_ms_ = now_ms() - began;
            });
        } else if (what == "the timer's start failed at once") {
            if (reentry_ms_ < 0) *failure = "the timer never ran while a box was up";
            else if (reentry_result_ != -1 || reentry_ms_ > 1000)
                *failure = "the start it called returned " + std::to_string(reentry_result_) + " after " +
                           std::to_string(static_cast<long>(reentry_ms_)) + " ms";
        } else if (what.rfind("debugger has ", 0) == 0) {
            if (debugger_text().find(what.substr(13)) == std::string::npos)
                *failure = "the debugger was told \"" + debugger_text() + "\"";
        } else if (what.rfind("exit ", 0) == 0 && what.find(" ms into the next call") != std::string::npos) {
            exit_into_call_ms_ = static_cast<DWORD>(std::atol(what.c_str() + 5));
        } else if (what == "the library stays loaded") {
            if (GetModuleHandleA(driver_path().c_str()) == nullptr) *failure = "the library was unloaded";
        } else if (what.rfind("the library unloads within ", 0) == 0) {
            const double give_up = now_ms() + std::atof(what.c_str() + 27);
            while (GetModuleHandleA(driver_path().c_str()) != nullptr && now_ms() < give_up) Sleep(20);
            if (GetModuleHandleA(driver_path().c_str()) != nullptr) *failure = "it is still loaded";
        } else if (what == "calls fail") {
            for (const double give_up = now_ms() + 3000; counters.failed.load() == 0 && now_ms() < give_up;) Sleep(5);
            if (counters.failed.load() == 0) *failure = "the driver never tried the port";
        } else if (what.rfind("over a second: ", 0) == 0) {
            over_a_second(what.substr(15), failure);
        } else {
            // A fault by the name VEK_WINDOWS_MODEL gives it: "slow-open=2", "removal=5".
            ModelOptions m;
            if (!parse_windows_model(("none," + what).c_str(), &m) || m.faults == 0) *failure = "no such fault";
            const auto fault = static_cast<ModelFault>(m.faults);
            switch_on_model_fault(fault, fault == kSlowOpen   ? m.slow_port
                                         : fault == kBusyOpen ? m.busy_port
                                         : fault == kFileWriteStall ? m.stall_s
                                                              : static_cast<unsigned>(m.removal_error));
        }
        return true;
    }

private:
    // "waits at most 20, port reads below 1500, reads and writes at most 2": the DLL's waits and
    // its calls on the port over the next second, as the model counts them.
    void over_a_second(const std::string& limits, std::string* failure) {
        const ModelCounters& c = model_counters();
        const long waits = c.waits.load(), reads = c.port_reads.load(), writes = c.port_writes.load();
        const double t0 = now_ms();
        Sleep(1000);
        const double seconds = (now_ms() - t0) / 1000;
        const std::map<std::string, double> seen = {
            {"waits", static_cast<double>(c.waits.load() - waits) / seconds},
            {"port reads", static_cast<double>(c.port_reads.load() - reads) / seconds},
            {"reads and writes", static_cast<double>(c.port_reads.load() + c.port_writes.load() - reads - writes)}};
        std::istringstream clauses(limits);
        for (std::string clause; std::getline(clauses, clause, ',');) {
            clause.erase(0, clause.find_first_not_of(' '));
            const std::size_t at = clause.find(" at most "), below = clause.find(" below ");
            const std::string name = clause.substr(0, std::min(at, below));
            const double limit = std::atof(clause.c_str() + (at != std::string::npos ? at + 9 : below + 7));
            const double value = seen.count(name) != 0 ? seen.at(name) : -1;
            std::printf("        %s: %.0f\n", name.c_str(), value);
            const bool held = value >= 0 && (at != std::string::npos ? value <= limit : value < limit);
            if (!held && failure->empty()) *failure = name + " came to " + std::to_string(static_cast<long>(value));
        }
    }

    static WineRig* reentering_;
    void* last_record_ = nullptr;
    std::string last_path_;
    int32_t reentry_result_ = 0;
    double reentry_ms_ = -1;
    DWORD exit_into_call_ms_ = 0;
    HANDLE held_ = INVALID_HANDLE_VALUE;
    std::string folder_;
    std::map<unsigned, CardFiles> cards_;
    Driver driver_;
    bool never_active_ = false;
    RunWith next_run_;  // of the panel
    BoxWatcher user_;
    std::string told_;
    std::atomic<double> call_began_{0};
    std::atomic<bool> watching_{true};
    std::thread watchdog_{[this] {
        for (; watching_.load(); Sleep(100)) {
            const double began = call_began_.load();
            if (began > 0 && now_ms() - began > kHungCallMs) {
                std::printf("FAIL: a call of the driver has not returned after %.0f s\n", kHungCallMs / 1000);
                std::fflush(stdout);
                TerminateProcess(GetCurrentProcess(), 1);
            }
        }
    }};
};

WineRig* WineRig::reentering_ = nullptr;

// The steps up to "exit" in a process of their own, which ends there with the DLL loaded; true
// when it got there.
bool run_until_exit(const std::string& name, const std::string& stories, const std::string& folder) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    SetHandleInformation(out, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return run_program(self, {name, stories, folder, "--until-exit"}, out, out, 120000) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 3 && std::string(argv[1]) == "stay-idle") {
        stay_idle(argv[2]);
        return 0;
    }
    std::string error;
    const std::vector<Story> stories = argc >= 4 ? read_stories(argv[2], &error) : std::vector<Story>{};
    const auto story = std::find_if(stories.begin(), stories.end(), [&](const Story& s) { return s.name == argv[1]; });
    if (story == stories.end() || !story->runs_on("wine")) {
        std::printf("usage: wine_story_test NAME STORIES FOLDER, NAME a story told under Wine %s\n", error.c_str());
        return 2;
    }
    const std::string folder = argv[3];
    const bool until_exit = argc == 5 && std::string(argv[4]) == "--until-exit";
    const std::size_t exit_at = exit_step(*story);
    std::string failure;
    if (exit_at < story->steps.size() && !until_exit) {
        WineRig cards(folder, story->ports);
        failure = run_until_exit(story->name, argv[2], folder) ? run_story(*story, cards, exit_at + 1)
                                                               : "the steps before exit did not all hold";
    } else {
        WineRig rig(folder, story->ports);
        failure = rig.load_driver() ? run_story(*story, rig) : "the DLL could not be loaded";
    }
    // A thread killed may hold a lock of the heap or the loader: never sound, whatever follows.
    const long killed = model_counters().terminated.load();
    if (killed > 0 && failure.empty()) failure = "the DLL called TerminateThread " + std::to_string(killed) + " times";
    // A wait on a thread under the loader lock never ends on Windows: the thread needs the lock to end.
    const long locked = model_counters().loader_lock_waits.load();
    if (locked > 0 && failure.empty())
        failure = "the DLL waited on a thread under the loader lock " + std::to_string(locked) + " times";
    // Owned by the desktop, a box disables every window of the session until it is answered.
    if (model_counters().desktop_boxes.load() > 0 && failure.empty()) failure = "a message box owned by the desktop";
    std::printf("%s: %s\n", story->name.c_str(), failure.empty() ? "PASS" : ("FAIL: " + failure).c_str());
    return failure.empty() ? 0 : 1;
}
