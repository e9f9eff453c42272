// Opening a serial port: the OS's ports, or in the test build first the ports
// that tests provide.
#include "platform/serial_port.h"

#if defined(ORV_LIB_TESTING)
#include <atomic>
#endif

namespace orv::platform {

SerialPort::~SerialPort() = default;

#if defined(ORV_LIB_TESTING)
namespace {
std::atomic<SerialPortFactory> g_factory{nullptr};
}

void SetSerialPortFactory(SerialPortFactory factory) {
    g_factory.store(factory);
}
#endif

std::uint32_t OpenSerialPort(std::int32_t baudCode, std::int32_t portNumber, SerialPort** port) {
    *port = nullptr;
#if defined(ORV_LIB_TESTING)
    if (SerialPortFactory factory = g_factory.load()) {
        std::uint32_t status = SerialOpenFailed;
        if (factory(baudCode, portNumber, port, &status)) return status;
    }
#endif
    return OpenSystemSerialPort(baudCode, portNumber, port);
}

}  // namespace orv::platform
