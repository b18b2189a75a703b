#include "link/win32_errors.h"

#include <cstdio>

namespace vek {

namespace {

constexpr DWORD kErrorNoSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE, missing from older headers

}  // namespace

bool is_lost(DWORD error, bool cancelled_by_us) {
    switch (error) {
        case ERROR_NOT_READY:  // Wine, after the other end closed
        case ERROR_BROKEN_PIPE:
        case ERROR_ACCESS_DENIED:  // a USB adapter removed
        case ERROR_BAD_COMMAND:
        case ERROR_INVALID_HANDLE:
        case ERROR_GEN_FAILURE:  // some adapters while connected, others once removed
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEV_NOT_EXIST:     // 55, some USB-serial drivers once the adapter is pulled
        case ERROR_FILE_NOT_FOUND:    // 2, others: the device's name no longer resolves
        case kErrorNoSuchDevice: return true;
        case ERROR_OPERATION_ABORTED: return !cancelled_by_us;
        default: return false;
    }
}

void describe_system_error(DWORD error, char* text, std::size_t room) {
    char words[160];
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        words, sizeof words, nullptr);
    DWORD end = length;
    while (end > 0 && (words[end - 1] == '\r' || words[end - 1] == '\n' || words[end - 1] == ' ')) --end;
    words[end] = '\0';
    if (end == 0) {
        std::snprintf(text, room, "system error %lu", static_cast<unsigned long>(error));
        return;
    }
    std::snprintf(text, room, "system error %lu, %s", static_cast<unsigned long>(error), words);
}

}  // namespace vek
