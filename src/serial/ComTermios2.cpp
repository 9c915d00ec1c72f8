// The arbitrary-rate termios calls need the kernel's own termios2 record, which clashes with the
// C library's <termios.h>: this file includes only the kernel headers.
#include "serial/ComLineSettings.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <asm/termios.h>
#include <cerrno>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace {

// A device without modem lines (a pseudo-terminal) refuses the modem-line calls; that is not a
// failure of the settings.
int SetModemLine(int fd, int line, bool on) {
    int bits = line;
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0)
        return 0;
    if (errno == ENOTTY || errno == EINVAL)
        return 0;
    return errno;
}

} // namespace

int ApplyLineSettingsToDevice(int fd, const TComLineSettings& s) {
    // Rate 0 would hang the line up; a negative rate is meaningless.
    if (s.BaudRate <= 0)
        return EINVAL;
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return errno;
    t.c_iflag = s.IFlag;
    t.c_oflag = s.OFlag;
    t.c_lflag = s.LFlag;
    t.c_cflag = s.CFlag | (s.SpeedCode != 0 ? s.SpeedCode : BOTHER);
    // The input rate follows the output rate.
    t.c_ispeed = static_cast<speed_t>(s.BaudRate);
    t.c_ospeed = static_cast<speed_t>(s.BaudRate);
    for (cc_t& c : t.c_cc)
        c = 0;
    t.c_cc[VSTART] = s.StartChar;
    t.c_cc[VSTOP] = s.StopChar;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (ioctl(fd, TCSETS2, &t) != 0)
        return errno;
    if (int e = SetModemLine(fd, TIOCM_DTR, s.DTR))
        return e;
    if (int e = SetModemLine(fd, TIOCM_RTS, s.RTS))
        return e;
    return 0;
}

int DeviceBaudRate(int fd) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return -1;
    return static_cast<int>(t.c_ospeed);
}
