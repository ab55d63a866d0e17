#include "serial/line_settings.h"

namespace tessaryn {

tcflag_t composeControlFlags(tcflag_t c, std::int64_t dataBits, Parity parity, bool twoStopBits,
                             bool hardwareFlow, bool holdDTR) {
    c &= ~static_cast<tcflag_t>(CLOCAL | CREAD | CSIZE);
    c |= CLOCAL | CREAD;
    switch (dataBits) {
        case 5:
            c |= CS5;
            break;
        case 6:
            c |= CS6;
            break;
        case 7:
            c |= CS7;
            break;
        default:
            c |= CS8;
            break;
    }
    c &= ~static_cast<tcflag_t>(PARENB | PARODD);
    if (parity == Parity::even) c |= PARENB;
    if (parity == Parity::odd) c |= PARENB | PARODD;
    c &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
    if (twoStopBits) c |= CSTOPB;
    if (hardwareFlow) c |= CRTSCTS;
    if (holdDTR) c &= ~static_cast<tcflag_t>(HUPCL);
    return c;
}

}  // namespace tessaryn
