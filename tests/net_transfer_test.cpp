// The network transfers end to end: the host side through the exports, the
// register side on loopback checking and answering every block.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/net_peer.h"

namespace {

using orv::reg::TcpBlock;
using orv::reg::TcpStatus;
using Bytes = std::vector<std::uint8_t>;

constexpr int kWait = 5000;

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// "/HDR1/" and a table header with widths 2 and 3 for file k of 2.
Bytes HeaderBlock(std::uint8_t k, std::uint8_t last = 2) {
    Bytes h = Text("/HDR1/");
    const Bytes fields = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, k, last, 0x02, 0x03};
    h.insert(h.end(), fields.begin(), fields.end());
    return h;
}

// The data blocks of the two files: counter 0, row count, rows of W = 5.
const Bytes kFile1 = {0, 0, 0, 2, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x01, 0x02, 0x03, 0x04, 0x05};
const Bytes kFile2 = {0, 0, 0, 1, 0xFF, 0xEE, 0xDD, 0xCC, 0xBB};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Put(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

int OpenFileCount() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

double RealSecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class NetTransfer : public orv::test::NetTest {
  protected:
    void SetUp() override {
        NetTest::SetUp();
        OpenToRegister();
        request.receiveWait = 5000;
        request.retries = 5;
        request.timeout = 50;
    }

    // What the register received, in order.
    struct Seen {
        std::uint8_t sequence;
        std::uint8_t type;
        Bytes data;
    };
    // Receives one block on the register's thread and keeps it.
    bool Take() {
        TcpBlock block;
        TcpStatus s = reg.Receive(&block, kWait);
        if (s != TcpStatus::Ok) {
            ADD_FAILURE() << "register: " << orv::reg::TcpStatusName(s);
            return false;
        }
        seen.push_back({block.sequence, block.type, block.data});
        return true;
    }
    void Answer() { reg.Send(0, 0x01, {}); }

    ExchangeRequest request{};
    std::vector<Seen> seen;
    char* Path(std::string& storage, const std::string& name) {
        storage = TempPath(name);
        return storage.data();
    }
};

TEST_F(NetTransfer, WriteSendsRawChunksOf1453Bytes) {
    std::string path;
    SendFileDesc file{Path(path, "out.bin"), 0};
    std::string bytes(2 * 1453 + 1, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31);
    for (std::size_t size : {std::size_t{0}, std::size_t{1453}, bytes.size()}) {
        SCOPED_TRACE(size);
        Put(path, bytes.substr(0, size));
        seen.clear();
        ASSERT_EQ(Ol_Write(&file), OL_OK);
        std::size_t blocks = size == 0 ? 1 : (size + 1452) / 1453;
        for (std::size_t i = 0; i < blocks; ++i) ASSERT_TRUE(Take());
        std::string got;
        for (std::size_t i = 0; i < blocks; ++i) {
            EXPECT_EQ(seen[i].sequence, i);
            EXPECT_EQ(seen[i].type, i + 1 == blocks ? 0x44 : 0x04);
            got.append(seen[i].data.begin(), seen[i].data.end());
        }
        EXPECT_EQ(got, bytes.substr(0, size));
        EXPECT_TRUE(reg.Silent(50));  // no end block, no waiting for an answer
    }
    std::string missing;
    SendFileDesc none{Path(missing, "missing.bin"), 0};
    EXPECT_EQ(Ol_Write(&none), OL_DATA_FILE);
    EXPECT_EQ(Ol_Write(nullptr), OL_OK);
}

TEST_F(NetTransfer, ReadWritesEveryBlockAsALine) {
    std::string path;
    DataFileDesc file{0, 99, Path(path, "in.txt"), 0};
    reg.Send(0, 0x04, Text("first"));
    reg.Send(1, 0x05, {});
    reg.Send(2, 0x84, Text("last"));  // bit 7: the last block
    ASSERT_EQ(Ol_Read(&file), OL_OK);
    EXPECT_EQ(Slurp(path), "first\r\n\r\nlast\r\n");
    EXPECT_EQ(file.byteCount, 9u);

    // A refusal in the middle keeps what came before it.
    reg.Send(0, 0x04, Text("kept"));
    reg.Refuse(1);
    EXPECT_EQ(Ol_Read(&file), OL_NET_REFUSED);
    EXPECT_EQ(Slurp(path), "kept\r\n");
    EXPECT_EQ(Ol_Read(nullptr), OL_OK);
}

TEST_F(NetTransfer, SendingSeriesWithCommandAndAnswers) {
    std::string headerPath, dataPath;
    Put(TempPath("hdr.txt"), "0100000000000001020203");
    Put(TempPath("DATA.CSV"), "AABB,CCDDEE\r\n0102,030405\r\n");
    Put(TempPath("DATA.002"), "FFEE,DDCCBB\r\n");
    char command[] = "CMD1\rrest";
    request.direction = 1;
    request.command = command;
    HeaderFileDesc header{0, Path(headerPath, "hdr.txt"), 0};
    DataFileDesc data{1, 0, Path(dataPath, "DATA.CSV"), 0};
    Background([this] {
        Take() && (Answer(), true) && Take() && Take() && (Answer(), true) && Take() && Take() &&
            (Answer(), true) && Take();
    });
    ASSERT_EQ(Ol_WriteRead(&request, &header, &data), OL_OK);
    JoinBackground();
    EXPECT_STREQ(command, "CMD1");
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0].type, 0x00);
    EXPECT_EQ(seen[0].data, Text("CMD1"));
    EXPECT_EQ(seen[1].type, 0x03);
    EXPECT_EQ(seen[1].data, HeaderBlock(1));
    EXPECT_EQ(seen[2].type, 0x44);
    EXPECT_EQ(seen[2].sequence, 1);
    EXPECT_EQ(seen[2].data, kFile1);
    EXPECT_EQ(seen[3].type, 0x43);
    EXPECT_EQ(seen[3].sequence, 0);
    EXPECT_EQ(seen[3].data, HeaderBlock(2));
    EXPECT_EQ(seen[4].data, kFile2);
    EXPECT_EQ(seen[5].type, 0x81);
    EXPECT_TRUE(seen[5].data.empty());
    EXPECT_EQ(data.byteCount, 0u);  // not touched when the PC sends
}

TEST_F(NetTransfer, SendingSeriesSkipsMissingFilesAndCanEndWithAPause) {
    std::string headerPath, dataPath;
    Put(TempPath("hdr.txt"), "01,00,0000,00,0000,01,03,02,03\r\n");  // comma form, 3 files
    Put(TempPath("D.TXT"), "AABBCCDDEE");
    Put(TempPath("D.003"), "");  // an empty file: one empty last block
    request.direction = 1;
    request.endPause = 1;
    HeaderFileDesc header{1, Path(headerPath, "hdr.txt"), 0};
    DataFileDesc data{0, 0, Path(dataPath, "D.TXT"), 0};
    Background(
        [this] { Take() && Take() && (Answer(), true) && Take() && Take() && (Answer(), true); });
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Ol_WriteRead(&request, &header, &data), OL_OK);
    EXPECT_GE(RealSecondsSince(start), 0.2);
    JoinBackground();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].type, 0x03);
    EXPECT_EQ(seen[0].data, HeaderBlock(1, 3));
    EXPECT_EQ(seen[1].data, (Bytes{0, 0, 0, 1, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE}));
    EXPECT_EQ(seen[2].type, 0x43);
    EXPECT_EQ(seen[2].data, HeaderBlock(3, 3));
    EXPECT_EQ(seen[3].type, 0x44);
    EXPECT_EQ(seen[3].data, (Bytes{0, 0, 0, 0}));
    EXPECT_TRUE(reg.Silent(50));  // a pause, no end block

    // A series whose first number is above its last sends only the end block.
    Put(TempPath("hdr.txt"), "0100000000000002010203");
    request.endPause = 0;
    ASSERT_EQ(Ol_WriteRead(&request, &header, &data), OL_OK);
    seen.clear();
    ASSERT_TRUE(Take());
    EXPECT_EQ(seen[0].type, 0x81);
}

TEST_F(NetTransfer, SendingLineFileStopsAtAnEmptyLine) {
    std::string dataPath;
    request.direction = 1;
    DataFileDesc data{0, 0, Path(dataPath, "lines.txt"), 0};
    Put(dataPath, "0102\r\nA0B0C0\nFF");
    Background([this] { Take() && Take() && Take() && (Answer(), true) && Take(); });
    ASSERT_EQ(Ol_WriteRead(&request, nullptr, &data), OL_OK);
    JoinBackground();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].type, 0x05);
    EXPECT_EQ(seen[0].data, (Bytes{0x01, 0x02}));
    EXPECT_EQ(seen[1].sequence, 1);
    EXPECT_EQ(seen[1].data, (Bytes{0xA0, 0xB0, 0xC0}));
    EXPECT_EQ(seen[2].type, 0x45);  // the end of the file follows this line
    EXPECT_EQ(seen[3].type, 0x81);

    seen.clear();
    Put(dataPath, "0102\r\n\r\n0304\r\n");
    Background([this] { Take() && (Answer(), true) && Take(); });
    ASSERT_EQ(Ol_WriteRead(&request, nullptr, &data), OL_OK);
    JoinBackground();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].type, 0x05);  // never 'E'
    EXPECT_EQ(seen[1].type, 0x81);
}

TEST_F(NetTransfer, ReceivingSeriesIntoCsvFiles) {
    std::string headerPath, dataPath;
    char command[] = "GET";
    request.command = command;
    HeaderFileDesc header{1, Path(headerPath, "hdr.txt"), 0};
    DataFileDesc data{1, 1234, Path(dataPath, "OUT.CSV"), 0};
    // The register's series follows the command, with no answer between.
    Background([this] {
        if (!Take()) return;
        reg.Send(0, 0x03, HeaderBlock(1));
        reg.Send(1, 0x44, kFile1);
        reg.Send(0, 0x43, HeaderBlock(2));
        reg.Send(1, 0x44, kFile2);
    });
    ASSERT_EQ(Ol_WriteRead(&request, &header, &data), OL_OK);
    JoinBackground();
    ASSERT_TRUE(Take());
    EXPECT_EQ(seen[0].data, Text("GET"));
    EXPECT_EQ(seen[1].type, 0x81);
    EXPECT_EQ(Slurp(headerPath), "01,00,0000,00,0000,01,02,02,03");
    EXPECT_EQ(Slurp(dataPath), "AABB,CCDDEE\r\n0102,030405\r\n");
    EXPECT_EQ(Slurp(TempPath("OUT.002")), "FFEE,DDCCBB\r\n");
    EXPECT_EQ(data.byteCount, 33u);

    // A single file (last number 1) ends after its file, in hex, without
    // waiting for anything more from the register.
    header.format = 0;
    data.csv = 0;
    request.command = nullptr;
    reg.Send(0, 0x03, HeaderBlock(1, 1));
    reg.Send(1, 0x04, kFile1);
    reg.Send(2, 0x44, {0, 0, 0, 0});
    ASSERT_EQ(Ol_WriteRead(&request, &header, &data), OL_OK);
    ASSERT_TRUE(Take());
    EXPECT_EQ(seen[2].type, 0x81);
    EXPECT_EQ(Slurp(headerPath), "0100000000000001010203");
    EXPECT_EQ(Slurp(dataPath), "AABBCCDDEE0102030405");
    EXPECT_EQ(data.byteCount, 20u);
}

TEST_F(NetTransfer, ReplyFileLinesByBlockKind) {
    std::string dataPath;
    DataFileDesc data{0, 5, Path(dataPath, "reply.txt"), 0};
    Bytes header = Text("/HDR1/");
    header.push_back(0x01);
    header.push_back(0xFE);
    reg.Send(0, 0x03, header);
    reg.Send(1, 0x07, Text("raw,text"));
    reg.Send(2, 0x41, {0xAB, 0xCD});
    request.endPause = 1;
    ASSERT_EQ(Ol_WriteRead(&request, nullptr, &data), OL_OK);
    EXPECT_EQ(Slurp(dataPath), "/HDR1/01FE\r\nraw,text\r\nABCD\r\n");
    EXPECT_EQ(data.byteCount, 5u + 10u + 8u + 4u);  // added to the host's value
    EXPECT_TRUE(reg.Silent(50));
}

TEST_F(NetTransfer, RegisterAtTheWrongMomentOrMidBlock) {
    std::string headerPath, dataPath;
    HeaderFileDesc header{0, Path(headerPath, "hdr.txt"), 0};
    DataFileDesc data{1, 0, Path(dataPath, "OUT.CSV"), 0};

    // A data block where a header belongs: 23, nothing created.
    reg.Send(0, 0x44, kFile1);
    EXPECT_EQ(Ol_WriteRead(&request, &header, &data), OL_NOT_HEADER);
    EXPECT_FALSE(std::filesystem::exists(headerPath));

    // The first file completes; the second is cut off mid-block by a close.
    reg.Send(0, 0x03, HeaderBlock(1));
    reg.Send(1, 0x44, kFile1);
    reg.Send(0, 0x43, HeaderBlock(2));
    reg.Send(1, 0x04, kFile2);
    TcpBlock partial;
    partial.data = kFile2;
    Bytes frame = orv::reg::TcpRegister::Frame(partial);
    reg.SendRaw(frame.data(), 6);
    reg.CloseConnection();
    int files = OpenFileCount();
    EXPECT_EQ(Ol_WriteRead(&request, &header, &data), OL_NET_CLOSED);
    EXPECT_EQ(Slurp(dataPath), "AABB,CCDDEE\r\n0102,030405\r\n");
    EXPECT_EQ(Slurp(TempPath("OUT.002")), "FFEE,DDCCBB\r\n");
    EXPECT_EQ(OpenFileCount(), files);

    // A refusal instead of the answer to the command: 84, nothing more sent.
    Reopen();
    files = OpenFileCount();
    request.direction = 1;
    char command[] = "C";
    request.command = command;
    Put(headerPath, "0100000000000001020203");
    seen.clear();
    Background([this] { Take() && reg.Refuse(0); });
    EXPECT_EQ(Ol_WriteRead(&request, &header, &data), OL_NET_REFUSED);
    JoinBackground();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].type, 0x00);
    EXPECT_TRUE(reg.Silent(50));
    EXPECT_EQ(OpenFileCount(), files);
}

TEST_F(NetTransfer, RequestTimingGovernsLaterTransfers) {
    std::string dataPath;
    DataFileDesc data{0, 0, Path(dataPath, "reply.txt"), 0};
    request.receiveWait = 300;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Ol_WriteRead(&request, nullptr, &data), OL_NO_ANSWER);
    EXPECT_GE(RealSecondsSince(start), 0.25);
    // Ol_Read waits the request's 300 ms, not the 80 s set at open.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(Ol_Read(&data), OL_NO_ANSWER);
    EXPECT_LT(RealSecondsSince(start), 2.0);

    // Retries 0: sends nothing, and a sending exchange still completes once
    // the register answers.
    request.direction = 1;
    request.retries = 0;
    char command[] = "X";
    request.command = command;
    Background([this] {
        usleep(100000);
        Answer();
    });
    EXPECT_EQ(Ol_WriteRead(&request, nullptr, nullptr), OL_OK);
    JoinBackground();
    EXPECT_TRUE(reg.Silent(50));
}

TEST_F(NetTransfer, CancelFromAnotherThreadEndsAnExchange) {
    std::string headerPath, dataPath;
    HeaderFileDesc header{0, Path(headerPath, "hdr.txt"), 0};
    DataFileDesc data{1, 0, Path(dataPath, "OUT.CSV"), 0};
    reg.Send(0, 0x03, HeaderBlock(1));
    Background([] {
        usleep(200000);
        Ol_Cancel(1);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Ol_WriteRead(&request, &header, &data), OL_CANCELLED);
    EXPECT_LT(RealSecondsSince(start), 1.6);
    JoinBackground();
    EXPECT_EQ(Slurp(dataPath), "");  // created, nothing received into it
    // Every transfer stops at its first wait until the cancel is withdrawn.
    EXPECT_EQ(Ol_Read(&data), OL_CANCELLED);
    Ol_Cancel(0);
    reg.Send(0, 0x44, Text("ok"));
    EXPECT_EQ(Ol_Read(&data), OL_OK);
}

}  // namespace
