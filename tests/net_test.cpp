// The network link: Ol_Open_MWS and the close, the block exchange against the
// register side on the loopback address, and the transfers through the exports.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "api/library.h"
#include "net/net_block.h"
#include "net/net_cells.h"
#include "platform/clock.h"
#include "register/tcp_register.h"
#include "support/library_test.h"

namespace {

using orv::net::Net;
using orv::reg::TcpBlock;
using orv::reg::TcpStatus;
using namespace orv::test;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr int kNetWait = 5000;  // how long the register waits for the host, ms

// A register side listening on the loopback address, and the library opened
// to it through Ol_Open_MWS.
class NetTest : public LibraryTest {
  protected:
    void SetUp() override {
        LibraryTest::SetUp();
        ASSERT_TRUE(reg.Listen());
    }
    // Ol_Open_MWS with the given texts (which it only reads) and port.
    static std::uint32_t OpenMws(const char* registerText, const char* terminalText,
                                 std::uint32_t port) {
        NetworkOpenRecord record{const_cast<char*>(registerText), const_cast<char*>(terminalText),
                                 port};
        return Ol_Open_MWS(&record);
    }
    void OpenToRegister() {
        Ol_Initialize();
        ASSERT_EQ(OpenMws("127.0.0.1", "192.168.1.10", reg.Port()), OL_OK);
        ASSERT_TRUE(reg.Accept(kNetWait));
    }
    void Reopen() {  // on a fresh connection
        Ol_Close();
        reg.CloseConnection();
        OpenToRegister();
    }

    orv::reg::TcpRegister reg;
};

class NetLink : public NetTest {
  protected:
    // Receives one block into the block record.
    std::uint32_t Receive() {
        std::uint32_t refused = 0;
        return orv::net::NetReceiveBlock(&refused, &length);
    }
    Bytes ReceivedData() const { return Bytes(Net().block + 4, Net().block + length); }
    std::uint32_t Send(std::uint8_t continued, const Bytes& data = {}, std::uint8_t type = 4) {
        std::copy(data.begin(), data.end(), orv::net::BlockData());
        return orv::net::NetSendBlock(continued, type, 0, static_cast<std::uint32_t>(data.size()));
    }
    // The next block the register receives.
    TcpBlock Next() {
        TcpBlock block;
        EXPECT_EQ(reg.Receive(&block, kNetWait), TcpStatus::Ok);
        return block;
    }

    std::uint32_t length = 0;
};

// Both addresses are read as "%d.%d.%d.%d" reads them; the register's must
// then be an IPv4 address, and only the terminal's fourth number counts.
TEST_F(NetLink, OpenReadsAddressesAsScanfDoes) {
    // Register text, terminal text, the terminal byte (-1: the open fails with 35).
    const std::tuple<const char*, const char*, int> cases[] = {
        {"127.0.0.1\n", "10.0.0.300", 0x2C},  // a line read from a file; 300 & 0xFF
        {" 127.0.0.1", "1.2.3.-1", 0xFF},
        {"127.0.0.1 ", "\t+1. 2.3.7 rest", 7},
        {"127.0.0.1x", "-5.0.0.2147483647", 0xFF},
        {"127.0.0.256", "10.0.0.1", -1},
        {"1.2.3.-1", "10.0.0.1", -1},
        {"127.0.0.4294967297", "10.0.0.1", -1},  // no wrap-around into 1
        {"127 .0.0.1", "10.0.0.1", -1},
        {"127.0.0.1", "10.0.0.2147483648", -1},
    };
    const char* neither[] = {"127.0.0", "localhost", "", "10..0.1", "1.2.3.+", nullptr};
    auto open = [&](const char* registerText, const char* terminal, std::uint32_t port,
                    int terminalByte) {
        SCOPED_TRACE(std::string(registerText ? registerText : "(null)") + " / " +
                     (terminal ? terminal : "(null)") + " / " + std::to_string(port));
        Ol_Initialize();
        if (terminalByte < 0) {
            EXPECT_EQ(OpenMws(registerText, terminal, port), OL_NO_LINK);
            EXPECT_EQ(orv::Core().state.load(), orv::StateInitialised | orv::StateNetworkStarted);
            EXPECT_FALSE(reg.Accept(0));
            return;
        }
        ASSERT_EQ(OpenMws(registerText, terminal, port), OL_OK);
        ASSERT_TRUE(reg.Accept(kNetWait));
        EXPECT_STREQ(Net().registerAddress, "127.0.0.1");
        ASSERT_EQ(Send(0), OL_OK);
        EXPECT_EQ(Next().terminal, terminalByte);
        EXPECT_EQ(Ol_Close(), OL_OK);
        reg.CloseConnection();
    };
    for (const auto& [registerText, terminal, terminalByte] : cases)
        open(registerText, terminal, reg.Port(), terminalByte);
    for (const char* bad : neither) {
        open(bad, "10.0.0.1", reg.Port(), -1);
        open("127.0.0.1", bad, reg.Port(), -1);
    }
    orv::reg::TcpRegister gone;
    ASSERT_TRUE(gone.Listen());
    gone.StopListening();  // its port now refuses
    open("127.0.0.1", "10.0.0.1", 0, -1);
    open("127.0.0.1", "10.0.0.1", gone.Port(), -1);

    // The same library then opens; only the low 16 bits of the port count.
    ASSERT_EQ(OpenMws("127.000.000.001", "010.000.000.005", 0x10000u + reg.Port()), OL_OK);
    ASSERT_TRUE(reg.Accept(kNetWait));
    EXPECT_STREQ(Net().registerAddress, "127.0.0.1");  // "010" is ten, never octal
    EXPECT_STREQ(Net().terminalAddress, "10.0.0.5");
    ASSERT_EQ(Send(0), OL_OK);
    EXPECT_EQ(Next().terminal, 5);  // the terminal's fourth number leads every block
    EXPECT_EQ(Ol_Close(), OL_OK);
    EXPECT_EQ(orv::Core().state.load(), orv::StateInitialised);
    TcpBlock block;
    EXPECT_EQ(reg.Receive(&block, kNetWait), TcpStatus::Closed);
}

// A register whose backlog is full leaves a further connect unanswered.
TEST_F(NetLink, ConnectGivesUpAfterItsTimeLimitOrOnCancel) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(reg.Port());
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fillers[8];
    for (int& f : fillers) {
        f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(f, reinterpret_cast<sockaddr*>(&at), sizeof at);
    }
    usleep(100000);
    Ol_Initialize();
    orv::platform::SetTimeScale(100);  // 21 s of connect time in about 0.2 s
    const auto start = Clock::now();
    EXPECT_EQ(OpenMws("127.0.0.1", "10.0.0.1", reg.Port()), OL_NO_LINK);
    const double took = SecondsSince(start);
    EXPECT_TRUE(took > 0.15 && took < 3.0 * kSlowdown) << took;
    orv::platform::SetTimeScale(1);
    EXPECT_EQ(Cancelled([&] { return OpenMws("127.0.0.1", "10.0.0.1", reg.Port()); }), OL_NO_LINK);
    for (int f : fillers) close(f);
}

// Frames both ways, and each in the trace. Sequence numbers live in the one
// block record that sends and receives share. A send first drains a byte that
// the register sent unasked.
TEST_F(NetLink, FramesSequenceNumbersAndTheDrain) {
    const std::string trace = TempPath("trace.txt");
    setenv("ORV_LIB_TRACE", trace.c_str(), 1);
    OpenToRegister();
    unsetenv("ORV_LIB_TRACE");
    ASSERT_EQ(Send(0, {}, 0), OL_OK);  // in the trace: L, terminal 10, sequence, type, code, sum
    EXPECT_TRUE(Next().data.empty());
    Bytes data(1453);  // the most a block holds
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    ASSERT_EQ(Send(1, data), OL_OK);
    EXPECT_EQ(Next().data, data);

    // Received: the content goes to the block record, L is returned.
    ASSERT_TRUE(reg.Send(3, 0x04, {'A', 'B', 'C'}, 0x21));
    ASSERT_EQ(Receive(), OL_OK);
    EXPECT_EQ(Bytes(Net().block, Net().block + 7), (Bytes{0x52, 3, 4, 0x21, 'A', 'B', 'C'}));
    // The longest block a register may send.
    ASSERT_TRUE(reg.Send(0, 0x09, Bytes(1453, 0xFF)));
    ASSERT_EQ(Receive(), OL_OK);
    EXPECT_EQ(ReceivedData(), Bytes(1453, 0xFF));

    auto sent = [&](std::uint8_t continued) {
        EXPECT_EQ(Send(continued), OL_OK);
        return Next().sequence;
    };
    auto received = [&](std::uint8_t sequence, std::uint8_t type) {
        ASSERT_TRUE(reg.Send(sequence, type, {9, 8, 7}));
        Receive();
    };
    for (int expected : {0, 1, 2, 0}) EXPECT_EQ(sent(expected != 0), expected);
    received(7, 5);
    EXPECT_EQ(sent(1), 8);
    received(40, 0x82);  // a refusal too
    EXPECT_EQ(sent(1), 41);

    ASSERT_TRUE(reg.SendRaw("\x99", 1));
    usleep(20000);
    EXPECT_EQ(sent(1), 42);
    received(1, 0x43);  // whole: the stray byte is gone
    EXPECT_EQ(ReceivedData(), (Bytes{9, 8, 7}));
    Ol_End();
    const std::string all = Slurp(trace);
    EXPECT_NE(all.find("net send 7 bytes: 00 04 0A 00 00 00 0E\n"), std::string::npos) << all;
    EXPECT_NE(all.find("net recv 10 bytes: 00 07 52 03 04 21 41 42 43 47\n"), std::string::npos);
}

// A register that closes, cuts a frame short or sends a hostile length: 82 at
// once, without sitting out the 80 s limit.
TEST_F(NetLink, BrokenConnectionsAndLengthsGive82AtOnce) {
    OpenToRegister();
    auto gives82 = [&](const Bytes& sent, bool close) {
        SCOPED_TRACE(::testing::PrintToString(sent));
        Reopen();
        ASSERT_TRUE(sent.empty() || reg.SendRaw(sent.data(), sent.size()));
        if (close) reg.CloseConnection();
        const auto start = Clock::now();
        EXPECT_EQ(Receive(), OL_NET_CLOSED);
        EXPECT_LT(SecondsSince(start), 1.0 * kSlowdown);
    };
    const Bytes frame = orv::reg::TcpRegister::Frame(TcpBlock{0, 0, 0, 0, {1, 2, 3, 4, 5, 6}});
    for (int cut : {1, 5}) gives82(Bytes(frame.begin(), frame.begin() + cut), true);
    for (unsigned field : {0u, 3u, 1458u}) {
        gives82({static_cast<std::uint8_t>(field >> 8), static_cast<std::uint8_t>(field)}, false);
    }
    // Sends to the closed peer fail with 38 after their attempts, and never
    // kill the process.
    Reopen();
    reg.CloseConnection();
    Net().sendRetries = 3;
    Net().sendRetryWait = 10;
    std::uint32_t rc = OL_OK;
    for (int i = 0; i < 5 && rc == OL_OK; ++i) rc = Send(1);
    EXPECT_EQ(rc, OL_SEND_FAILED);
}

// A file of size bytes that no shift of a frame leaves unchanged.
std::string BigFile(const std::string& path, std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 31 + (i >> 11));
    std::ofstream(path, std::ios::binary) << bytes;
    return bytes;
}

// A register that sent 16 KB and then stops reading: Ol_Write fills the
// connection, each attempt then waits for room up to the retry wait (the
// unread bytes do not end that wait), and after the last one the block fails
// with 38, using little CPU on the way. A cancel ends such a wait.
TEST_F(NetLink, FullConnectionUsesUpTheAttemptsWithoutSpinning) {
    ASSERT_TRUE(reg.Listen(0, 4096));
    OpenToRegister();
    std::string path = TempPath("big.bin");
    BigFile(path, 8 << 20);  // more than the connection holds
    const Bytes unread(16384, 0x11);
    ASSERT_TRUE(reg.SendRaw(unread.data(), unread.size()));
    Net().sendRetries = 3;
    Net().sendRetryWait = 100;
    std::atomic<bool> done{false};
    Background([&] {  // a send that spins would never end by itself
        for (int i = 0; i < 200 && !done; ++i) usleep(100000);
        if (!done) Ol_Cancel(1);
    });
    const std::clock_t cpu = std::clock();
    const auto start = Clock::now();
    SendFileDesc file{path.data(), 0};
    EXPECT_EQ(Ol_Write(&file), OL_SEND_FAILED);
    done = true;
    EXPECT_LT(SecondsSince(start), 10.0);
    EXPECT_LT(static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC, 1.0);
    JoinBackground();

    // Waits of several slices end with the cancel. The connection may have
    // found room again meanwhile: fill it until a send has to wait.
    Net().sendRetryWait = 5000;
    EXPECT_EQ(Cancelled([&] {
                  std::uint32_t rc = OL_OK;
                  while (rc == OL_OK) rc = Send(1, Bytes(1453, 0x5A));
                  return rc;
              }),
              OL_CANCELLED);
}

// A register that pauses reading long enough for the host's send buffer to
// fill, twice: a frame that went out in part is finished from its first
// unsent byte, so the register gets whole frames in sequence and the file.
TEST_F(NetLink, FrameCutByAFullBufferIsResumed) {
    ASSERT_TRUE(reg.Listen(0, 4096));
    OpenToRegister();
    std::string path = TempPath("big.bin");
    const std::string bytes = BigFile(path, 6000000);
    const Bytes unread(16384, 0x11);  // so that the drain never waits
    ASSERT_TRUE(reg.SendRaw(unread.data(), unread.size()));
    std::string got;
    std::size_t frames = 0;
    Background([&] {
        for (TcpBlock block; block.type != 0x44; ++frames) {
            if (frames % 2000 == 0) usleep(300000);
            const TcpStatus s = reg.Receive(&block, kNetWait);
            if (s != TcpStatus::Ok || block.sequence != frames % 256) {
                ADD_FAILURE() << "frame " << frames << ": " << orv::reg::TcpStatusName(s);
                Ol_Cancel(1);  // the host would wait for room for ever
                return;
            }
            got.append(block.data.begin(), block.data.end());
        }
    });
    SendFileDesc file{path.data(), 0};
    EXPECT_EQ(Ol_Write(&file), OL_OK);
    JoinBackground();
    EXPECT_EQ(frames, (bytes.size() + 1452) / 1453);
    EXPECT_TRUE(got == bytes);
}

// --- transfers, the register checking and answering every block ---

// "/HDR1/" and a table header with widths 2 and 3 for file k of last.
Bytes HeaderBlock(std::uint8_t k, std::uint8_t last = 2) {
    Bytes h = Text("/HDR1/");
    const Bytes fields = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, k, last, 0x02, 0x03};
    h.insert(h.end(), fields.begin(), fields.end());
    return h;
}

// A block as the register sends or receives it.
struct Block {
    std::uint8_t sequence;
    std::uint8_t type;
    Bytes data;
    bool operator==(const Block&) const = default;
};
using Blocks = std::vector<Block>;

void PrintTo(const Block& b, std::ostream* os) {
    *os << int{b.sequence} << '/' << orv::reg::HexOf(&b.type, 1) << ':'
        << orv::reg::HexOf(b.data.data(), b.data.size());
}

// A series of two files as it travels either way (each data block: counter 0,
// row count, rows of W = 5), and the csv files it makes.
const Blocks kSeries = {{0, 0x03, HeaderBlock(1)},
                        {1, 0x44, {0, 0, 0, 2, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 1, 2, 3, 4, 5}},
                        {0, 0x43, HeaderBlock(2)},
                        {1, 0x44, {0, 0, 0, 1, 0xFF, 0xEE, 0xDD, 0xCC, 0xBB}}};
const std::string kCsv1 = "AABB,CCDDEE\r\n0102,030405\r\n";
const std::string kCsv2 = "FFEE,DDCCBB\r\n";
const Block kEnd = {0, 0x81, {}};

class NetTransfer : public NetTest {
  protected:
    void SetUp() override {
        NetTest::SetUp();
        OpenToRegister();
        header = {0, headerPath.assign(TempPath("hdr.txt")).data(), 0};
        data = {1, 0, dataPath.assign(TempPath("DATA.CSV")).data(), 0};
        request.receiveWait = 5000;
        request.retries = 5;
        request.timeout = 50;
    }
    // Plays the register's part step by step: 'r' receives a block into
    // seen (and stops the play when none comes), 's' sends the next of
    // blocks, 'w' checks that the host waits, 'a' answers, 'x' refuses.
    void Play(const std::string& script, const Blocks& blocks = {}) {
        std::size_t n = 0;
        for (char step : script) {
            orv::reg::TcpBlock b;
            if (step == 's') reg.Send(blocks[n].sequence, blocks[n].type, blocks[n].data);
            if (step == 's') ++n;
            if (step == 'a') reg.Send(0, 0x01, {});
            if (step == 'x') reg.Refuse(0);
            EXPECT_TRUE(step != 'w' || reg.Silent(30)) << "the host went on without an answer";
            if (step == 'r' && reg.Receive(&b, kNetWait) != orv::reg::TcpStatus::Ok) return;
            if (step == 'r') seen.push_back({b.sequence, b.type, b.data});
        }
    }
    // Ol_WriteRead while the register plays its part on another thread.
    std::uint32_t Exchange(HeaderFileDesc* h, DataFileDesc* d, const std::string& script,
                           const Blocks& blocks = {}) {
        seen.clear();
        Background([&] { Play(script, blocks); });
        const std::uint32_t rc = Ol_WriteRead(&request, h, d);
        JoinBackground();
        return rc;
    }

    std::string headerPath, dataPath;
    HeaderFileDesc header{};
    DataFileDesc data{};
    ExchangeRequest request{};
    Blocks seen;
};

TEST_F(NetTransfer, WriteSendsRawChunksAndReadWritesLines) {
    SendFileDesc file{data.path, 0};
    std::string bytes(2 * 1453 + 1, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31);
    for (std::size_t size : {std::size_t{0}, std::size_t{1453}, bytes.size()}) {
        SCOPED_TRACE(size);
        Put(file.path, bytes.substr(0, size));
        seen.clear();
        ASSERT_EQ(Ol_Write(&file), OL_OK);
        Play(std::string(size == 0 ? 1 : (size + 1452) / 1453, 'r'));
        std::string got;
        for (std::size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].sequence, i);
            EXPECT_EQ(seen[i].type, i + 1 == seen.size() ? 0x44 : 0x04);
            got.append(seen[i].data.begin(), seen[i].data.end());
        }
        EXPECT_EQ(got, bytes.substr(0, size));
        EXPECT_TRUE(reg.Silent(50));  // no end block, no waiting for an answer
    }

    data.byteCount = 99;
    Play("sss", {{0, 0x04, Text("first")}, {1, 0x05, {}}, {2, 0x84, Text("last")}});
    ASSERT_EQ(Ol_Read(&data), OL_OK);  // bit 7 of the type marks the last block
    EXPECT_EQ(Slurp(data.path), "first\r\n\r\nlast\r\n");
    EXPECT_EQ(data.byteCount, 9u);
    Play("sx", {{0, 0x04, Text("kept")}});  // a refusal keeps what came before it
    EXPECT_EQ(Ol_Read(&data), OL_NET_REFUSED);
    EXPECT_EQ(Slurp(data.path), "kept\r\n");
}

// The host sends: a series with an answer per file, or a line file.
TEST_F(NetTransfer, SendingSeriesAndLineFiles) {
    Put(header.path, "0100000000000001020203");
    Put(data.path, kCsv1);
    Put(TempPath("DATA.002"), kCsv2);
    char command[] = "CMD1\rrest";
    request.direction = 1;
    request.command = command;
    ASSERT_EQ(Exchange(&header, &data, "rwarrwarrwar"), OL_OK);
    EXPECT_EQ(seen,
              (Blocks{{0, 0, Text("CMD1")}, kSeries[0], kSeries[1], kSeries[2], kSeries[3], kEnd}));
    // A file of the series that is missing is skipped; a pause instead of
    // the end block.
    std::filesystem::remove(TempPath("DATA.002"));
    request.command = nullptr;
    request.endPause = 1;
    const auto start = Clock::now();
    ASSERT_EQ(Exchange(&header, &data, "rrwa"), OL_OK);
    EXPECT_GE(SecondsSince(start), 0.2);
    EXPECT_EQ(seen, (Blocks{kSeries[0], kSeries[1]}));
    EXPECT_TRUE(reg.Silent(50));

    // The header is built in the block buffer: the byte that a header file's
    // line end stands for is not converted and keeps what the buffer held,
    // here the command's 'G', which then counts as a width of 0x47.
    Put(header.path, "01000000000000000002\r\n");
    Put(data.path, std::string(2 * 0x49, 'A'));
    char longCommand[] = "0123456789ABCDEFGH";
    request.command = longCommand;
    request.endPause = 0;
    ASSERT_EQ(Exchange(&header, &data, "rwarrwar"), OL_OK);
    Bytes row(0x49, 0xAA);
    row.insert(row.begin(), {0, 0, 0, 1});
    EXPECT_EQ(seen, (Blocks{{0, 0, Text(longCommand)},
                            {0, 0x43, Text({"/HDR1/\x01\0\0\0\0\0\0\0\0\x02G", 17})},
                            {1, 0x44, row},
                            kEnd}));
    // Each file of a series starts from the whole saved block, the buffer's
    // bytes behind the header included ("HI" of this command), not from
    // what the file before left there.
    char command20[] = "0123456789ABCDEFGHIJ";
    request.command = command20;
    Put(header.path, "0100000000000001020203");
    Put(data.path, "111111111122222222223333333333");
    Put(TempPath("DATA.002"), "44444444445555555555666666ZZZZ");
    ASSERT_EQ(Exchange(&header, &data, "rwarrwarrwar"), OL_OK);
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[4].data, (Bytes{0, 0, 0, 3, 0x44, 0x44, 0x44, 0x44, 0x44, 0x55, 0x55, 0x55, 0x55,
                                   0x55, 0x66, 0x66, 0x66, 'H', 'I'}));
    request.command = nullptr;

    // A line file: a block per line, 'E' on the line that the end of the
    // file follows at once; an empty line ends the file.
    request.endPause = 0;
    Put(data.path, "0102\r\nA0B0C0\nFF");
    ASSERT_EQ(Exchange(nullptr, &data, "rrrwar"), OL_OK);
    EXPECT_EQ(seen, (Blocks{{0, 5, {1, 2}}, {1, 5, {0xA0, 0xB0, 0xC0}}, {2, 0x45, {0xFF}}, kEnd}));
    Put(data.path, "0102\r\n\r\n0304\r\n");
    ASSERT_EQ(Exchange(nullptr, &data, "rwar"), OL_OK);
    EXPECT_EQ(seen, (Blocks{{0, 0x05, {1, 2}}, kEnd}));
}

// The host receives: a series into csv or hex files, or a reply file.
TEST_F(NetTransfer, ReceivingSeriesAndReplyFiles) {
    char command[] = "GET";
    request.command = command;
    header.format = 1;
    data.byteCount = 1234;
    // The series follows the command with no answer between; a 'C' header
    // ends it even before its last number (3).
    Blocks series = kSeries;
    series[2].data = HeaderBlock(2, 3);
    ASSERT_EQ(Exchange(&header, &data, "rssssr", series), OL_OK);
    EXPECT_EQ(seen, (Blocks{{0, 0x00, Text("GET")}, kEnd}));
    EXPECT_EQ(Slurp(header.path), "01,00,0000,00,0000,01,02,02,03");
    EXPECT_EQ(Slurp(data.path), kCsv1);
    EXPECT_EQ(Slurp(TempPath("DATA.002")), kCsv2);
    EXPECT_EQ(data.byteCount, 33u);
    // One file (last number 1) ends after its file; here in hex, two blocks.
    data.csv = 0;
    request.command = nullptr;
    series = {{0, 0x03, HeaderBlock(1, 1)}, {1, 0x04, kSeries[1].data}, {2, 0x44, {0, 0, 0, 0}}};
    ASSERT_EQ(Exchange(&header, &data, "sssr", series), OL_OK);
    EXPECT_EQ(seen, Blocks{kEnd});
    EXPECT_EQ(Slurp(data.path), "AABBCCDDEE0102030405");
    EXPECT_EQ(data.byteCount, 20u);
    // Without a data file the exchange ends after the header file, unclosed.
    ASSERT_EQ(Exchange(&header, nullptr, "s", {kSeries[0]}), OL_OK);
    EXPECT_TRUE(reg.Silent(50));

    // Without a header file, a line per block by its kind.
    data.byteCount = 5;
    const Blocks reply = {
        {0, 0x03, Text("/HDR1/\x01\xFE")}, {1, 0x07, Text("raw,text")}, {2, 0x41, {0xAB, 0xCD}}};
    ASSERT_EQ(Exchange(nullptr, &data, "sssr", reply), OL_OK);
    EXPECT_EQ(Slurp(data.path), "/HDR1/01FE\r\nraw,text\r\nABCD\r\n");
    EXPECT_EQ(data.byteCount, 5u + 10u + 8u + 4u);  // added to the host's value
}

// A written file whose close fails (a delayed write error) holds less than
// was written: 4, as for a short write, and no end block.
TEST_F(NetTransfer, FailedCloseOfAWrittenFileGives4) {
    const Block last = {0, 0x44, Text("x")};
    {
        CloseFails fails(data.path);
        Play("s", {last});
        EXPECT_EQ(Ol_Read(&data), OL_DATA_FILE);
        EXPECT_EQ(Exchange(nullptr, &data, "s", {last}), OL_DATA_FILE);
    }
    CloseFails fails(TempPath("DATA.002"));
    header.format = 1;
    EXPECT_EQ(Exchange(&header, &data, "ssss", kSeries), OL_DATA_FILE);
    EXPECT_EQ(Slurp(TempPath("DATA.002")), kCsv2);
    EXPECT_TRUE(reg.Silent(50));
}

// The open sets a receive limit of 80 s; a request's limit stays for later
// transfers, and one of 0 or less (read as signed) times out at once.
TEST_F(NetTransfer, TimeLimitsOnTheScaledClock) {
    // Slower under the emulator, so that a late wake-up stays inside the bound.
    orv::platform::SetTimeScale(1000 / kSlowdown);
    const std::uint32_t t0 = orv::platform::NowMs();
    EXPECT_EQ(Ol_Read(&data), OL_NO_ANSWER);
    const std::uint32_t waited = orv::platform::NowMs() - t0;
    EXPECT_TRUE(waited >= 79000 && waited < 120000) << waited;
    orv::platform::SetTimeScale(1);

    // Retries 0: the command is not sent; the reply waits the request's
    // 300 ms, and so does a later Ol_Read.
    char command[] = "X";
    request.command = command;
    request.receiveWait = 300;
    request.retries = 0;
    auto start = Clock::now();
    EXPECT_EQ(Ol_WriteRead(&request, nullptr, &data), OL_NO_ANSWER);
    EXPECT_GE(SecondsSince(start), 0.25);
    EXPECT_EQ(Ol_Read(&data), OL_NO_ANSWER);
    EXPECT_LT(SecondsSince(start), 1.0 * kSlowdown);
    EXPECT_TRUE(reg.Silent(50));

    // 0 or less times out at once, even with a block waiting.
    request.command = nullptr;
    Play("s", {{0, 0x44, {1}}});
    for (std::uint32_t limit : {0u, 0xFFFFFFFFu, 0x80000000u, 1000u}) {
        request.receiveWait = limit;
        start = Clock::now();
        EXPECT_EQ(Ol_WriteRead(&request, nullptr, &data), limit == 1000 ? OL_OK : OL_NO_ANSWER);
        EXPECT_LT(SecondsSince(start), 0.5 * kSlowdown);
    }
}

TEST_F(NetTransfer, CancelFromAnotherThreadEndsAnExchange) {
    Play("s", {kSeries[0]});
    const long files = OpenDescriptors();
    EXPECT_EQ(Cancelled([&] { return Ol_WriteRead(&request, &header, &data); }), OL_CANCELLED);
    EXPECT_EQ(OpenDescriptors(), files);
    EXPECT_EQ(Slurp(data.path), "");  // created, nothing received into it
    // The request stays until withdrawn: every transfer stops at once and
    // sends nothing, even with a block waiting.
    SendFileDesc out{data.path, 0};
    EXPECT_EQ(Ol_Write(&out), OL_CANCELLED);
    Play("s", {{0, 0x44, Text("ok")}});
    EXPECT_EQ(Ol_Read(&data), OL_CANCELLED);
    EXPECT_TRUE(reg.Silent(50));
    Ol_Cancel(0);
    EXPECT_EQ(Ol_Read(&data), OL_OK);
}

}  // namespace
