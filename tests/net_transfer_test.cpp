// The network transfers end to end: the host side through the exports, the
// register side on loopback checking and answering every block.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "support/close_failure.h"
#include "support/net_peer.h"

namespace {

using orv::test::Bytes;
using orv::test::Cancelled;
using orv::test::OpenDescriptors;
using orv::test::Put;
using orv::test::SecondsSince;
using orv::test::Slurp;
using orv::test::Text;
using Clock = std::chrono::steady_clock;

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

class NetTransfer : public orv::test::NetTest {
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
            if (step == 'r' && reg.Receive(&b, orv::test::kNetWait) != orv::reg::TcpStatus::Ok)
                return;
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
        orv::test::CloseFails fails(data.path);
        Play("s", {last});
        EXPECT_EQ(Ol_Read(&data), OL_DATA_FILE);
        EXPECT_EQ(Exchange(nullptr, &data, "s", {last}), OL_DATA_FILE);
    }
    orv::test::CloseFails fails(TempPath("DATA.002"));
    header.format = 1;
    EXPECT_EQ(Exchange(&header, &data, "ssss", kSeries), OL_DATA_FILE);
    EXPECT_EQ(Slurp(TempPath("DATA.002")), kCsv2);
    EXPECT_TRUE(reg.Silent(50));
}

// The open sets a receive limit of 80 s; a request's limit stays for later
// transfers, and one of 0 or less (read as signed) times out at once.
TEST_F(NetTransfer, TimeLimitsOnTheScaledClock) {
    // Slower under the emulator, so that a late wake-up stays inside the bound.
    orv::platform::SetTimeScale(1000 / orv::test::kSlowdown);
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
    EXPECT_LT(SecondsSince(start), 1.0 * orv::test::kSlowdown);
    EXPECT_TRUE(reg.Silent(50));

    // 0 or less times out at once, even with a block waiting.
    request.command = nullptr;
    Play("s", {{0, 0x44, {1}}});
    for (std::uint32_t limit : {0u, 0xFFFFFFFFu, 0x80000000u, 1000u}) {
        request.receiveWait = limit;
        start = Clock::now();
        EXPECT_EQ(Ol_WriteRead(&request, nullptr, &data), limit == 1000 ? OL_OK : OL_NO_ANSWER);
        EXPECT_LT(SecondsSince(start), 0.5 * orv::test::kSlowdown);
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
