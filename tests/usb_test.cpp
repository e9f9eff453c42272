// The USB link end to end: the host side through the exports, the register
// side behind a seqpacket socket checking and answering every packet.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "orv_lib.h"
#include "platform/clock.h"
#include "register/tcp_register.h"
#include "register/usb_register.h"
#include "support/library_test.h"
#include "support/usb_target.h"
#include "usb/usb_cells.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using orv::reg::UsbStatus;
using Clock = std::chrono::steady_clock;
using namespace orv::test;
constexpr int kWait = 5000;  // how long the register waits for the host, ms

// "/HDR1/" and the hex text of a table header with widths 2 and 3, file k of 2.
Bytes HeaderPacket(int k) {
    return Text("/HDR1/01000000000000" + std::string(k == 1 ? "01" : "02") + "020203");
}

struct Packet {
    std::uint8_t kind;
    Bytes data;
    bool operator==(const Packet&) const = default;
};
using Packets = std::vector<Packet>;

void PrintTo(const Packet& p, std::ostream* os) {
    *os << orv::reg::HexOf(&p.kind, 1) << ':' << orv::reg::HexOf(p.data.data(), p.data.size());
}

// A series of two files either way (data blocks: counter 0, rows, rows of
// W = 5) and the csv files it makes.
const Packets kSeries = {{0x03, HeaderPacket(1)},
                         {0x44, {0, 0, 0, 2, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 1, 2, 3, 4, 5}},
                         {0x43, HeaderPacket(2)},
                         {0x44, {0, 0, 0, 1, 0xFF, 0xEE, 0xDD, 0xCC, 0xBB}}};
const Packet kAck = {0x01, {}};
const Packet kEnd = {0x81, {}};
const Packet kNakEnd = {0x82, {}};
// A plain header of file 1 of 1.
constexpr char kPlainHeader[] = "000000000000000101";

class Usb : public LibraryTest {
  protected:
    void SetUp() override {
        LibraryTest::SetUp();
        ASSERT_TRUE(reg.Listen(TempPath("usb.sock")));
        Ol_Initialize();
        Open();
        header = {0, headerPath.assign(TempPath("hdr.txt")).data(), 0};
        data = {1, 0, dataPath.assign(TempPath("DATA.CSV")).data(), 0};
        request.selection = 2;
    }
    void Open() {
        std::string name = UsbDeviceName(reg.Path());
        UsbOpenRecord record{name.data()};
        ASSERT_EQ(Ol_Open_USB(&record), OL_OK);
        ASSERT_TRUE(reg.Accept(kWait));
    }
    // Plays the register's part: 'r' receives a packet into seen (and stops
    // the play when none comes), 's' sends the next of packets, 'a' answers
    // KIND 0x01, 'e' an empty transfer, 'w' checks that the host waits.
    void Play(const std::string& script, const Packets& packets = {}) {
        std::size_t n = 0;
        for (char step : script) {
            orv::reg::UsbPacket p;
            if (step == 's') reg.Send(packets[n].kind, packets[n].data);
            if (step == 's') ++n;
            if (step == 'a') reg.Send(0x01);
            if (step == 'e') reg.SendEmpty();
            EXPECT_TRUE(step != 'w' || reg.Silent(30)) << "the host went on without an answer";
            if (step == 'r' && reg.Receive(&p, kWait) != UsbStatus::Ok) return;
            if (step == 'r') seen.push_back({p.kind, p.data});
        }
    }
    // Ol_WriteRead while the register plays its part on another thread.
    std::uint32_t Exchange(HeaderFileDesc* h, DataFileDesc* d, const std::string& script,
                           const Packets& packets = {}) {
        seen.clear();
        Background([&] { Play(script, packets); });
        const std::uint32_t rc = Ol_WriteRead(&request, h, d);
        JoinBackground();
        return rc;
    }
    static ExchangeRequest Request(std::uint32_t direction, std::uint32_t selection,
                                   char* command = nullptr, std::uint32_t endPause = 0) {
        return {direction, selection, command, 0, 0, 0, 0, 0, 0, 0, endPause};
    }

    orv::reg::UsbRegister reg;
    std::string headerPath, dataPath;
    HeaderFileDesc header{};
    DataFileDesc data{};
    ExchangeRequest request{};
    Packets seen;
};

TEST_F(Usb, TransfersAre1024BytesAndEchoTheRegistersHeaderBytes) {
    for (std::size_t i = 0; i < reg.header.size(); ++i)
        reg.header[i] = static_cast<std::uint8_t>(0xA0 + i);
    Play("sss", {{0x04, Text("first")}, {0x04, {}}, {0x45, Text("last")}});
    data.byteCount = 99;
    Background([&] {
        orv::reg::UsbPacket p;
        for (int i = 0; i < 3 && reg.Receive(&p, kWait) == UsbStatus::Ok; ++i) {
            const Bytes& t = reg.LastTransfer();
            ASSERT_EQ(t.size(), 1024u);
            // The request: 22 bytes, header only; bytes 2 and 23 zero before
            // anything was received, then what the register sent.
            const std::uint8_t first = i == 0 ? 0x00 : 0xA0, last = i == 0 ? 0x00 : 0xB5;
            EXPECT_EQ(Bytes({t[0], t[1], t[2], t[4], t[5], t[23]}),
                      Bytes({0x00, 0x16, first, 0x01, 0x00, last}));
            EXPECT_EQ(Bytes(t.begin() + 24, t.end()), Bytes(1000, 0));
        }
    });
    // Packets are sent before the requests: the reads take them in order.
    ASSERT_EQ(Ol_Read(&data), OL_OK);
    JoinBackground();
    EXPECT_EQ(Slurp(data.path), "first\r\n\r\nlast\r\n");  // KIND 0x45 ended it
    EXPECT_EQ(data.byteCount, 9u);

    SendFileDesc file{data.path, 0};
    std::string bytes(2500, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31);
    for (std::size_t size : {std::size_t{0}, std::size_t{1000}, bytes.size()}) {
        SCOPED_TRACE(size);
        Put(file.path, bytes.substr(0, size));
        const std::size_t blocks = size == 0 ? 1 : (size + 999) / 1000;
        seen.clear();
        std::string script;
        for (std::size_t i = 0; i < blocks; ++i) script += i == 1 ? "rea" : "ra";
        Background([&] { Play(script); });
        ASSERT_EQ(Ol_Write(&file), OL_OK);
        JoinBackground();
        ASSERT_EQ(seen.size(), blocks);
        std::string got;
        for (std::size_t i = 0; i < blocks; ++i) {
            EXPECT_EQ(seen[i].kind, i + 1 == blocks ? 0x44 : 0x04);
            got.append(seen[i].data.begin(), seen[i].data.end());
        }
        EXPECT_EQ(got, bytes.substr(0, size));
        EXPECT_TRUE(reg.Silent(50));  // no END after Ol_Write
    }
}

TEST_F(Usb, SendsASeriesWithSelectionAndCommandAndALineFile) {
    Put(header.path, "010000000000000102\r\n02,03");
    header.format = 1;
    Put(TempPath("DATA.CSV"), "AABB,CCDDEE\r\n0102,030405\r\n");
    Put(TempPath("DATA.002"), "FFEEDDCCBB");
    data.csv = 1;
    char command[] = "PLU\rignored";
    request = Request(1, 0, command);
    ASSERT_EQ(Exchange(&header, &data, "rarararararar"), OL_OK);
    Packets expected = {{0x0F, {}}, {0x00, Text("PLU")}};
    expected.insert(expected.end(), kSeries.begin(), kSeries.end());
    expected.push_back(kEnd);
    EXPECT_EQ(seen, expected);

    // A line file, ended by a pause instead of END; no selection for 2.
    Put(data.path, "0102\r\n\r\nFF");
    request = Request(1, 2, nullptr, 1);
    ASSERT_EQ(Exchange(nullptr, &data, "rararaw"), OL_OK);
    EXPECT_EQ(seen, (Packets{{0x05, {1, 2}}, {0x05, {}}, {0x45, {0xFF}}}));
}

// A reply file: a line per packet by the low four bits of its KIND (a series
// received: the fault matrix).
TEST_F(Usb, ReceivesReplyFiles) {
    request = Request(0, 2);
    data.byteCount = 1;
    const Packets replies = {{0x03, Text("/HDR1/\x01")}, {0x07, Text("raw")}, {0x84, {0xAB}}};
    ASSERT_EQ(Exchange(nullptr, &data, "srsrsr", replies), OL_OK);
    EXPECT_EQ(seen, (Packets{kAck, kAck, kEnd}));
    EXPECT_EQ(Slurp(data.path), "/HDR1/01\r\nraw\r\nAB\r\n");
    EXPECT_EQ(data.byteCount, 1u + 8 + 3 + 2);

    // Neither header nor data: NAK & END and 4, nothing awaited.
    EXPECT_EQ(Exchange(nullptr, nullptr, "r"), OL_DATA_FILE);
    EXPECT_EQ(seen, Packets{kNakEnd});
}

TEST_F(Usb, FailuresSendTheAbortPacketOnlyForLocalFailures) {
    const long files = OpenDescriptors();
    // No header file to send, or no data file to receive into: NAK & END.
    std::filesystem::remove(header.path);
    request = Request(1, 2);
    EXPECT_EQ(Exchange(&header, &data, "r"), OL_HEADER_FILE);
    EXPECT_EQ(seen, Packets{kNakEnd});
    Put(header.path, kPlainHeader);
    request = Request(0, 2);
    data.path = const_cast<char*>("/nonexistent/DATA.CSV");
    EXPECT_EQ(Exchange(&header, &data, "sr", {kSeries[0]}), OL_DATA_FILE);
    data.path = dataPath.data();
    EXPECT_EQ(seen, Packets{kNakEnd});
    // A header file of another format: 50, nothing sent.
    header.format = 2;
    request.direction = 1;
    EXPECT_EQ(Exchange(&header, &data, "w"), OL_BAD_STATE);
    EXPECT_EQ(OpenDescriptors(), files);
}

TEST_F(Usb, SelectionAnswersAndCancels) {
    // A selection answered with another KIND: NAK and 86. The cancel hook is
    // then off: a pending cancel no longer stops a write, only the reply.
    request = Request(1, 1);
    ASSERT_EQ(Exchange(nullptr, nullptr, "rsrw", {{0x02, {}}}), OL_USB_BAD_OPEN);
    EXPECT_EQ(seen, (Packets{kAck, {0x02, {}}}));
    Ol_Cancel(1);
    ASSERT_EQ(Exchange(nullptr, nullptr, "ra"), OL_CANCELLED);
    EXPECT_EQ(seen, Packets{kAck});

    // With the hook on (a new open), a pending cancel stops the first write.
    Ol_Close();
    Open();
    Ol_Cancel(1);
    SendFileDesc file{data.path, 0};
    Put(file.path, "x");
    EXPECT_EQ(Ol_Write(&file), OL_CANCELLED);
    EXPECT_TRUE(reg.Silent(50));

    // A cancel while a read waits ends it with 36: in Ol_Write silently, in
    // a sending exchange with NAK & END.
    Ol_Cancel(0);
    Background([&] { Play("r"); });
    EXPECT_EQ(Cancelled([&] { return Ol_Write(&file); }), OL_CANCELLED);
    JoinBackground();
    EXPECT_TRUE(reg.Silent(50));
    Ol_Cancel(0);
    Put(header.path, kPlainHeader);
    Put(data.path, "AABBCCDDEE");
    request = Request(1, 2);
    Background([&] { Play("rr"); });
    EXPECT_EQ(Cancelled([&] { return Ol_WriteRead(&request, &header, &data); }), OL_CANCELLED);
    JoinBackground();
    EXPECT_EQ(seen.back(), kNakEnd);
    request = Request(1, 1);  // the hook stays off after NAK & END too
    EXPECT_EQ(Exchange(nullptr, nullptr, "ra"), OL_CANCELLED);
    EXPECT_EQ(seen, Packets{kAck});

    // An endless run of empty transfers holds the host only until a cancel.
    Ol_Close();
    Open();
    std::atomic<bool> flood{true};
    Background([&] {
        orv::reg::UsbPacket p;
        reg.Receive(&p, kWait);
        while (flood && reg.SendEmpty())
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    });
    EXPECT_EQ(Cancelled([&] {
                  const std::uint32_t rc = Ol_Write(&file);
                  flood = false;
                  return rc;
              }),
              OL_CANCELLED);
}

TEST_F(Usb, TimeOutAndRemoval) {
    SendFileDesc file{data.path, 0};
    Put(file.path, "x");
    // Silence: 39 after the 45 s wait (time runs 200 times faster here).
    orv::platform::SetTimeScale(200);
    Background([&] { Play("r"); });
    EXPECT_EQ(Ol_Write(&file), OL_NO_ANSWER);
    JoinBackground();
    orv::platform::SetTimeScale(1);
    EXPECT_TRUE(UsbTimedOutTransferDiscarded());

    // Removal while idle: the monitor closes the device, Ol_Write fails at once.
    ASSERT_TRUE(orv::usb::testing::DeviceOpen());
    reg.Disconnect();
    EXPECT_TRUE(WaitUntil([] { return !orv::usb::testing::DeviceOpen(); }));
    EXPECT_EQ(Ol_Write(&file), OL_USB_WRITE);
    EXPECT_EQ(Ol_Read(&data), OL_USB_WRITE);  // its request is a write

    // Removal during Ol_Read and during Ol_WriteRead (run value 1): the
    // waiting read fails within a slice.
    for (bool exchange : {false, true}) {
        SCOPED_TRACE(exchange);
        Ol_Close();
        EXPECT_EQ(orv::usb::testing::RunValue(), 0);
        Open();
        request = Request(0, 2);
        Background([&] {
            if (!exchange) Play("r");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_EQ(orv::usb::testing::RunValue(), exchange ? 1 : 2);
            reg.Disconnect();
        });
        const auto start = Clock::now();
        EXPECT_EQ(exchange ? Ol_WriteRead(&request, &header, &data) : Ol_Read(&data), OL_USB_READ);
        EXPECT_LT(SecondsSince(start), 1.6);
        JoinBackground();
        EXPECT_EQ(orv::usb::testing::RunValue(), 2);
    }
    // A removal reported while the run value is 1 is left alone.
    Ol_Close();
    Open();
    const std::uint32_t reports = orv::usb::testing::RemovalReports();
    orv::usb::testing::SetRunValue(1);
    reg.Disconnect();
    WaitUntil([&] { return orv::usb::testing::RemovalReports() != reports; });
    EXPECT_TRUE(orv::usb::testing::DeviceOpen());
    orv::usb::testing::SetRunValue(2);

    Ol_Close();
    if (UsbEmulated()) {
        // Names of a device libusb does not have, or that are no ids at all.
        for (const char* absent : {"usb:1234:5679", "usb:1234:5678:NOSUCH", "usb:12345:5678",
                                   "usb:1234", "usb:1234:5678:"}) {
            std::string text = absent;
            UsbOpenRecord record{text.data()};
            EXPECT_EQ(Ol_Open_USB(&record), OL_USB_OPEN) << absent;
        }
        return;
    }
    // Names: too long, or nothing there.
    std::string name(256, 'a');
    UsbOpenRecord record{name.data()};
    EXPECT_EQ(Ol_Open_USB(&record), OL_USB_OPEN);
    name = TempPath("absent");
    record.deviceName = name.data();
    EXPECT_EQ(Ol_Open_USB(&record), OL_USB_OPEN);

    // A device path that disappears is a removal too; other names are in /dev.
    ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
    ASSERT_EQ(Ol_Open_USB(&record), OL_OK);
    std::filesystem::remove(name);
    EXPECT_TRUE(WaitUntil([] { return !orv::usb::testing::DeviceOpen(); }));
    Ol_Close();
    name = "null";
    record.deviceName = name.data();
    EXPECT_EQ(Ol_Open_USB(&record), OL_OK);
}

}  // namespace
