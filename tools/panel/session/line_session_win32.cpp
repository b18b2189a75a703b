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
// Handle values are multiples of 4, handed out lowest first; the panel's process holds a few
// hundred handles at most, so the driver's port handle lies well below this.
constexpr uintptr_t kLastHandleValue = 0x4000;

// The port the settings file names, read as the driver reads it; 0 when it names none.
unsigned named_port(const std::string& settings) {
    char text[32] = {};
    GetPrivateProfileStringA(kSection, kPortKey, "", text, sizeof text, settings.c_str());
    unsigned port = 0;
    return parse_port_number(text, &port) ? port : 0;
}

// What the system names a handle's object, e.g. \Device\Serial0; empty when it names none.
std::string object_name(HANDLE handle) {
    using QueryObject = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    struct Name {
        USHORT length;
        USHORT maximum;
        wchar_t* text;
    };
    constexpr int kObjectNameInformation = 1;
    static const auto query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    if (query == nullptr) return {};
    alignas(Name) char buffer[1024];
    ULONG needed = 0;
    if (query(handle, kObjectNameInformation, buffer, sizeof buffer, &needed) < 0) return {};
    Name name;
    std::memcpy(&name, buffer, sizeof name);
    if (name.text == nullptr || name.length == 0) return {};
    char narrow[512];
    const int size = WideCharToMultiByte(CP_ACP, 0, name.text, name.length / 2, narrow, sizeof narrow, nullptr, nullptr);
    return size > 0 ? std::string(narrow, static_cast<std::size_t>(size)) : std::string();
}

// The device COMn leads to, e.g. \Device\Serial0; empty when there is no such port.
std::string port_device(unsigned n) {
    char target[512] = {};
    const std::string name = "COM" + std::to_string(n);
    if (QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) return {};
    return target;  // the first of the NUL-separated targets: the one that opens
}

// The devices of the communications handles this process holds.
std::vector<std::string> open_serial_devices() {
    std::vector<std::string> open_devices;
    for (uintptr_t value = 4; value <= kLastHandleValue; value += 4) {
        const auto handle = reinterpret_cast<HANDLE>(value);
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        // Only a communications device answers GetCommState; it reads, and changes nothing. Only
        // those are asked their name: asking a pipe's can wait on a read another thread has
        // pending on it.
        if (GetFileType(handle) != FILE_TYPE_CHAR || !GetCommState(handle, &dcb)) continue;
        const std::string name = object_name(handle);
        if (!name.empty()) open_devices.push_back(name);
    }
    return open_devices;
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

// The driver says not which port it kept. A named port is the only one it probes; after a scan,
// the port is the COM port whose device this process has a handle open on.
void LineSession::find_port(bool driver_started) {
    port_.clear();
    device_.clear();
    if (!driver_started) return;
    const unsigned named = named_port(parts_->settings);
    if (named != 0) {
        port_ = "COM" + std::to_string(named);
        device_ = port_device(named);
        return;
    }
    const std::vector<std::string> open_devices = open_serial_devices();
    for (unsigned n = 1; n <= kLastScannedPort && !open_devices.empty(); ++n) {
        const std::string device = port_device(n);
        for (const std::string& open : open_devices) {
            if (!device.empty() && lstrcmpiA(device.c_str(), open.c_str()) == 0) {
                port_ = "COM" + std::to_string(n);
                device_ = device;
                return;
            }
        }
    }
}

bool LineSession::has_virtual_card() const { return false; }

std::array<uint8_t, 2> LineSession::card_inputs() const { return {}; }

std::string LineSession::card_command(const std::string&) { return {}; }

void LineSession::toggle_card_input(unsigned) {}

}  // namespace vek::panel
