// The network link: Ol_Open_MWS and the close, and the block exchange against
// the register side on the loopback address.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "api/library.h"
#include "net/net_block.h"
#include "net/net_cells.h"
#include "platform/clock.h"
#include "support/net_peer.h"

namespace {

using orv::Core;
using orv::net::Net;
using orv::net::NetReceiveBlock;
using orv::net::NetSendBlock;
using orv::reg::TcpBlock;
using orv::reg::TcpStatus;
using Bytes = std::vector<std::uint8_t>;

constexpr int kWait = 5000;

double RealSecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class NetLink : public orv::test::NetTest {
  protected:
    // Receives one block: the result, with the content length and refused
    // words (which start as 0xEEEEEEEE to show what was written).
    std::uint32_t Receive() {
        length = 0xEEEEEEEE;
        refused = 0xEEEEEEEE;
        return NetReceiveBlock(&refused, &length);
    }
    std::uint32_t SendData(std::uint8_t continued, std::uint8_t type, const Bytes& data) {
        std::memcpy(orv::net::BlockData(), data.data(), data.size());
        return NetSendBlock(continued, type, 0, static_cast<std::uint32_t>(data.size()));
    }
    Bytes ReceivedData() const {
        const std::uint8_t* block = Net().block;
        return Bytes(block + 4, block + length);
    }

    std::uint32_t length = 0;
    std::uint32_t refused = 0;
};

TEST_F(NetLink, OpenPrintsAddressesConnectsAndCloses) {
    Ol_Initialize();
    ASSERT_EQ(OpenMws("127.000.000.001", "010.000.000.005", reg.Port()), OL_OK);
    ASSERT_TRUE(reg.Accept(kWait));
    EXPECT_STREQ(Net().registerAddress, "127.0.0.1");
    EXPECT_STREQ(Net().terminalAddress, "10.0.0.5");
    EXPECT_EQ(Net().recordRegister, Net().registerAddress);
    EXPECT_EQ(Net().terminalNumber, 5u);
    EXPECT_EQ(Net().receiveTimeout, 80000u);
    EXPECT_EQ(Net().sendRetries, 160u);
    EXPECT_EQ(Net().sendRetryWait, 250u);
    EXPECT_EQ(Core().openLink.load(), orv::LinkNetwork);
    EXPECT_EQ(OpenMws("127.0.0.1", "10.0.0.5", reg.Port()), OL_ALREADY_OPEN);
    EXPECT_EQ(Ol_EchoBack(nullptr, nullptr, nullptr), OL_OK);

    // The low 8 bits of the terminal's fourth number lead every block.
    ASSERT_EQ(NetSendBlock(0, 0, 0, 0), OL_OK);
    TcpBlock block;
    ASSERT_EQ(reg.Receive(&block, kWait), TcpStatus::Ok);
    EXPECT_EQ(block.terminal, 5);

    EXPECT_EQ(Ol_Close(), OL_OK);
    EXPECT_EQ(Core().state.load(), orv::StateInitialised);
    EXPECT_EQ(Net().socket, nullptr);
    EXPECT_EQ(reg.Receive(&block, kWait), TcpStatus::Closed);
    EXPECT_EQ(Ol_Open_RS(nullptr), OL_NO_LINK);  // the serial link may start now
}

TEST_F(NetLink, FailedOpensGive35AndLeaveTheLinkStarted) {
    struct Case {
        const char* reg;
        const char* term;
        std::uint32_t port;
    };
    const std::uint32_t open = reg.Port();
    const Case cases[] = {
        {"127.0.0.1", "10.0.0.1", 0},                        // port 0
        {"127.0.0.1", "10.0.0.1", 0x10000},                  // only the low 16 bits count: 0
        {"127.0.0.1", "10.0.0.1", orv::test::UnusedPort()},  // refused
        {"127.0.0", "10.0.0.1", open},
        {"127.0.0.256", "10.0.0.1", open},
        {"127.0.0.1x", "10.0.0.1", open},
        {"127.0.0.1", "10.0.0.-1", open},
        {"localhost", "10.0.0.1", open},
        {"", "10.0.0.1", open},
        {nullptr, "10.0.0.1", open},
        {"127.0.0.1", nullptr, open},
        {"127.0.0.1", "10..0.1", open},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.reg ? c.reg : "(null)") + " / " + (c.term ? c.term : "(null)"));
        Ol_Initialize();
        EXPECT_EQ(OpenMws(c.reg, c.term, c.port), OL_NO_LINK);
        EXPECT_EQ(Core().state.load(), orv::StateInitialised | orv::StateNetworkStarted);
        EXPECT_EQ(Core().openLink.load(), orv::LinkNone);
        EXPECT_EQ(Ol_Open_RS(nullptr), OL_BAD_STATE);
        EXPECT_EQ(Ol_Write(nullptr), OL_NO_LINK);
        EXPECT_FALSE(reg.Accept(0));
    }
    // The same library then opens normally.
    EXPECT_EQ(OpenMws("127.0.0.1", "10.0.0.1", open), OL_OK);
    EXPECT_TRUE(reg.Accept(kWait));
}

// A listener whose queue is full leaves a further connect unanswered.
TEST_F(NetLink, ConnectGivesUpAfterItsTimeLimitOrOnCancel) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    socklen_t size = sizeof at;
    getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(f, reinterpret_cast<sockaddr*>(&at), sizeof at);
        fillers.push_back(f);
    }
    usleep(100000);

    Ol_Initialize();
    orv::platform::SetTimeScale(100);  // 21 s of connect time in about 0.2 s
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenMws("127.0.0.1", "10.0.0.1", ntohs(at.sin_port)), OL_NO_LINK);
    EXPECT_LT(RealSecondsSince(start), 3.0);
    EXPECT_EQ(Net().socket, nullptr);

    orv::platform::SetTimeScale(1);
    Background([] {
        usleep(200000);
        Ol_Cancel(1);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenMws("127.0.0.1", "10.0.0.1", ntohs(at.sin_port)), OL_NO_LINK);
    EXPECT_LT(RealSecondsSince(start), 2.0);
    for (int f : fillers) close(f);
    close(listener);
}

TEST_F(NetLink, FramesCarryLengthContentAndChecksum) {
    OpenToRegister("10.0.0.10");
    // The smallest block: 00 04, terminal 10, sequence 0, type 0, code 0, sum.
    ASSERT_EQ(NetSendBlock(0, 0, 0, 0), OL_OK);
    Bytes raw(7);
    ASSERT_EQ(reg.ReceiveRaw(raw.data(), raw.size(), kWait), TcpStatus::Ok);
    EXPECT_EQ(raw, (Bytes{0x00, 0x04, 0x0A, 0x00, 0x00, 0x00, 0x0E}));

    // The largest: 1453 data bytes, L = 1457 = 05 B1, a 1460-byte frame.
    Bytes data(1453);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    ASSERT_EQ(SendData(1, 0x44, data), OL_OK);
    TcpBlock block;
    ASSERT_EQ(reg.Receive(&block, kWait), TcpStatus::Ok);
    ASSERT_EQ(reg.LastFrame().size(), 1460u);
    EXPECT_EQ(reg.LastFrame()[0], 0x05);
    EXPECT_EQ(reg.LastFrame()[1], 0xB1);
    EXPECT_EQ(block.type, 0x44);
    EXPECT_EQ(block.data, data);

    // Received: content copied to the block record, L returned.
    ASSERT_TRUE(reg.Send(3, 0x04, {'A', 'B', 'C'}, 0x21));
    ASSERT_EQ(Receive(), OL_OK);
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(ReceivedData(), (Bytes{'A', 'B', 'C'}));
    EXPECT_EQ(Net().block[0], reg.terminal);
    EXPECT_EQ(Net().block[2], 0x04);
    EXPECT_EQ(Net().block[3], 0x21);

    // A refusal: 84, the refused word set, the block in the record.
    ASSERT_TRUE(reg.Send(2, 0x82, {0x11, 0x22}));
    EXPECT_EQ(Receive(), OL_NET_REFUSED);
    EXPECT_EQ(refused, 1u);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(ReceivedData(), (Bytes{0x11, 0x22}));

    // A wrong checksum: 82, length 0, the block record untouched; the next
    // frame is read normally.
    TcpBlock bad;
    bad.type = 0x09;
    bad.data = {1, 2, 3, 4};
    std::uint8_t good = orv::reg::TcpRegister::Frame(bad).back();
    ASSERT_TRUE(reg.SendWithChecksum(bad, static_cast<std::uint8_t>(good + 1)));
    EXPECT_EQ(Receive(), OL_NET_CLOSED);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(refused, 0xEEEEEEEEu);
    EXPECT_EQ(Net().block[2], 0x82);
    bad.data.assign(1453, 0xFF);
    ASSERT_TRUE(reg.Send(bad));
    ASSERT_EQ(Receive(), OL_OK);
    EXPECT_EQ(length, 1457u);
    EXPECT_EQ(ReceivedData(), bad.data);
}

TEST_F(NetLink, SequenceNumbersFollowTheSharedBlockRecord) {
    OpenToRegister();
    TcpBlock block;
    auto sent = [&](std::uint8_t continued) {
        EXPECT_EQ(NetSendBlock(continued, 4, 0, 0), OL_OK);
        EXPECT_EQ(reg.Receive(&block, kWait), TcpStatus::Ok);
        return block.sequence;
    };
    EXPECT_EQ(sent(0), 0);
    EXPECT_EQ(sent(1), 1);
    EXPECT_EQ(sent(1), 2);
    EXPECT_EQ(sent(0), 0);
    // A received block leaves its sequence number in the record.
    ASSERT_TRUE(reg.Send(7, 5, {}));
    ASSERT_EQ(Receive(), OL_OK);
    EXPECT_EQ(sent(1), 8);
    ASSERT_TRUE(reg.Send(255, 5, {}));
    ASSERT_EQ(Receive(), OL_OK);
    EXPECT_EQ(sent(1), 0);
    // A refusal counts the same.
    ASSERT_TRUE(reg.Refuse(40));
    ASSERT_EQ(Receive(), OL_NET_REFUSED);
    EXPECT_EQ(sent(1), 41);
}

TEST_F(NetLink, SendDrainsOneUnaskedByte) {
    OpenToRegister();
    const std::uint8_t stray = 0x99;
    ASSERT_TRUE(reg.SendRaw(&stray, 1));
    usleep(20000);
    ASSERT_EQ(SendData(0, 3, {1, 2}), OL_OK);
    TcpBlock block;
    ASSERT_EQ(reg.Receive(&block, kWait), TcpStatus::Ok);
    EXPECT_EQ(block.data, (Bytes{1, 2}));
    // The stray byte is gone: the next block arrives whole.
    ASSERT_TRUE(reg.Send(1, 0x43, {9, 8, 7}));
    ASSERT_EQ(Receive(), OL_OK);
    EXPECT_EQ(ReceivedData(), (Bytes{9, 8, 7}));
}

TEST_F(NetLink, SilenceTimesOutOnTheScaledClock) {
    OpenToRegister();
    orv::platform::SetTimeScale(1000);
    auto start = std::chrono::steady_clock::now();
    std::uint32_t t0 = orv::platform::NowMs();
    EXPECT_EQ(Receive(), OL_NO_ANSWER);
    std::uint32_t waited = orv::platform::NowMs() - t0;
    EXPECT_GE(waited, 79000u);
    EXPECT_LT(waited, 120000u);
    EXPECT_LT(RealSecondsSince(start), 2.0);
    EXPECT_EQ(length, 0u);

    // Half a frame, then silence: the time limit applies to every piece.
    ASSERT_TRUE(reg.SendRaw("\x00\x08\x01\x02", 4));
    EXPECT_EQ(Receive(), OL_NO_ANSWER);
    EXPECT_EQ(length, 0u);

    // A limit of 0 or below (through the signed view of the cell) times out
    // at once, even with data waiting.
    orv::platform::SetTimeScale(1);
    Reopen();
    ASSERT_TRUE(reg.Send(0, 4, {1}));
    usleep(20000);
    for (std::uint32_t limit : {0u, 0xFFFFFFFFu, 0x80000000u}) {
        Net().receiveTimeout = limit;
        start = std::chrono::steady_clock::now();
        EXPECT_EQ(Receive(), OL_NO_ANSWER) << limit;
        EXPECT_LT(RealSecondsSince(start), 0.5);
    }
    Net().receiveTimeout = 1000;
    EXPECT_EQ(Receive(), OL_OK);
}

TEST_F(NetLink, ClosedConnectionGives82WithoutWaiting) {
    OpenToRegister();
    // Closed with nothing pending.
    reg.CloseConnection();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Receive(), OL_NET_CLOSED);
    EXPECT_EQ(length, 0u);
    // The drain of a send sees the close too; a later receive still ends at
    // once, and sending to the closed peer never kills the process.
    Net().sendRetries = 3;
    Net().sendRetryWait = 10;
    std::uint32_t sendResult = OL_OK;
    for (int i = 0; i < 5 && sendResult == OL_OK; ++i) sendResult = NetSendBlock(1, 4, 0, 0);
    EXPECT_EQ(sendResult, OL_SEND_FAILED);
    EXPECT_EQ(Receive(), OL_NET_CLOSED);
    EXPECT_LT(RealSecondsSince(start), 2.0);

    // Closed in the middle of a frame's content, and of its length field.
    for (std::size_t cut : {1u, 5u}) {
        Reopen();
        TcpBlock block;
        block.data = {1, 2, 3, 4, 5, 6};
        Bytes frame = orv::reg::TcpRegister::Frame(block);
        ASSERT_TRUE(reg.SendRaw(frame.data(), cut));
        reg.CloseConnection();
        EXPECT_EQ(Receive(), OL_NET_CLOSED) << cut;
    }

    // A whole block and then the close: the block, then 82.
    Reopen();
    ASSERT_TRUE(reg.Send(0, 0x44, {7}));
    reg.CloseConnection();
    EXPECT_EQ(Receive(), OL_OK);
    EXPECT_EQ(Receive(), OL_NET_CLOSED);
}

TEST_F(NetLink, HostileLengthFieldsFailAtOnce) {
    OpenToRegister();
    for (unsigned field : {0u, 3u, 1458u, 0xFFFFu}) {
        SCOPED_TRACE(field);
        const std::uint8_t head[2] = {static_cast<std::uint8_t>(field >> 8),
                                      static_cast<std::uint8_t>(field & 0xFF)};
        ASSERT_TRUE(reg.SendRaw(head, 2));
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Receive(), OL_NET_CLOSED);
        EXPECT_EQ(length, 0u);
        EXPECT_LT(RealSecondsSince(start), 1.0);
        Reopen();
    }
}

TEST_F(NetLink, CancelFromAnotherThreadStopsEveryWait) {
    OpenToRegister();
    Background([] {
        usleep(300000);
        Ol_Cancel(1);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Receive(), OL_CANCELLED);
    EXPECT_LT(RealSecondsSince(start), 1.6);
    JoinBackground();

    // The request stays until withdrawn: sends and receives stop at once.
    EXPECT_EQ(NetSendBlock(0, 0, 0, 0), OL_CANCELLED);
    ASSERT_TRUE(reg.Send(0, 4, {}));
    EXPECT_EQ(Receive(), OL_CANCELLED);
    EXPECT_TRUE(reg.Silent(50));
    EXPECT_EQ(Ol_Cancel(0), OL_OK);
    EXPECT_EQ(Receive(), OL_OK);
    EXPECT_EQ(NetSendBlock(0, 0, 0, 0), OL_OK);
    TcpBlock block;
    EXPECT_EQ(reg.Receive(&block, kWait), TcpStatus::Ok);
}

// A register that stops reading: the host's sends fill the connection, each
// attempt then waits for room up to NetSendRetryWait and, after
// NetSendRetries waits in vain, the block fails with 38.
TEST_F(NetLink, FullConnectionUsesUpTheAttempts) {
    ASSERT_TRUE(reg.Listen(0, 4096));
    OpenToRegister();
    orv::platform::SetTimeScale(20);
    Net().sendRetries = 4;
    Net().sendRetryWait = 1000;
    Bytes data(1453, 0x5A);
    std::uint32_t rc = OL_OK;
    int blocks = 0;
    auto start = std::chrono::steady_clock::now();
    while (rc == OL_OK && blocks < 20000) {
        rc = SendData(blocks == 0 ? 0 : 1, 4, data);
        ++blocks;
    }
    EXPECT_EQ(rc, OL_SEND_FAILED) << blocks;
    EXPECT_LT(RealSecondsSince(start), 30.0);

    // A cancel ends the waits for room.
    Net().sendRetries = 160;
    orv::platform::SetTimeScale(1);
    Background([] {
        usleep(300000);
        Ol_Cancel(1);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendData(1, 4, data), OL_CANCELLED);
    EXPECT_LT(RealSecondsSince(start), 2.0);
    JoinBackground();
    Ol_Cancel(0);

    // No attempts at all: nothing is sent, and that is success.
    Reopen();
    Net().sendRetries = 0;
    EXPECT_EQ(SendData(0, 4, {1, 2, 3}), OL_OK);
    EXPECT_TRUE(reg.Silent(100));
}

TEST_F(NetLink, TraceShowsEveryBlockBothWays) {
    const std::string path = TempPath("trace.txt");
    setenv("ORV_LIB_TRACE", path.c_str(), 1);
    OpenToRegister("10.0.0.10");
    unsetenv("ORV_LIB_TRACE");
    ASSERT_EQ(NetSendBlock(0, 0, 0, 0), OL_OK);
    ASSERT_TRUE(reg.Send(1, 0x44, {0xAB}));
    ASSERT_EQ(Receive(), OL_OK);
    ASSERT_TRUE(reg.SendWithChecksum(TcpBlock{}, 0));
    ASSERT_EQ(Receive(), OL_NET_CLOSED);
    Ol_End();
    std::ifstream in(path);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(all.find("net send 7 bytes: 00 04 0A 00 00 00 0E"), std::string::npos) << all;
    EXPECT_NE(all.find("net recv 8 bytes: 00 05 52 01 44 00 AB"), std::string::npos) << all;
    EXPECT_NE(all.find("net recv bad checksum 7 bytes: 00 04 00 00 00 00 00"), std::string::npos)
        << all;
}

}  // namespace
