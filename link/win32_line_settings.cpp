#include "link/win32_line_settings.h"

namespace vek {

namespace {

constexpr DWORD kQueueSize = 4096;
constexpr char kXonChar = 0x11;   // DC1
constexpr char kXoffChar = 0x13;  // DC3

// The receive queue the driver really has: SetupComm is a request it may refuse, or answer with
// sizes of its own, which GetCommProperties reports when it knows them. 0 when unknown.
DWORD receive_queue(HANDLE h) {
    const DWORD asked = SetupComm(h, kQueueSize, kQueueSize) ? kQueueSize : 0;
    COMMPROP properties{};
    if (GetCommProperties(h, &properties) && properties.dwCurrentRxQueue != 0) return properties.dwCurrentRxQueue;
    return asked;
}

}  // namespace

bool configure_line(HANDLE h) {
    const DWORD queue = receive_queue(h);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) return false;
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    // Flow control is off, but SetCommState checks these fields all the same and refuses a DCB
    // whose XonChar equals XoffChar, or whose limits exceed the queue; what GetCommState reports
    // is whatever the last user or the driver left there. Set them to the usual values, the
    // limits a quarter of the queue really there (0, which fits any queue, when it is unknown).
    dcb.XonChar = kXonChar;
    dcb.XoffChar = kXoffChar;
    dcb.XonLim = static_cast<WORD>(queue / 4 < 0xFFFF ? queue / 4 : 0xFFFF);
    dcb.XoffLim = dcb.XonLim;
    if (!SetCommState(h, &dcb)) return false;
    // No read timeouts: a read ends when all its bytes are in, and our own wait bounds it and
    // cancels it. The serial driver's timeouts are kernel timers that end on the clock tick
    // (15.6 ms), too coarse for an answer wait. Reads of bytes the count reports end at once;
    // only wait_for_bytes reads bytes still to come, to wait on them.
    COMMTIMEOUTS timeouts{0, 0, 0, 0, kWriteBoundMs};
    return SetCommTimeouts(h, &timeouts) != 0;
}

}  // namespace vek
