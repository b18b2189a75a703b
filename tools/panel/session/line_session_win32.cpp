// The panel's line on Windows: none of its own. The driver scans the COM ports, as it does under
// the host, or probes the one port the settings file names (--port writes it there).
#include "panel/session/line_session.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "panel/driver/panel_win32.h"

namespace vek::panel {

namespace {

// The instance's section: the panel drives driver number 0.
constexpr const char* kSection = "korvanex-vek-driver-0";
constexpr const char* kPortKey = "port";
// The driver scans COM1 to COM127.
constexpr unsigned kLastScannedPort = 127;
// The port the settings file names, read as the driver reads it; 0 when it names none.
unsigned named_port(const std::string& settings) {
    char text[32] = {};
    GetPrivateProfileStringA(kSection, kPortKey, "", text, sizeof text, settings.c_str());
    unsigned port = 0;
    return parse_port_number(text, &port) ? port : 0;
}

// The device COMn leads to, e.g. \Device\Serial0; empty when there is no such port.
std::string port_device(unsigned n) {
    char target[512] = {};
    const std::string name = "COM" + std::to_string(n);
    if (QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) return {};
    return target;  // the first of the NUL-separated targets: the one that opens
}

// Whether COMn is there to be opened. A USB adapter's port appears only once it is plugged in;
// a port held by another program is there. Opened for no access, which changes nothing.
bool port_present(unsigned n) {
    const std::string path = "\\\\.\\COM" + std::to_string(n);
    const HANDLE port = CreateFileA(path.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
        return true;
    }
    const DWORD why = GetLastError();
    return why != ERROR_FILE_NOT_FOUND && why != ERROR_PATH_NOT_FOUND;
}

// With --wait-card, the port named is waited for before the driver probes it: each empty scan
// would show the driver's notice box.
void wait_for_port(unsigned n, int seconds) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    while (!port_present(n) && GetTickCount64() < deadline) Sleep(200);
}

}  // namespace

struct LineSession::Parts {
    std::string settings;
};

void LineSession::PartsDeleter::operator()(Parts* parts) const { delete parts; }

int LineSession::open(const PanelOptions& options, std::string* error) {
    parts_.reset(new Parts{options.settings});
    if (options.port == 0) return kExitOk;
    const std::string value = std::to_string(options.port);
    if (!WritePrivateProfileStringA(kSection, kPortKey, value.c_str(), options.settings.c_str())) {
        *error = "cannot write port=" + value + " into " + options.settings + ": " + system_message(GetLastError()) +
                 ". Name a settings file that can be written with --settings.";
        return kExitSetup;
    }
    if (options.wait_card_s > 0) wait_for_port(options.port, options.wait_card_s);
    return kExitOk;
}

// The tap needs a line monitor, which the Windows panel has not: it is refused with the
// options, before anything opens.
int LineSession::open_tap(const PanelOptions&, std::string* error) {
    *error = "--tap is not available on Windows";
    return kExitUsage;
}

void LineSession::close() { parts_.reset(); }

bool LineSession::monitored() const { return false; }

bool LineSession::counts(LineCounts*) const { return false; }

bool LineSession::take_events(std::vector<LineEvent>*, uint64_t*) { return false; }

void LineSession::reset_counts() {}

std::string LineSession::no_card_error() const {
    const unsigned port = named_port(parts_->settings);
    if (port != 0) {
        return "no card answered on COM" + std::to_string(port) + ", the port the settings file " + parts_->settings +
               " names (port=" + std::to_string(port) +
               "). Check the card's power and cable and that nothing else is using the port, or name another "
               "with --port N.";
    }
    return "no card answered on COM1 to COM127. Check the card's power and cable, that its adapter shows as a COM "
           "port in the Device Manager, and that nothing else is using the port; --port N probes one port alone.";
}

// A named port is the only one the driver probes; after a scan, its trace says which it found.
// (Asking each handle value of the process whether it is a port, as this once did, fails where the
// system checks handles strictly.)
void LineSession::find_port(bool driver_started, unsigned traced_port) {
    port_.clear();
    device_.clear();
    if (!driver_started) return;
    const unsigned named = named_port(parts_->settings);
    const unsigned n = named != 0 ? named : traced_port;
    if (n == 0) return;
    port_ = "COM" + std::to_string(n);
    device_ = port_device(n);
}

bool LineSession::has_virtual_card() const { return false; }

std::array<uint8_t, 2> LineSession::card_inputs() const { return {}; }

std::string LineSession::card_command(const std::string&) { return {}; }

void LineSession::toggle_card_input(unsigned) {}

}  // namespace vek::panel
