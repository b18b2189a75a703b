// vek-virtual-card as a script uses it: commands through its control FIFO, a frame through the
// published link, the log, and a clean exit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "tests/native/test_support.h"
#include "tools/virtual_card/virtual_card.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
// Generous: these bound a hang, they do not measure anything.
constexpr auto kPatience = std::chrono::seconds(10);

class RunningTool {
public:
    explicit RunningTool(std::vector<std::string> args) {
        int out[2];
        if (::pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        args.insert(args.begin(), VEK_VIRTUAL_CARD_TOOL);
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        out_ = out[0];
    }
    ~RunningTool() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    RunningTool(const RunningTool&) = delete;
    RunningTool& operator=(const RunningTool&) = delete;

    // The next line the tool prints; empty if none comes in time.
    std::string line() {
        const auto deadline = Clock::now() + kPatience;
        for (;;) {
            const std::size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string first = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return first;
            }
            pollfd p{out_, POLLIN, 0};
            char chunk[256];
            ssize_t got = 0;
            if (Clock::now() >= deadline || ::poll(&p, 1, 100) < 0) return "";
            if (p.revents != 0 && (got = ::read(out_, chunk, sizeof chunk)) <= 0) return "";
            if (got > 0) buffer_.append(chunk, static_cast<std::size_t>(got));
        }
    }
    // The exit status, or -1 if the tool does not end in time.
    int wait_exit() {
        for (const auto deadline = Clock::now() + kPatience; Clock::now() < deadline;) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

// Each write opens and closes the FIFO, as `echo cmd > fifo` in a script would. Between two
// writers the tool briefly has the FIFO closed, so opening is retried for a while.
void send_commands(const std::string& fifo, const std::string& text) {
    int fd = -1;
    for (const auto deadline = Clock::now() + kPatience; fd < 0 && Clock::now() < deadline;) {
        fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_GE(fd, 0) << "the tool is reading the FIFO";
    EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
}

// "<local time, ISO 8601 with its UTC offset> <rest>", as the panel stamps its records: the part
// after the time must be exactly `rest`.
bool is_log_line(const std::string& line, const std::string& rest) {
    static const char kStamp[] = "dddd-dd-ddTdd:dd:dd.ddd+dd:dd ";
    const std::size_t stamp = sizeof kStamp - 1;
    if (line.size() < stamp) return false;
    for (std::size_t i = 0; i < stamp; ++i) {
        const char c = line[i];
        const bool ok = kStamp[i] == 'd' ? c >= '0' && c <= '9' : kStamp[i] == '+' ? c == '+' || c == '-' : c == kStamp[i];
        if (!ok) return false;
    }
    return line.substr(stamp) == rest;
}

// "<local time, ISO 8601 with its UTC offset> <ms since the start> <rest>": the part after the
// times must be exactly `rest`.
bool is_frame_line(const std::string& line, const std::string& rest) {
    const std::size_t ms = 30;
    const std::size_t space = line.find(' ', ms);
    if (!is_log_line(line.substr(0, ms), "") || space == std::string::npos || space < ms + 5 || line[space - 4] != '.') {
        return false;
    }
    for (std::size_t i = ms; i < space; ++i) {
        if (i != space - 4 && (line[i] < '0' || line[i] > '9')) return false;
    }
    return line.substr(space + 1) == rest;
}

TEST(VirtualCardTool, TakesCommandsThroughItsFifoLogsFramesAndCleansUpOnQuit) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("ports").c_str(), 0755), 0);
    const std::string link = dir.file("ports/com3");
    const std::string fifo = dir.file("control");
    RunningTool tool({"--link", link, "--control", fifo, "--log", dir.file("frames.log")});
    ASSERT_GT(tool.pid(), 0);
    EXPECT_EQ(tool.line().rfind("vek-virtual-card: " + link + " -> /dev/pts/", 0), 0u);

    // Standard input is already at its end: with a FIFO the tool keeps going regardless.
    send_commands(fifo, "inputs FE FF\nafter 2 unplug\n");
    EXPECT_EQ(tool.line(), "ok inputs FE FF");
    EXPECT_EQ(tool.line(), "ok after 2 frames: unplug");

    const int driver = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(driver, 0);
    const uint8_t frame[7] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC};
    ASSERT_EQ(::write(driver, frame, sizeof frame), 7);
    const auto expected = card_input_frame(0xFE, 0xFF, 0, 0);
    std::vector<uint8_t> got;
    pollfd p{driver, POLLIN, 0};
    while (got.size() < 9 && ::poll(&p, 1, 10000) == 1 && (p.revents & POLLIN) != 0) {
        uint8_t b[9];
        const ssize_t n = ::read(driver, b, 9 - got.size());
        if (n <= 0) break;
        got.insert(got.end(), b, b + n);
    }
    EXPECT_EQ(got, std::vector<uint8_t>(expected.begin(), expected.end()));
    // The second frame pulls the cable, whether or not its answer makes it out first.
    ASSERT_EQ(::write(driver, frame, sizeof frame), 7);
    EXPECT_EQ(tool.line(), "ok (after 2 frames) unplugged");
    for (uint8_t b[16]; ::poll(&p, 1, 10000) == 1 && (p.revents & POLLHUP) == 0;) {
        if (::read(driver, b, sizeof b) <= 0) break;
    }
    EXPECT_NE(p.revents & POLLHUP, 0) << "the driver sees the cable pulled";
    ::close(driver);

    std::istringstream log(read_file(dir.file("frames.log")));
    std::string header;
    std::getline(log, header);
    EXPECT_TRUE(is_log_line(header.substr(2), "vek-virtual-card " VEK_PROJECT_VERSION " log: link " + link +
                                                  ", options --link " + link + " --control " + fifo + " --log " +
                                                  dir.file("frames.log")))
        << header;
    int lines = 0;
    for (std::string line; std::getline(log, line); ++lines) {
        EXPECT_TRUE(is_frame_line(line, "02 00 00 00 00 03 FC valid")) << line;
    }
    EXPECT_EQ(lines, 2);

    send_commands(fifo, "frames\n");  // a second writer: the tool reopened the FIFO
    EXPECT_EQ(tool.line().rfind("ok frames 2 last 02 00 00 00 00 03 FC valid", 0), 0u);
    send_commands(fifo, "quit\n");
    EXPECT_EQ(tool.line(), "ok quit");
    EXPECT_EQ(tool.wait_exit(), 0);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"frames.log", "ports"}));
    EXPECT_FALSE(file_exists(link));
}

TEST(VirtualCardTool, RefusesALogThatIsNotItsOwnAndStartsOnAFreshLine) {
    TempDir dir;
    write_file(dir.file("notes.txt"), "hello\n");
    ASSERT_EQ(::symlink(dir.file("notes.txt").c_str(), dir.file("notes-link").c_str()), 0);
    for (const char* name : {"notes.txt", "notes-link"}) {
        SCOPED_TRACE(name);
        RunningTool tool({"--log", dir.file(name)});
        EXPECT_EQ(tool.wait_exit(), 1);
    }
    EXPECT_EQ(read_file(dir.file("notes.txt")), "hello\n");

    // An earlier log whose last line was cut short by a kill.
    write_file(dir.file("frames.log"), "12.345 02 00 00 00 00 03 FC valid\n13.001 02 0");
    // The FIFO keeps the tool running once standard input, /dev/null, has ended.
    RunningTool tool({"--link", dir.file("com1"), "--log", dir.file("frames.log"), "--control", dir.file("control")});
    ASSERT_EQ(tool.line().rfind("vek-virtual-card: " + dir.file("com1") + " -> /dev/pts/", 0), 0u);
    const int driver = ::open(dir.file("com1").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(driver, 0);
    const uint8_t frame[7] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC};
    ASSERT_EQ(::write(driver, frame, sizeof frame), 7);
    const auto valid_lines = [&] {
        const std::string log = read_file(dir.file("frames.log"));
        std::size_t count = 0;
        for (std::size_t at = 0; (at = log.find("valid\n", at)) != std::string::npos; ++at) ++count;
        return count;
    };
    for (const auto deadline = Clock::now() + kPatience; valid_lines() < 2 && Clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::close(driver);
    const std::string log = read_file(dir.file("frames.log"));
    const std::string cut = "\n13.001 02 0\n";
    ASSERT_NE(log.find(cut), std::string::npos) << log;
    std::istringstream rest(log.substr(log.find(cut) + cut.size()));
    std::string header;
    std::string logged;
    std::getline(rest, header);
    std::getline(rest, logged);
    EXPECT_EQ(header.rfind("# ", 0), 0u) << log;
    EXPECT_TRUE(is_frame_line(logged, "02 00 00 00 00 03 FC valid")) << log;
}

TEST(VirtualCardTool, EndsCleanlyOnSigterm) {
    TempDir dir;
    RunningTool tool({"--link", dir.file("com1"), "--control", dir.file("control")});
    ASSERT_EQ(tool.line().rfind("vek-virtual-card: " + dir.file("com1") + " -> /dev/pts/", 0), 0u);
    ASSERT_EQ(::kill(tool.pid(), SIGTERM), 0);
    EXPECT_EQ(tool.wait_exit(), 0);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{});
}

TEST(VirtualCardTool, PrintsTheDriversVersion) {
    for (const char* option : {"--version", "-V"}) {
        RunningTool tool({option});
        EXPECT_EQ(tool.line(), "vek-virtual-card " VEK_PROJECT_VERSION) << option;
        EXPECT_EQ(tool.wait_exit(), 0) << option;
    }
}

}  // namespace
