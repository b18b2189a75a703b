// vek-virtual-card: the virtual card on a pseudo-terminal, driven by commands from standard
// input and from a control FIFO.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "card_commands.h"
#include "card_log.h"
#include "virtual_card.h"

namespace {

const char* const kUsage =
    "usage: vek-virtual-card [--link PATH] [--unplugged-link TARGET] [--wire-time] [--loopback] [--log FILE]\n"
    "                        [--control PATH] [--exec COMMAND]...\n"
    "\n"
    "A simulated Vek I/O card on a pseudo-terminal. It answers each valid 7-byte output frame with\n"
    "a 9-byte input frame, and prints one line when ready:\n"
    "  vek-virtual-card: <link or (no link)> -> /dev/pts/N\n"
    "\n"
    "  --link PATH      publish the driver's end as a symbolic link (e.g. ports/com3); removed on exit\n"
    "  --unplugged-link TARGET  on unplug, point the link at TARGET (a name that cannot be opened as a\n"
    "                   port) rather than leave it at the old /dev/pts/N, which another program may get\n"
    "  --wire-time      pace the line as 115200 baud 8N1 would\n"
    "  --loopback       wire outputs 1-16 to inputs 1-16 and analog out to analog in (0-255 -> 0-5 V)\n"
    "  --log FILE       append a header line per run, then a line per received frame:\n"
    "                   <ISO 8601 local time with UTC offset> <ms> <7 hex bytes> valid|invalid\n"
    "  --control PATH   make a FIFO there and read commands from it (removed on exit); the tool\n"
    "                   then keeps running after standard input ends, until quit, SIGINT or SIGTERM\n"
    "  --exec COMMAND   run a command before announcing the card (repeatable; replies on stderr)\n"
    "  -h, --help       this text\n"
    "  -V, --version    the version\n"
    "\n"
    "A link another live virtual card holds is refused (exit 1). Exit status: 0 after quit, SIGINT\n"
    "or SIGTERM; 1 when the card cannot start; 2 for a bad argument or a failing --exec command.\n"
    "\n";

struct Args {
    std::string link;
    std::string unplugged_link;
    std::string log;
    std::string control;
    bool wire_time = false;
    bool loopback = false;
    bool version = false;
    std::vector<std::string> exec;
    std::string command_line;  // for the log's header
};

bool parse_args(int argc, char** argv, Args* args, bool* help) {
    for (int i = 1; i < argc; ++i) args->command_line += std::string(i == 1 ? "" : " ") + argv[i];
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            *help = true;
        } else if (arg == "--version" || arg == "-V") {
            args->version = true;
        } else if (arg == "--wire-time") {
            args->wire_time = true;
        } else if (arg == "--loopback") {
            args->loopback = true;
        } else if (has_value && arg == "--link") {
            args->link = argv[++i];
        } else if (has_value && arg == "--unplugged-link") {
            args->unplugged_link = argv[++i];
        } else if (has_value && arg == "--log") {
            args->log = argv[++i];
        } else if (has_value && arg == "--control") {
            args->control = argv[++i];
        } else if (has_value && arg == "--exec") {
            args->exec.push_back(argv[++i]);
        } else {
            std::fprintf(stderr, "vek-virtual-card: bad argument '%s' (see --help)\n", arg.c_str());
            return false;
        }
    }
    return true;
}

void say(const std::string& line) {
    if (line.empty()) return;
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// A stale FIFO from a killed run is replaced; anything else at the path is left alone.
int make_control_fifo(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) ::unlink(path.c_str());
    if (::mkfifo(path.c_str(), 0600) != 0) return -1;
    return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

// Splits what a source delivers into lines; the last, unfinished one waits for more.
struct LineSource {
    int fd = -1;
    std::string partial;
};

std::vector<std::string> take_lines(LineSource& source, const char* bytes, std::size_t size, bool ended) {
    source.partial.append(bytes, size);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = source.partial.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(source.partial.substr(start, nl - start));
    }
    source.partial.erase(0, start);
    if (ended && !source.partial.empty()) lines.push_back(source.partial);
    if (ended) source.partial.clear();
    for (std::string& line : lines) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
    }
    return lines;
}

// Reads what is there; false once the writer has gone.
bool read_source(LineSource& source, CommandState& state) {
    char buffer[4096];
    const ssize_t got = ::read(source.fd, buffer, sizeof buffer);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    const bool ended = got <= 0;
    for (const std::string& line : take_lines(source, buffer, ended ? 0 : static_cast<std::size_t>(got), ended)) {
        say(run_command(state, line));
        if (state.quit) break;
    }
    return !ended;
}

int serve(const Args& args, VirtualCard& card, int frame_event, int signals) {
    CommandState state{card, args.link, {}, false};
    for (const std::string& command : args.exec) {
        const std::string reply = run_command(state, command);
        std::fprintf(stderr, "vek-virtual-card: --exec %s: %s\n", command.c_str(), reply.c_str());
        if (reply.rfind("error:", 0) == 0) return 2;
    }
    LineSource input{STDIN_FILENO, {}};
    LineSource control;
    if (!args.control.empty()) {
        control.fd = make_control_fifo(args.control);
        if (control.fd < 0) {
            std::fprintf(stderr, "vek-virtual-card: control FIFO %s: %s\n", args.control.c_str(), std::strerror(errno));
            return 1;
        }
    }
    // Announced only once the FIFO is there too: scripts write to it as soon as they see this.
    say("vek-virtual-card: " + (args.link.empty() ? std::string("(no link)") : args.link) + " -> " +
        card.device_path());

    while (!state.quit) {
        pollfd fds[4] = {
            {signals, POLLIN, 0}, {frame_event, POLLIN, 0}, {input.fd, POLLIN, 0}, {control.fd, POLLIN, 0}};
        // Deferred commands are checked on every frame; the timeout is only a backstop.
        if (::poll(fds, 4, 1000) < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) break;
        if (fds[1].revents != 0) {
            uint64_t count = 0;
            if (::read(frame_event, &count, sizeof count) < 0) {
                // Already drained; the due check below runs either way.
            }
        }
        for (const std::string& reply : run_due_commands(state)) say(reply);
        if (fds[2].revents != 0 && !read_source(input, state)) {
            input.fd = -1;
            if (control.fd < 0) break;
        }
        if (fds[3].revents != 0 && !read_source(control, state)) {
            // The writer closed its end: reopen for the next one.
            ::close(control.fd);
            control.fd = ::open(args.control.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
    }
    if (control.fd >= 0) ::close(control.fd);
    if (!args.control.empty()) ::unlink(args.control.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    bool help = false;
    if (!parse_args(argc, argv, &args, &help)) return 2;
    if (help) {
        std::fputs(kUsage, stdout);
        std::fputs(kCommandHelp, stdout);
        return 0;
    }
    if (args.version) {
        std::printf("vek-virtual-card %s\n", VEK_VERSION);
        return 0;
    }
    // Blocked before the card's thread starts, so that only the signalfd ever sees them.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    const int signals = ::signalfd(-1, &mask, SFD_CLOEXEC);
    const int frame_event = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    FILE* log = nullptr;
    std::string log_error;
    const std::string header = std::string("vek-virtual-card ") + VEK_VERSION + " log: link " +
                               (args.link.empty() ? "(none)" : args.link) + ", options " + args.command_line;
    if (!args.log.empty() && (log = open_card_log(args.log, header, &log_error)) == nullptr) {
        std::fprintf(stderr, "vek-virtual-card: %s\n", log_error.c_str());
        return 1;
    }
    int status = 0;
    {
        VirtualCard::Options options{args.link, args.wire_time};
        options.unplugged_target = args.unplugged_link;
        options.loopback = args.loopback;
        options.on_frame = [log, frame_event](const ReceivedFrame& frame) {
            if (log != nullptr) log_frame(log, frame);
            const uint64_t one = 1;
            if (::write(frame_event, &one, sizeof one) < 0) {
                // The counter is full: the main loop has a wake-up pending already.
            }
        };
        VirtualCard card(options);
        std::string error;
        if (!card.start(&error)) {
            std::fprintf(stderr, "vek-virtual-card: %s\n", error.c_str());
            status = 1;
        } else {
            status = serve(args, card, frame_event, signals);
        }
    }
    if (log != nullptr) std::fclose(log);
    return status;
}
