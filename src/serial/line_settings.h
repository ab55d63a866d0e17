#pragma once

#include <termios.h>

#include <cstdint>

#include "serial/serial_types.h"

namespace tessaryn {

// The control flags (c_cflag) for a line: CLOCAL|CREAD, the character size, parity, stop bits
// and RTS/CTS; HUPCL is cleared when DTR must be held, otherwise left as the device had it.
// No other flag is touched.
tcflag_t composeControlFlags(tcflag_t current, std::int64_t dataBits, Parity parity,
                             bool twoStopBits, bool hardwareFlow, bool holdDTR);

}  // namespace tessaryn
