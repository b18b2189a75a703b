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
    "                 [--card-log FILE] [--no-wire-time] [--do ACTION]... [--script FILE]...\n"
    "       vek-panel --help | --version\n"
    "\n"
    "Drives a Vek card through the driver, as the host does: instance 0 is created with its\n"
    "settings file and started, then the outputs are written and the inputs read ten times a\n"
    "second; on leaving, the driver is stopped, so the card is left with every output off.\n"
    "\n"
    "The card:\n"
    "  (neither option)  a virtual card on a pseudo-terminal, inside the panel\n"
    "  --device PATH     a serial device, e.g. /dev/ttyUSB0, as COM1 (the panel watches the line)\n"
    "  --ports DIR       a ports folder: COMn is the link DIR/com<n>, scanned by the driver as is\n"
    "\n"
    "  --settings FILE   the instance's settings file (default ~/.config/vek-panel/settings.ini)\n"
    "  --driver LIBRARY  the driver to load (default: the one installed with the panel, or in a\n"
    "                    build tree the one built beside it)\n"
    "  --card-log FILE   the virtual card logs each frame it receives: <ms> <7 bytes> valid|invalid\n"
    "  --no-wire-time    the virtual card answers at once instead of at 115200 baud\n"
    "\n"
    "Without --do or --script the live view runs on the terminal. With them, the actions run in\n"
    "order and each observation is printed as one JSON line:\n"
    "  output <1-16> on|off    outputs <hex>    analog <1|2> <0-255>    wait <ms>    read\n"
    "  wait-input <1-16> on|off <ms>    reset    restart    card <virtual card command>\n"
    "\n"
    "Exit status: 0 done; 1 the line, the driver or the settings could not be set up; 2 bad\n"
    "arguments or script; 3 the driver did not start (no card answered); 4 a wait-input ran out.\n";

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
    for (std::string line; std::getline(*in, line);) {
        if (!parse_script_line(line, actions, error)) return false;
    }
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

// The driver is found from where this program is, never from where it was built: installed, it
// is in ../lib/vek-tools/ beside bin/; in a build tree, where the build put it. When neither is
// there, the installed place is named, so that the loader's error says where it looked.
std::string default_driver() {
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return VEK_PANEL_DRIVER_INSTALLED;
    std::string folder(self, static_cast<std::size_t>(length));
    folder.erase(folder.rfind('/') + 1);
    for (const char* relative : {VEK_PANEL_DRIVER_INSTALLED, VEK_PANEL_DRIVER_BUILT}) {
        const std::string path = folder + relative;
        if (::access(path.c_str(), F_OK) == 0) return path;
    }
    return folder + VEK_PANEL_DRIVER_INSTALLED;
}

// 0 to go on, or the exit status.
int parse_args(int argc, char** argv, Args* args) {
    args->options.driver = default_driver();
    std::string error;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return -1;
        } else if (arg == "--version") {
            std::printf("vek-panel %s\n", VEK_VERSION);
            return -1;
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
            if (!parse_script_line(argv[++i], &args->actions, &error)) break;
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
        std::fprintf(stderr, "vek-panel: %s\n", error.c_str());
        return opened;
    }
    std::printf("%s\n", json_started(session.snapshot(), args.options.settings).c_str());
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
    std::fprintf(stderr, "vek-panel: looking for the card...\n");
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
