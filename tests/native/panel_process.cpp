#include "tests/native/panel_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
// Generous: this bounds a hang, it measures nothing.
constexpr auto kPatience = std::chrono::seconds(60);

}  // namespace

std::string PanelRun::all_output() const {
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    return out;
}

PanelRun run_panel(std::vector<std::string> args, const std::function<void(pid_t, const std::string&)>& on_line) {
    PanelRun run;
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    args.insert(args.begin(), VEK_PANEL_TOOL);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    std::string text[2];
    const auto deadline = Clock::now() + kPatience;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    while (spawned == 0 && (fds[0].fd >= 0 || fds[1].fd >= 0) && Clock::now() < deadline) {
        if (::poll(fds, 2, 100) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            const ssize_t got = ::read(fds[i].fd, chunk, sizeof chunk);
            if (got > 0) {
                const std::size_t seen = text[i].size();
                text[i].append(chunk, static_cast<std::size_t>(got));
                if (i == 0 && on_line) {
                    const std::size_t start = text[0].rfind('\n', seen == 0 ? 0 : seen - 1);
                    for (const std::string& line :
                         lines_of(text[0].substr(start == std::string::npos ? 0 : start + 1))) {
                        if (text[0].back() == '\n' || line != lines_of(text[0]).back()) on_line(pid, line);
                    }
                }
            } else {
                fds[i].fd = -1;
            }
        }
    }
    ::close(out[0]);
    ::close(err[0]);
    if (spawned != 0) return run;
    if (fds[0].fd >= 0 || fds[1].fd >= 0) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.lines = lines_of(text[0]);
    run.errors = text[1];
    return run;
}
