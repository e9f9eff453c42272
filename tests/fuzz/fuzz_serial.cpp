// The serial link fed a byte stream through the virtual null modem: the
// record receiver and the link procedures of every transfer, with ENQ, EOT
// and NAK wherever the fuzzer puts them.
//   byte 0: the transfer (fuzz_exchange.h), byte 1: its flags, byte 2: the
//   line mode; the rest is what the register sends, all of it at once.
#include "fuzz_exchange.h"
#include "testing/virtual_serial_port.h"

namespace {

constexpr std::int32_t kPort = 7;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    orv::platform::SetTimeScale(orv::fuzz::kTimeScale);
    orv::fuzz::WriteSendFiles();
    Ol_Initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using orv::fuzz::Input;
    Input in(data, size);
    const std::uint8_t op = in.Byte();
    Input flags = in.Sub(1);
    const std::uint32_t lineMode = in.Byte() % 3;
    const std::string stream = in.Rest();
    orv::fuzz::NoLeak noLeak;
    orv::testing::VirtualModem* modem = orv::testing::InstallVirtualPort(kPort);
    modem->SetAllLines(true);
    char address[] = "000001";
    SerialOpenRecord record{address, kPort, 2, lineMode};
    FUZZ_CHECK(Ol_Open_RS(&record) == OL_OK);
    modem->Send(stream.data(), stream.size());
    orv::fuzz::Transfer(op, flags, false);
    FUZZ_CHECK(Ol_Close() == OL_OK);
    FUZZ_CHECK(!modem->IsOpen());
    orv::testing::RemoveVirtualPorts();
    return 0;
}
