#include "result_text.h"

namespace orv_tools {

const char* ResultMeaning(std::uint32_t code) {
    switch (code) {
        case 0:
            return "success";
        case 3:
            return "the header file cannot be opened, created or written, or holds no usable "
                   "header";
        case 4:
            return "a data, line, reply or send file cannot be opened or created, holds nothing to "
                   "send, or a write to it was short";
        case 23:
            return "the register sent something else where a header (/HDR1/) was expected";
        case 31:
            return "serial: DSR lost, or not on in time";
        case 32:
            return "serial: carrier off too long while RTS was not raised";
        case 33:
            return "serial: carrier did not drop before a switched-RTS transmission";
        case 34:
            return "serial: CTS not on in time";
        case 35:
            return "no link is open for the call, or the open failed";
        case 36:
            return "cancelled";
        case 37:
            return "serial: the register ended the transmission (EOT) where an answer was awaited";
        case 38:
            return "network: no attempt could send the block";
        case 39:
            return "no answer from the register in time";
        case 40:
            return "serial: the line is down, not connected or closed";
        case 41:
            return "the link is already open";
        case 50:
            return "wrong state or an argument out of range";
        case 55:
            return "the link's thread could not be started";
        case 82:
            return "network: connection closed, receive failed or bad checksum";
        case 84:
            return "network: the register refused the block";
        case 85:
            return "USB: the device cannot be opened";
        case 86:
            return "USB: unexpected answer to the opening exchange";
        case 87:
            return "USB: a read failed, or the device is not open";
        case 88:
            return "USB: a write failed, or the device is not open";
        case 89:
            return "USB: the register answered NAK & END";
        default:
            return "system error code of a failed write to the serial port";
    }
}

}  // namespace orv_tools
