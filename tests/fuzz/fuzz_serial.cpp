// The serial link fed a byte stream through the virtual null modem: the
// record receiver and the link procedures of every transfer, with ENQ, EOT
// and NAK wherever the fuzzer puts them.
//   byte 0: the transfer (fuzz_exchange.h), byte 1: its flags, byte 2: the
//   line mode; the rest is what the register sends, all of it at once.
#include "fuzz_exchange.h"
#include "testing/virtual_serial_port.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    orv::fuzz::StartLibrary(orv::fuzz::kTimeScale);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::int32_t kPort = 7;
    orv::fuzz::NoLeak noLeak;
    orv::fuzz::Input in(data, size);
    const std::uint8_t op = in.Byte(), flags = in.Byte();
    char address[] = "000001";
    SerialOpenRecord record{address, kPort, 2, in.Byte() % 3u};
    const std::string stream = in.Rest();
    orv::testing::VirtualModem* modem = orv::testing::InstallVirtualPort(kPort);
    modem->SetAllLines(true);
    FUZZ_CHECK(Ol_Open_RS(&record) == OL_OK);
    modem->Send(stream.data(), stream.size());
    orv::fuzz::Transfer(op, flags, false);
    FUZZ_CHECK(Ol_Close() == OL_OK);
    FUZZ_CHECK(!modem->IsOpen());
    orv::testing::RemoveVirtualPorts();
    return 0;
}
