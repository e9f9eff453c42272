// Transfer files: numbered names, data files read into records and blocks with
// their end-of-file rules, received data written as hex or as columns, line
// readers, reply lines and short writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/library_test.h"
#include "transfer/files.h"

namespace {

using namespace orv::transfer;
using orv::LinkKind;
using orv::LinkNetwork;
using orv::LinkSerial;

class TransferFilesTest : public orv::test::LibraryTest {
  protected:
    std::string Put(const std::string& content, const std::string& name = "data.txt") {
        const std::string path = TempPath(name);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    static std::string Get(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // Every serial record of content, read with layout.
    std::vector<std::string> SerialRecords(const std::string& content, const RowLayout& layout,
                                           bool csv = false) {
        File file;
        EXPECT_TRUE(file.Open(Put(content).c_str(), kModeRead));
        DataRecordReader reader(file, csv, layout);
        std::vector<std::string> out;
        char record[kSerialRecordMax];
        bool last = false;
        while (std::size_t n = NextSerialRecord(reader, record, sizeof record, &last)) {
            out.emplace_back(record, n);
            EXPECT_EQ(last, reader.Last());
        }
        EXPECT_TRUE(last);
        return out;
    }
};

RowLayout Table(std::initializer_list<std::uint8_t> widths, LinkKind link) {
    TransferHeader h{};
    h.tableFlag = 1;
    std::size_t i = 0;
    for (std::uint8_t w : widths) h.widths[i++] = w;
    RowLayout layout{};
    EXPECT_TRUE(DeriveLayout(h, kHeaderMinBytes + i, link, &layout));
    return layout;
}

RowLayout Plain(LinkKind link) {
    RowLayout layout{};
    EXPECT_TRUE(DeriveLayout(TransferHeader{}, kHeaderMinBytes, link, &layout));
    return layout;
}

std::string Rows(const std::string& row, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += row;
    return out;
}

TEST_F(TransferFilesTest, NumberedNames) {
    char out[32];
    struct Case {
        const char* path;
        std::uint32_t n;
        const char* name;
    } cases[] = {{"DATA.CSV", 0, "DATA.CSV"},       {"DATA.CSV", 1, "DATA.CSV"},
                 {"DATA.CSV", 2, "DATA.002"},       {"DATA.CSV", 1000, "DATA.1000"},
                 {"C:\\A.B\\DATA", 2, "C:\\A.002"}, {"DATA", 12, "DATA.012"}};
    for (const Case& c : cases) {
        ASSERT_TRUE(NumberedFileName(c.path, c.n, out, sizeof out)) << c.path;
        EXPECT_STREQ(out, c.name);
    }
    EXPECT_FALSE(NumberedFileName("DATA", 2, out, 8));  // "DATA.002" needs 9
    EXPECT_TRUE(NumberedFileName("DATA", 2, out, 9));
    EXPECT_FALSE(NumberedFileName(nullptr, 0, out, sizeof out));
}

TEST_F(TransferFilesTest, FullAndPartialRecordsOfEachLink) {
    // Widths 2 and 3: 99 rows in a serial record of 998 characters.
    auto records = SerialRecords(Rows("0102030405", 100), Table({2, 3}, LinkSerial));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].size(), 998u);
    EXPECT_EQ(records[0].substr(0, 18), "000063000102030405");  // 0000 63 00, row 1
    EXPECT_EQ(records[1], "000001010102030405");
    // A first width of 0 numbers the rows from 1.
    records = SerialRecords(Rows("0102030405", 100), Table({0, 2, 3}, LinkSerial));
    EXPECT_EQ(records[1].substr(0, 8), "00640101");
    // One column of width 1: R = 496, the row count keeps its low 8 bits.
    records = SerialRecords(Rows("AB", 497), Table({1}, LinkSerial));
    EXPECT_EQ(records[0].substr(0, 8), "0000F000");
    // Plain layout: offsets and byte counts of 495 bytes.
    records = SerialRecords(Rows("5A", 1000), Plain(LinkSerial));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].size(), 1000u);
    EXPECT_EQ(records[0].substr(0, 10), "000001EF00");
    EXPECT_EQ(records[1].substr(0, 10), "01EF01EF00");
    EXPECT_EQ(records[2], "03DE000A01" + Rows("5A", 10));

    // Network: 289 rows of 5 bytes; lowercase pairs are not converted.
    File file;
    ASSERT_TRUE(file.Open(Put(Rows("0102030405", 290) + "0a0B0C0D0E").c_str(), kModeRead));
    DataRecordReader reader(file, false, Table({2, 3}, LinkNetwork));
    std::uint8_t block[1453];
    bool last = true;
    ASSERT_EQ(NextBlockRecord(reader, block, sizeof block, &last), 4u + 1445u);
    EXPECT_FALSE(last);
    EXPECT_EQ(std::vector<int>(block, block + 6), (std::vector<int>{0, 0, 1, 0x21, 1, 2}));
    std::fill(block, block + sizeof block, 0xEE);
    ASSERT_EQ(NextBlockRecord(reader, block, sizeof block, &last), 4u + 10u);
    EXPECT_TRUE(last);
    EXPECT_EQ(std::vector<int>(block, block + 14),
              (std::vector<int>{0, 0, 0, 2, 1, 2, 3, 4, 5, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(NextBlockRecord(reader, block, sizeof block, &last), 0u);
}

TEST_F(TransferFilesTest, EndOfFileRules) {
    RowLayout small = Table({2}, LinkSerial);
    small.rowsPerRecord = 2;
    using V = std::vector<std::string>;
    // An empty file is one empty record, marked last.
    EXPECT_EQ(SerialRecords("", small), V{"00000001"});
    // Line ends after a full record are skipped and end the file there.
    EXPECT_EQ(SerialRecords("AAAABBBB\r\n\r\n", small), V{"00000201AAAABBBB"});
    EXPECT_EQ(SerialRecords("AAAABBBB\n\rCCCC", small), (V{"00000200AAAABBBB", "00000101CCCC"}));
    // Elsewhere they are data with csv 0; a row cut short is not sent.
    EXPECT_EQ(SerialRecords("AA\r\nBBBBCC", small), (V{"00000200AA\r\nBBBB", "00000001"}));
    EXPECT_EQ(SerialRecords("AAAAB", small), V{"00000101AAAA"});
    // csv: CR, LF and ',' are dropped wherever they stand.
    EXPECT_EQ(SerialRecords("AA,AA\r\nBB,BB\r\nCC,C", small, true),
              (V{"00000200AAAABBBB", "00000001"}));
    EXPECT_EQ(SerialRecords("AA,AA\r\n\r\n,", small, true), V{"00000101AAAA"});
    // Binary junk is carried as it is, and NULs do not end a record.
    EXPECT_EQ(SerialRecords(std::string("\xFF\0\x01\x02", 4), small),
              V{"00000101" + std::string("\xFF\0\x01\x02", 4)});
}

TEST_F(TransferFilesTest, LargeFileStreamsAndCounterKeepsSixteenBits) {
    // 100000 bytes on the network: 69 full blocks, then 19 bytes.
    const std::string path = Put(Rows("00112233445566778899", 10000));
    for (bool csv : {false, true}) {
        File file;
        ASSERT_TRUE(file.Open(path.c_str(), kModeRead));
        DataRecordReader reader(file, csv, Plain(LinkNetwork));
        std::uint8_t block[1453];
        bool last = false;
        std::size_t blocks = 0, bytes = 0, length = 0;
        while ((length = NextBlockRecord(reader, block, sizeof block, &last)) != 0) {
            EXPECT_EQ(static_cast<std::size_t>(block[0] * 256 + block[1]),
                      (blocks * 1449) & 0xFFFF);
            ++blocks;
            bytes += length - 4;
        }
        EXPECT_TRUE(last);
        EXPECT_EQ(blocks, 70u);
        EXPECT_EQ(bytes, 100000u);
    }
}

TEST_F(TransferFilesTest, ReceivedDataAsHexOrColumns) {
    TransferHeader table{};
    table.tableFlag = 1;
    table.widths[0] = 2;
    table.widths[1] = 3;
    const RowLayout layout = Table({2, 3}, LinkSerial);
    // Prefix 0000 02 01, then two rows of widths 2 and 3 and half a row.
    const std::string rec = "000002010002030405060708090A0B";
    struct Case {
        bool csv;
        std::uint8_t unsplit;
        const char* file;
        std::uint32_t count;
    } cases[] = {{true, 0, "0002,030405\r\n0607,08090A\r\n", 22},
                 {false, 0, "0002030405060708090A0B", 22},
                 {true, 1, "0002030405060708090A0B", 22}};
    for (const Case& c : cases) {
        table.unsplitFlag = c.unsplit;
        File file;
        ASSERT_TRUE(file.Open(TempPath("out").c_str(), kModeCreate));
        std::uint32_t count = 0;
        DataFileWriter writer(file, c.csv, table, layout, &count);
        bool last = false;
        EXPECT_EQ(writer.WriteSerialRecord(rec.data(), rec.size(), &last), OL_OK);
        EXPECT_EQ(last, c.unsplit == 0);  // unsplitFlag moves the mark to 8-9
        EXPECT_EQ(writer.WriteSerialRecord("000", 3, &last), OL_OK);  // no data
        file.Close();
        EXPECT_EQ(Get(TempPath("out")), c.file);
        EXPECT_EQ(count, c.count);
    }

    // Network bytes behind the 4-byte prefix; a partial row is dropped.
    table.unsplitFlag = 0;
    File file;
    ASSERT_TRUE(file.Open(TempPath("net").c_str(), kModeCreate));
    std::uint32_t count = 7;
    DataFileWriter writer(file, true, table, Table({2, 3}, LinkNetwork), &count);
    const std::uint8_t block[] = {0, 0, 0, 1, 0xAB, 0xCD, 1, 2, 3, 9};
    EXPECT_EQ(writer.WriteDataBlock(block, sizeof block), OL_OK);
    EXPECT_EQ(writer.WriteDataBlock(block, 4), OL_OK);
    file.Close();
    EXPECT_EQ(Get(TempPath("net")), "ABCD,010203\r\n");
    EXPECT_EQ(count, 7u + 11u);

    // A plain layout received with csv has no columns: written unsplit.
    ASSERT_TRUE(file.Open(TempPath("plain").c_str(), kModeCreate));
    DataFileWriter plainWriter(file, true, TransferHeader{}, Plain(LinkSerial), nullptr);
    EXPECT_FALSE(plainWriter.Splits());
    // Prefixes: counter, byte count ("0101", "0100": 6-7 would read 01, 00), mark.
    bool last = false;
    EXPECT_EQ(plainWriter.WriteSerialRecord("0000010100ABCD", 14, &last), OL_OK);
    EXPECT_FALSE(last);
    EXPECT_EQ(plainWriter.WriteSerialRecord("000001000101EF", 14, &last), OL_OK);
    EXPECT_TRUE(last);  // plain: the mark stands at 8-9, behind the byte count
    file.Close();
    EXPECT_EQ(Get(TempPath("plain")), "ABCD01EF");
}

TEST_F(TransferFilesTest, LinesAndReplyLines) {
    File file;
    ASSERT_TRUE(file.Open(Put("AB\r\nCD\rEF\nGHIJ\n\nKLMNO").c_str(), kModeRead));
    char buf[5];
    std::size_t n = 0;
    std::vector<std::string> lines;
    while (ReadTextLine(file, buf, 4, &n)) lines.emplace_back(buf, n);
    EXPECT_EQ(lines, (std::vector<std::string>{"AB", "CD", "EF", "GHIJ", "", "KLMN", "O"}));

    ASSERT_TRUE(file.Open(Put("12345\r\n6\n").c_str(), kModeRead));
    lines.clear();
    while (ReadLineRaw(file, buf, sizeof buf, &n)) lines.emplace_back(buf, n);
    EXPECT_EQ(lines, (std::vector<std::string>{"1234", "5\r\n", "6\n"}));

    ASSERT_TRUE(file.Open(TempPath("reply").c_str(), kModeCreate));
    std::uint32_t count = 100;
    const std::uint8_t header[] = {'/', 'H', 'D', 'R', '1', '/', 0x01, 0xFE};
    EXPECT_EQ(WriteBlockReplyLine(file, 0x43, header, sizeof header, &count), OL_OK);
    EXPECT_EQ(WriteBlockReplyLine(file, 0x87, header + 1, 2, &count), OL_OK);
    EXPECT_EQ(WriteBlockReplyLine(file, 0x04, header + 6, 2, &count), OL_OK);
    EXPECT_EQ(WriteRecordLine(file, "xyz", 3, &count), OL_OK);
    file.Close();
    EXPECT_EQ(Get(TempPath("reply")), "/HDR1/01FE\r\nHD\r\n01FE\r\nxyz\r\n");
    EXPECT_EQ(count, 100u + 10u + 2u + 4u + 3u);

    char command[] = "CMD\rREST\r";
    EXPECT_EQ(CutCommand(command), 3u);
    EXPECT_STREQ(command, "CMD");
    EXPECT_STREQ(command + 4, "REST\r");
}

TEST_F(TransferFilesTest, ShortWritesAndMissingFiles) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(WriteHeaderText("/dev/full", 1, "000000000000000101", 9), OL_HEADER_FILE);
    File file;
    ASSERT_TRUE(file.Open("/dev/full", kModeCreate));
    std::uint32_t count = 0;
    DataFileWriter writer(file, false, TransferHeader{}, Plain(LinkSerial), &count);
    EXPECT_EQ(writer.WriteHex("ABCD", 4), OL_DATA_FILE);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(WriteRecordLine(file, "x", 1, &count), OL_DATA_FILE);
    const std::uint8_t none[1] = {0};
    EXPECT_EQ(WriteBlockReplyLine(file, 0x04, none, 0, &count), OL_DATA_FILE);

    EXPECT_FALSE(OpenNumbered(file, TempPath("none.csv").c_str(), 2, kModeRead));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(WriteHeaderText(TempPath("no/dir").c_str(), 0, "00", 1), OL_HEADER_FILE);
    Put("x", "series.002");
    EXPECT_TRUE(OpenNumbered(file, TempPath("series.csv").c_str(), 2, kModeRead));
    EXPECT_FALSE(OpenNumbered(file, std::string(kPathMax + 1, 'a').c_str(), 2, kModeRead));
}

}  // namespace
