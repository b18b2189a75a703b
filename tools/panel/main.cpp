// vek-panel: switch a Vek card's outputs and watch its inputs through the driver, as the host
// would drive it, before the host application ever runs.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "frame_watch.h"
#include "live_view.h"
#include "panel_session.h"
#include "script.h"

namespace {

const char* const kUsage =
    "usage: vek-panel [--device PATH | --ports DIR] [--settings FILE] [--driver LIBRARY]\n"
    "                 [--wait-card SECONDS] [--card-log FILE] [--no-wire-time]\n"
    "                 [--do ACTION]... [--script FILE]...   |   --help   |   --version\n"
    "\n"
    "Drives a Vek card through the driver, as the host does: instance 0 is created with its\n"
    "settings file and started, then the panel writes the outputs and reads the inputs ten times a\n"
    "second (the host's cycle). The driver polls the card on its own thread once every delay (50 ms\n"
    "by default, so about 20 frames a second; the delay is the settings file's), which is the rate\n"
    "the screen shows. On leaving, the driver is stopped, so the card is left with every output off.\n"
    "\n"
    "The card:\n"
    "  (neither option)  a virtual card on a pseudo-terminal, inside the panel\n"
    "  --device PATH     a serial device, e.g. /dev/ttyUSB0, as COM1 (the panel watches the line)\n"
    "  --ports DIR       a ports folder: COMn is the link DIR/com<n>, scanned by the driver as is\n"
    "\n"
    "  --settings FILE   the instance's settings file (default ~/.config/vek-panel/settings.ini);\n"
    "                    its folder must exist. Its keys delay, port and trace are the driver's.\n"
    "  --driver LIBRARY  the driver to load (default: the one built beside the panel)\n"
    "  --wait-card SECONDS  scan again until a card answers or this long has passed (a card not\n"
    "                    powered yet); without it one scan decides\n"
    "  --card-log FILE   the virtual card logs each frame it receives: <ms> <7 bytes> valid|invalid\n"
    "  --no-wire-time    the virtual card answers at once instead of at 115200 baud\n"
    "  --version         print the version\n"
    "\n"
    "Without --do or --script the live view runs on the terminal (? there lists its keys). With\n"
    "them, the actions run in order and each observation is printed as one JSON line:\n"
    "  output <1-16> on|off    outputs <hex>    analog <1|2> <0-255>    wait <ms>    read\n"
    "  wait-input <1-16> on|off <ms>    reset    restart    card <virtual card command>\n"
    "\n"
    "Exit status: 0 done; 1 the line, the driver or the settings could not be set up; 2 bad\n"
    "arguments or script (nothing is started); 3 the driver did not start (no card answered, or\n"
    "only corrupt answers); 4 a wait-input ran out; 5 the virtual card refused a card command.\n";

volatile std::sig_atomic_t g_interrupted = 0;

void on_signal(int) { g_interrupted = 1; }

struct Args {
    PanelOptions options;
    std::vector<ScriptAction> actions;
    bool scripted = false;
};

bool read_script(const std::string& path, std::vector<ScriptAction>* actions, std::string* error) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (path != "-") {
        file.open(path);
        if (!file) {
            *error = "cannot read the script " + path;
            return false;
        }
        in = &file;
    }
    int number = 0;
    for (std::string line; std::getline(*in, line);) {
        ++number;
        if (!parse_script_line(line, actions, error)) {
            *error = "script " + (path == "-" ? std::string("(standard input)") : path) + " line " +
                     std::to_string(number) + ": " + *error;
            return false;
        }
    }
    return true;
}

bool parse_seconds(const std::string& text, int* seconds) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *seconds = std::stoi(text);
    return true;
}

std::string default_settings() {
    std::string folder;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] != '\0') {
        folder = config;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        folder = std::string(home) + "/.config";
    } else {
        return "vek-panel.ini";
    }
    ::mkdir(folder.c_str(), 0755);
    folder += "/vek-panel";
    ::mkdir(folder.c_str(), 0755);
    return folder + "/settings.ini";
}

// 0 to go on, or the exit status.
int parse_args(int argc, char** argv, Args* args) {
    args->options.driver = VEK_PANEL_DRIVER;
    std::string error;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return -1;
        } else if (arg == "--version") {
            std::printf("vek-panel %s\n", VEK_PANEL_VERSION);
            return -1;
        } else if (has_value && arg == "--wait-card") {
            if (!parse_seconds(argv[++i], &args->options.wait_card_s)) {
                error = std::string("--wait-card takes whole seconds (0 to 999999), not '") + argv[i] + "'";
                break;
            }
        } else if (arg == "--no-wire-time") {
            args->options.wire_time = false;
        } else if (has_value && arg == "--device") {
            args->options.device = argv[++i];
        } else if (has_value && arg == "--ports") {
            args->options.ports = argv[++i];
        } else if (has_value && arg == "--settings") {
            args->options.settings = argv[++i];
        } else if (has_value && arg == "--driver") {
            args->options.driver = argv[++i];
        } else if (has_value && arg == "--card-log") {
            args->options.card_log = argv[++i];
        } else if (has_value && arg == "--do") {
            args->scripted = true;
            if (!parse_script_line(argv[++i], &args->actions, &error)) {
                error = "--do " + error;
                break;
            }
        } else if (has_value && arg == "--script") {
            args->scripted = true;
            if (!read_script(argv[++i], &args->actions, &error)) break;
        } else {
            error = "bad argument '" + arg + "' (see --help)";
            break;
        }
    }
    if (error.empty() && !args->options.device.empty() && !args->options.ports.empty()) {
        error = "--device and --ports name the card two ways; give one";
    }
    if (error.empty() && !args->options.card_log.empty() &&
        !(args->options.device.empty() && args->options.ports.empty())) {
        error = "--card-log is for the virtual card; it cannot log a real card";
    }
    // Checked before anything starts: these need the virtual card, which --device and --ports replace.
    if (error.empty() && !(args->options.device.empty() && args->options.ports.empty())) {
        for (const ScriptAction& action : args->actions) {
            if (action.kind == ScriptAction::Kind::card) {
                error = "'" + action.text + "': card commands need the virtual card (run without --device or --ports)";
                break;
            }
        }
    }
    if (!error.empty()) {
        std::fprintf(stderr, "vek-panel: %s\n", error.c_str());
        return kExitUsage;
    }
    if (args->options.settings.empty()) args->options.settings = default_settings();
    return 0;
}

int run_scripted(PanelSession& session, const Args& args) {
    std::string error;
    const int opened = session.open(args.options, &error);
    if (opened != kExitOk) {
        std::printf("%s\n", json_failed(opened, error).c_str());
        std::fflush(stdout);
        // Once on the terminal: the JSON line already says it there.
        if (::isatty(STDOUT_FILENO) == 0) std::fprintf(stderr, "vek-panel: %s\n", error.c_str());
        return opened;
    }
    std::printf("%s\n", json_started(session.snapshot()).c_str());
    std::fflush(stdout);
    const int status = run_script(session, args.actions, stdout, &g_interrupted);
    session.stop();
    std::printf("%s\n", json_stopped(session.snapshot()).c_str());
    return status;
}

int run_live(PanelSession& session, const Args& args) {
    if (::isatty(STDIN_FILENO) == 0 || ::isatty(STDOUT_FILENO) == 0) {
        std::fprintf(stderr, "vek-panel: the live view needs a terminal; for scripts use --do or --script\n");
        return kExitUsage;
    }
    std::string error;
    if (args.options.wait_card_s > 0) {
        std::fprintf(stderr, "vek-panel: looking for the card, for up to %d s...\n", args.options.wait_card_s);
    } else {
        std::fprintf(stderr, "vek-panel: looking for the card...\n");
    }
    const int opened = session.open(args.options, &error);
    if (opened != kExitOk) {
        std::fprintf(stderr, "vek-panel: %s\n", error.c_str());
        return opened;
    }
    const int status = run_live_view(session, &g_interrupted);
    session.stop();
    const PanelSnapshot shot = session.snapshot();
    if (shot.monitored) {
        std::fprintf(stderr, "vek-panel: driver stopped; the last frame to the card: %s\n",
                     frame_text(shot.line.last_frame.data(), shot.line.last_frame.size()).c_str());
    } else {
        std::fprintf(stderr, "vek-panel: driver stopped\n");
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    const int parsed = parse_args(argc, argv, &args);
    if (parsed != 0) return parsed < 0 ? kExitOk : parsed;

    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    PanelSession session;
    const int status = args.scripted ? run_scripted(session, args) : run_live(session, args);
    session.close();
    return status;
}
