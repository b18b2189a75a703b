// vek-panel: switch a Vek card's outputs and watch its inputs through the driver, as the host
// would drive it, before the host application ever runs.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "panel/driver/settings_lock.h"
#include "panel/driver/settings_path.h"
#include "panel/driver/trace_keys.h"
#include "panel/line/frame_watch.h"
#include "panel/session/panel_session.h"
#include "panel/session/script.h"
#include "panel/session/session_records.h"
#include "panel/view/interrupts.h"
#include "panel/view/live_view.h"
#include "panel/view/screen.h"

namespace vek::panel {
namespace {

const char* const kUsage =
    "usage: vek-panel [--device PATH | --ports DIR | --port N] [--settings FILE] [--driver LIBRARY]\n"
    "                 [--wait-card SECONDS] [--card-log FILE] [--no-wire-time] [--trace FILE]\n"
    "                 [--csv FILE] [--record-cap MIB] [--keep-going] [--do ACTION]... [--script FILE]...\n"
    "       vek-panel --tap DEVICE --link PATH [--trace FILE] [--csv FILE] [--record-cap MIB] [--do ACTION]...\n"
    "       vek-panel --repair-settings FILE\n"
    "       vek-panel -h | --help | -V | --version\n"
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
    "On Windows the driver scans COM1 to COM127 for the card, as under the host; there is no\n"
    "virtual card, and --device, --ports, --card-log and --no-wire-time are not available:\n"
    "  --port N          (Windows) the driver probes COMN alone: port=N (1-255) is written into\n"
    "                    the instance's section of the settings file, and stays there\n"
    "\n"
    "  --settings FILE   the instance's settings file (default ~/.config/vek-panel/settings.ini;\n"
    "                    on Windows %APPDATA%\\vek-panel\\settings.ini); its folder must exist.\n"
    "                    Its keys delay, port and trace are the driver's.\n"
    "  --driver LIBRARY  the driver to load (default: the one installed with the panel, or in a\n"
    "                    build tree the one built beside it)\n"
    "  --wait-card SECONDS  scan again until a card answers or this long has passed (a card not\n"
    "                    powered yet); with --device (Windows: --port), first wait for the device\n"
    "                    (COM port) to appear: a USB adapter not plugged in yet. Without it one\n"
    "                    scan decides\n"
    "  --card-log FILE   the virtual card logs each frame it receives: <time> <ms> <7 bytes> valid|invalid\n"
    "  --no-wire-time    the virtual card answers at once instead of at 115200 baud\n"
    "  -V, --version     print the version\n"
    "  --repair-settings FILE  put back the settings file a panel killed during the driver's start\n"
    "                    left with its lent trace keys (the next run does it too), and exit\n"
    "\n"
    "Watching another program's line (no driver is loaded, nothing is ever sent by the panel):\n"
    "  --tap DEVICE      open the card's serial device, e.g. /dev/ttyUSB0, and pass every byte\n"
    "  --link PATH       between it and a pseudo-terminal linked at PATH, which the host opens as\n"
    "                    its port (under Wine: --link $WINEPREFIX/dosdevices/com3)\n"
    "\n"
    "Records (appended; not with --ports, whose line the panel does not see). Each needs a file of\n"
    "its own: a link, another program's file, the settings file or one file for two is refused.\n"
    "Times are ISO 8601 local time with the UTC offset; each run begins with a session header:\n"
    "  --trace FILE      one line per frame each way: the time, tx (to the card) or rx (from it),\n"
    "                    the bytes, and what they mean or what is wrong; a line where the card\n"
    "                    falls silent and where it answers again\n"
    "  --csv FILE        one row per host cycle: time, inputs, volts, outputs, analog outputs,\n"
    "                    answering, line_state, age of the last answer in ms\n"
    "  --record-cap MIB  at this size (1-1024 MiB, default 10) a record is renamed to FILE.1,\n"
    "                    replacing the one before, and a new one begins\n"
    "\n"
    "Without --do or --script the live view runs on the terminal (? there lists its keys). With\n"
    "them, the actions run in order and each observation is printed as one JSON line:\n"
    "  output <1-16> on|off    outputs <hex>    analog <1|2> <0-255>    wait <ms>    read\n"
    "  wait-input <1-16> on|off <ms>    reset    restart    card <virtual card command>\n"
    "  check-analog-in <1|2> <min V> <max V>    check-line <state>    label <text>\n"
    "A script stops at the first step that fails; with --keep-going it runs every step. Either way\n"
    "it ends with a summary line (passed, failed with label and place, skipped, status).\n"
    "With --tap only wait, read, wait-input, the checks and label, which send nothing.\n"
    "\n"
    "Exit status: 0 done; 1 the line, the driver or the settings could not be set up; 2 bad\n"
    "arguments or script (nothing is started); 3 the driver did not start (no card answered, or\n"
    "only corrupt answers); 4 a wait-input ran out; 5 the virtual card refused a card command;\n"
    "6 a check failed; 7 a record could not be written; 8 the script was interrupted.\n";

volatile std::sig_atomic_t g_interrupted = 0;

struct Args {
    PanelOptions options;
    std::vector<ScriptAction> actions;
    bool scripted = false;
    bool keep_going = false;  // run every step, failed or not, and fail at the end
    int do_count = 0;         // --do options so far, for each action's place
};

// Parses one line of a script, noting where it was written.
bool parse_placed(const std::string& line, const std::string& place, std::vector<ScriptAction>* actions,
                  std::string* error) {
    const std::size_t before = actions->size();
    if (!parse_script_line(line, actions, error)) return false;
    if (actions->size() > before) actions->back().place = place;
    return true;
}

bool read_script(const std::string& path, std::vector<ScriptAction>* actions, std::string* error) {
    std::ifstream file;
    std::istream* in = &std::cin;
    std::error_code ignored;
    if (path != "-" && std::filesystem::is_directory(path, ignored)) {
        *error = "--script " + path + " is a folder; name the script file in it";
        return false;
    }
    if (path != "-") {
        file.open(path);
        if (!file) {
            *error = "cannot read the script " + path;
            return false;
        }
        in = &file;
    }
    const std::string name = path == "-" ? std::string("(standard input)") : path;
    int number = 0;
    for (std::string line; std::getline(*in, line);) {
        ++number;
        const std::string place = "script " + name + " line " + std::to_string(number);
        if (!parse_placed(line, place, actions, error)) {
            *error = place + ": " + *error;
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

// The tap only watches: it takes its device and link, and only the actions that send nothing.
std::string tap_argument_problem(const Args& args) {
    const PanelOptions& options = args.options;
    if (options.tap.empty() != options.link.empty()) {
        return "--tap DEVICE and --link PATH go together: the card's device, and where the host finds its port";
    }
    if (!options.tap.empty() && !(options.device.empty() && options.ports.empty())) {
        return "--tap names the card's device itself; give it without --device or --ports";
    }
    if (!options.trace.empty() && !options.ports.empty()) {
        return "--trace records the panel's own line (the virtual card, --device or --tap); with --ports the "
               "driver opens the port itself";
    }
    if (options.tap.empty()) return {};
    for (const ScriptAction& action : args.actions) {
        const ScriptAction::Kind kind = action.kind;
        if (kind != ScriptAction::Kind::wait && kind != ScriptAction::Kind::read && kind != ScriptAction::Kind::wait_input &&
            kind != ScriptAction::Kind::check_analog_in && kind != ScriptAction::Kind::check_line &&
            kind != ScriptAction::Kind::label) {
            return "the tap only watches the line: '" + action.text + "' would act on the card (with --tap: wait, read, wait-input, check-analog-in, check-line, label)";
        }
    }
    return {};
}

// An option that takes a value; false when arg is none of them. A refused value is told in *error.
bool take_value_option(const std::string& arg, const std::string& value, Args* args, std::string* error) {
    PanelOptions& options = args->options;
    if (arg == "--wait-card") {
        if (!parse_seconds(value, &options.wait_card_s)) {
            *error = "--wait-card takes whole seconds (0 to 999999), not '" + value + "'";
        }
    } else if (arg == "--device") {
        options.device = value;
    } else if (arg == "--ports") {
        options.ports = value;
    } else if (arg == "--port") {
        if (!parse_port_number(value, &options.port)) *error = "--port takes a COM port number from 1 to 255";
    } else if (arg == "--settings") {
        options.settings = value;
    } else if (arg == "--driver") {
        options.driver = value;
    } else if (arg == "--card-log") {
        options.card_log = value;
    } else if (arg == "--tap") {
        options.tap = value;
    } else if (arg == "--link") {
        options.link = value;
    } else if (arg == "--trace") {
        options.trace = value;
    } else if (arg == "--csv") {
        options.csv = value;
    } else if (arg == "--record-cap") {
        // At most 1 GiB: a record's size is a long, 32 bits on Windows.
        int mib = 0;
        if (!parse_seconds(value, &mib) || mib < 1 || mib > 1024) {
            *error = "--record-cap takes whole MiB from 1 to 1024, not '" + value + "'";
        }
        options.record_cap_mib = static_cast<unsigned>(mib);
    } else if (arg == "--do") {
        args->scripted = true;
        const std::string place = "--do " + std::to_string(++args->do_count);
        if (!parse_placed(value, place, &args->actions, error)) *error = "--do " + *error;
    } else if (arg == "--script") {
        args->scripted = true;
        read_script(value, &args->actions, error);
    } else {
        return false;
    }
    return true;
}

// The options together: empty, or why they cannot go together here.
std::string combination_problem(const Args& args) {
    const PanelOptions& options = args.options;
    if (!options.device.empty() && !options.ports.empty()) return "--device and --ports name the card two ways; give one";
    std::string problem = options_refused(options);
    if (!problem.empty()) return problem;
    if (!options.card_log.empty() && !(options.device.empty() && options.ports.empty() && options.tap.empty())) {
        return "--card-log is for the virtual card; it cannot log a real card (--trace records any line)";
    }
    problem = tap_argument_problem(args);
    if (!problem.empty() || offers_virtual_card(options)) return problem;
    // Checked before anything starts: these need the virtual card, which --device and --ports
    // replace, and which the Windows panel has not.
    for (const ScriptAction& action : args.actions) {
        if (action.kind == ScriptAction::Kind::card) {
            return "'" + action.text + "': card commands need the virtual card (" + virtual_card_hint() + ")";
        }
    }
    return {};
}

// --repair-settings FILE: puts back what a panel that ended without tidying left lent, and says so.
int repair_settings(const std::string& given) {
    const std::string file = settings_path_for_driver(given);
    SettingsLock lock;
    std::string error;
    if (!lock.take(file, kSettingsLockWaitMs, &error)) {
        std::fprintf(stderr, "vek-panel: %s\n", error.c_str());
        return kExitSetup;
    }
    const LentKeysRepair repair = repair_lent_keys(file);
    const std::string said = repair.said.empty() ? file + ": no keys lent by a panel were left in it" : repair.said;
    std::fprintf(stderr, "vek-panel: %s\n", said.c_str());
    return repair.ok ? kExitOk : kExitSetup;
}

// 0 to go on, -1 when --help, --version or --repair-settings has said all, or the exit status.
int parse_args(int argc, char** argv, Args* args) {
    args->options.driver = default_driver_path();
    for (int i = 1; i < argc; ++i) args->options.command_line += std::string(i == 1 ? "" : " ") + argv[i];
    std::string error;
    for (int i = 1; i < argc && error.empty(); ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return -1;
        }
        if (arg == "--version" || arg == "-V") {
            std::printf("vek-panel %s\n", VEK_VERSION);
            return -1;
        }
        if (arg == "--repair-settings" && i + 1 < argc) {
            const int status = repair_settings(argv[i + 1]);
            return status == kExitOk ? -1 : status;
        }
        if (arg == "--no-wire-time") {
            args->options.wire_time = false;
        } else if (arg == "--keep-going") {
            args->keep_going = true;
        } else if (i + 1 < argc && take_value_option(arg, argv[i + 1], args, &error)) {
            ++i;
        } else {
            error = "bad argument '" + arg + "' (see --help)";
        }
    }
    if (error.empty()) error = combination_problem(*args);
    if (!error.empty()) {
        std::fprintf(stderr, "vek-panel: %s\n", error.c_str());
        return kExitUsage;
    }
    args->options.settings = args->options.settings.empty() ? default_settings_path()
                                                             : settings_path_for_driver(args->options.settings);
    error = record_paths_problem(args->options);
    if (!error.empty()) {
        std::fprintf(stderr, "vek-panel: %s\n", error.c_str());
        return kExitUsage;
    }
    return 0;
}

int run_scripted(PanelSession& session, const Args& args) {
    std::string error;
    const int opened = session.open(args.options, &error);
    if (opened != kExitOk) {
        std::printf("%s\n", stamped(json_failed(opened, error)).c_str());
        std::fflush(stdout);
        // Once on the terminal: the JSON line already says it there.
        if (!output_is_terminal()) std::fprintf(stderr, "vek-panel: %s\n", error.c_str());
        return opened;
    }
    std::printf("%s\n", stamped(json_started(session.snapshot())).c_str());
    std::fflush(stdout);
    int status = run_script(session, args.actions, stdout, &g_interrupted, args.keep_going);
    session.stop();
    std::printf("%s\n", stamped(json_stopped(session.snapshot())).c_str());
    // The last rows are written at the stop: a record that failed then fails the run too.
    if (status == kExitOk && session.records_failed()) status = kExitRecordFailed;
    return status;
}

int run_live(PanelSession& session, const Args& args) {
    if (!screen_available()) {
        std::fprintf(stderr, "vek-panel: the live view needs a terminal; for scripts use --do or --script\n");
        return kExitUsage;
    }
    std::string error;
    if (!args.options.tap.empty()) {
        std::fprintf(stderr, "vek-panel: opening the tap...\n");
    } else if (args.options.wait_card_s > 0) {
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
    if (shot.tap) {
        std::fprintf(stderr, "vek-panel: tap closed after %llu frames to the card and %llu answers\n",
                     static_cast<unsigned long long>(shot.line.frames_to_card),
                     static_cast<unsigned long long>(shot.line.answers));
    } else if (shot.monitored) {
        std::fprintf(stderr, "vek-panel: driver stopped; the last frame to the card: %s\n",
                     frame_text(shot.line.last_frame.data(), shot.line.last_frame.size()).c_str());
    } else {
        std::fprintf(stderr, "vek-panel: driver stopped\n");
    }
    return status;
}

int run(int argc, char** argv) {
    Args args;
    const int parsed = parse_args(argc, argv, &args);
    if (parsed != 0) return parsed < 0 ? kExitOk : parsed;

    catch_interrupts(&g_interrupted);

    PanelSession session;
    const int status = args.scripted ? run_scripted(session, args) : run_live(session, args);
    session.close();
    interrupts_done();
    return status;
}

}  // namespace
}  // namespace vek::panel

int main(int argc, char** argv) { return vek::panel::run(argc, argv); }
