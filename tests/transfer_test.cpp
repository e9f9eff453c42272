// Transfer files and headers: data files read into records and blocks,
// received data written as hex or columns, short writes; header files in both
// forms, the row geometry of each link and every refused header.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/library_test.h"
#include "transfer/files.h"
#include "transfer/header.h"

namespace {

using namespace orv::transfer;
using orv::LinkKind;
using orv::LinkNetwork;
using orv::LinkSerial;
using orv::LinkUsb;
using Texts = std::vector<std::string>;

// The header and layout of a table of these widths; no widths: plain layout.
TransferHeader Header(std::initializer_list<std::uint8_t> widths) {
    TransferHeader h{};
    h.tableFlag = widths.size() != 0 ? 1 : 0;
    std::copy(widths.begin(), widths.end(), h.widths);
    return h;
}
RowLayout Layout(std::initializer_list<std::uint8_t> widths, LinkKind link = LinkSerial) {
    RowLayout layout{};
    EXPECT_TRUE(DeriveLayout(Header(widths), kHeaderMinBytes + widths.size(), link, &layout));
    return layout;
}

std::string Rows(const std::string& row, std::size_t count) {
    std::string out;
    while (count-- > 0) out += row;
    return out;
}

class Transfer : public orv::test::LibraryTest {
  protected:
    File& Open(const std::string& name, const char* mode = kModeCreate) {
        EXPECT_TRUE(file_.Open(TempPath(name).c_str(), mode));
        return file_;
    }
    File& Put(const std::string& content) {
        orv::test::Put(TempPath("in"), content);
        return Open("in", kModeRead);
    }
    std::string Get(const std::string& name) {
        file_.Close();
        return orv::test::Slurp(TempPath(name));
    }
    // Every record of content as the link builds it (serial: text; network:
    // block bytes, where those not converted keep the fill 0xEE); only the
    // final one may be marked last.
    Texts Records(const std::string& content, const RowLayout& layout, LinkKind link = LinkSerial,
                  bool csv = false) {
        DataRecordReader reader(Put(content), csv, layout);
        Texts out;
        char record[1453];
        auto* bytes = reinterpret_cast<std::uint8_t*>(record);
        bool last = false, ended = false;
        for (;;) {
            std::fill_n(record, sizeof record, '\xEE');
            const std::size_t n = link == LinkSerial
                                      ? NextSerialRecord(reader, record, kSerialRecordMax, &last)
                                      : NextBlockRecord(reader, bytes, sizeof record, &last);
            if (n == 0) break;
            EXPECT_FALSE(ended);
            ended = last;
            out.emplace_back(record, n);
        }
        EXPECT_TRUE(ended);
        return out;
    }
    // Sends a header file of text with format; returns the result.
    std::uint32_t Send(const std::string& text, LinkKind link, std::uint32_t format = 0) {
        orv::test::Put(path_ = TempPath("h.txt"), text);
        return PrepareSendHeader(HeaderFileDesc{format, path_.data(), 0}, link);
    }
    std::uint32_t Accept(const std::string& record, LinkKind link = LinkSerial) {
        return AcceptHeader(record.data(), record.size(), link);
    }
    std::string Restored(std::uint32_t k) {
        char record[200];
        return std::string(record, RestoreHeaderBlock(k, record, sizeof record));
    }
    std::uint32_t Write(std::uint32_t format, const char* name) {
        path_ = TempPath(name);
        return WriteHeaderFile(HeaderFileDesc{format, path_.data(), 0});
    }

    File file_;
    std::string path_;
};

TEST_F(Transfer, FullAndPartialRecordsOfEachLink) {
    // Widths 2 and 3: 99 rows in a serial record of 998 characters.
    Texts records = Records(Rows("0102030405", 100), Layout({2, 3}));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].size(), 998u);
    EXPECT_EQ(records[0].substr(0, 18), "000063000102030405");  // 0000 63 00, row 1
    EXPECT_EQ(records[1], "000001010102030405");
    // A first width of 0 numbers the rows from 1.
    records = Records(Rows("0102030405", 100), Layout({0, 2, 3}));
    EXPECT_EQ(records[1].substr(0, 8), "00640101");
    // One column of width 1: R = 496, the row count keeps its low 8 bits.
    records = Records(Rows("AB", 497), Layout({1}));
    EXPECT_EQ(records[0].substr(0, 8), "0000F000");
    // Plain layout: offsets and byte counts of 495 bytes.
    records = Records(Rows("5A", 1000), Layout({}));
    EXPECT_EQ(records, (Texts{"000001EF00" + Rows("5A", 495), "01EF01EF00" + Rows("5A", 495),
                              "03DE000A01" + Rows("5A", 10)}));

    // Network: 289 rows of 5 bytes; lowercase pairs are not converted.
    records =
        Records(Rows("0102030405", 290) + "0a0B0C0D0E", Layout({2, 3}, LinkNetwork), LinkNetwork);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].size(), 4u + 1445u);
    EXPECT_EQ(records[0].substr(0, 6), std::string("\0\0\x01\x21\x01\x02", 6));
    EXPECT_EQ(records[1], std::string("\0\0\0\x02\x01\x02\x03\x04\x05\xEE\xEE\xEE\xEE\xEE", 14));
    // 100000 bytes plain: 69 full blocks, then 19 bytes; the counter (byte
    // offset 69 * 1449) keeps its low 16 bits.
    records = Records(Rows("00112233445566778899", 10000), Layout({}, LinkNetwork), LinkNetwork);
    ASSERT_EQ(records.size(), 70u);
    EXPECT_EQ(records[69].substr(0, 2), "\x86\x8D");
    EXPECT_EQ(records[69].size(), 4u + 19u);
}

TEST_F(Transfer, EndOfFileRules) {
    RowLayout small = Layout({2});
    small.rowsPerRecord = 2;
    // An empty file is one empty record, marked last.
    EXPECT_EQ(Records("", small), Texts{"00000001"});
    // Line ends after a full record are skipped and end the file there.
    EXPECT_EQ(Records("AAAABBBB\r\n\r\n", small), Texts{"00000201AAAABBBB"});
    EXPECT_EQ(Records("AAAABBBB\n\rCCCC", small), (Texts{"00000200AAAABBBB", "00000101CCCC"}));
    // Elsewhere they are data with csv 0; a row cut short is not sent.
    EXPECT_EQ(Records("AA\r\nBBBBCC", small), (Texts{"00000200AA\r\nBBBB", "00000001"}));
    EXPECT_EQ(Records("AAAAB", small), Texts{"00000101AAAA"});
    // csv: CR, LF and ',' are dropped wherever they stand.
    EXPECT_EQ(Records("AA,AA\r\nBB,BB\r\nCC,C", small, LinkSerial, true),
              (Texts{"00000200AAAABBBB", "00000001"}));
    EXPECT_EQ(Records("AA,AA\r\n\r\n,", small, LinkSerial, true), Texts{"00000101AAAA"});
    // Binary junk is carried as it is, and NULs do not end a record.
    const std::string junk("\xFF\0\x01\x02", 4);
    EXPECT_EQ(Records(junk, small), Texts{"00000101" + junk});
}

TEST_F(Transfer, ReceivedDataAsHexOrColumns) {
    TransferHeader table = Header({2, 3});
    // Prefix 0000 02 01, then two rows of widths 2 and 3 and half a row.
    const std::string rec = "000002010002030405060708090A0B";
    const std::tuple<bool, std::uint8_t, const char*> cases[] = {
        {true, 0, "0002,030405\r\n0607,08090A\r\n"},
        {false, 0, "0002030405060708090A0B"},
        {true, 1, "0002030405060708090A0B"},
    };
    for (const auto& [csv, unsplit, expected] : cases) {
        table.unsplitFlag = unsplit;
        std::uint32_t count = 0;
        DataFileWriter writer(Open("out"), csv, table, Layout({2, 3}), &count);
        bool last = false;
        EXPECT_EQ(writer.WriteSerialRecord(rec.data(), rec.size(), &last), OL_OK);
        EXPECT_EQ(last, unsplit == 0);  // unsplitFlag moves the mark to 8-9
        EXPECT_EQ(writer.WriteSerialRecord("000", 3, &last), OL_OK);  // no data
        EXPECT_EQ(Get("out"), expected);
        EXPECT_EQ(count, 22u);  // data characters and commas, no line ends
    }
    // Network bytes behind the 4-byte prefix; a partial row is dropped.
    table.unsplitFlag = 0;
    std::uint32_t count = 7;
    DataFileWriter writer(Open("net"), true, table, Layout({2, 3}, LinkNetwork), &count);
    const std::uint8_t block[] = {0, 0, 0, 1, 0xAB, 0xCD, 1, 2, 3, 9};
    EXPECT_EQ(writer.WriteDataBlock(block, sizeof block), OL_OK);
    EXPECT_EQ(writer.WriteDataBlock(block, 4), OL_OK);
    EXPECT_EQ(Get("net"), "ABCD,010203\r\n");
    EXPECT_EQ(count, 7u + 11u);
    // A plain layout received with csv has no columns: written unsplit. Its
    // last mark stands at 8-9, behind the byte count ("0101", "0100").
    DataFileWriter plain(Open("plain"), true, TransferHeader{}, Layout({}), nullptr);
    bool last[2] = {};
    EXPECT_EQ(plain.WriteSerialRecord("0000010100ABCD", 14, &last[0]), OL_OK);
    EXPECT_EQ(plain.WriteSerialRecord("000001000101EF", 14, &last[1]), OL_OK);
    EXPECT_EQ(Get("plain"), "ABCD01EF");
    EXPECT_TRUE(!last[0] && last[1]);
}

TEST_F(Transfer, ShortWritesAndMissingFiles) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(WriteHeaderText("/dev/full", 1, "000000000000000101", 9), OL_HEADER_FILE);
    File file;
    ASSERT_TRUE(file.Open("/dev/full", kModeCreate));
    std::uint32_t count = 0;
    DataFileWriter writer(file, false, TransferHeader{}, Layout({}), &count);
    EXPECT_EQ(writer.WriteHex("ABCD", 4), OL_DATA_FILE);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(WriteRecordLine(file, "x", 1, &count), OL_DATA_FILE);
    const std::uint8_t none[1] = {0};
    EXPECT_EQ(WriteBlockReplyLine(file, 0x04, none, 0, &count), OL_DATA_FILE);

    EXPECT_FALSE(OpenNumbered(file, TempPath("none.csv").c_str(), 2, kModeRead));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(WriteHeaderText(TempPath("no/dir").c_str(), 0, "00", 1), OL_HEADER_FILE);
    std::ofstream(TempPath("series.002")) << "x";
    EXPECT_TRUE(OpenNumbered(file, TempPath("series.csv").c_str(), 2, kModeRead));
    EXPECT_FALSE(OpenNumbered(file, std::string(kPathMax + 1, 'a').c_str(), 2, kModeRead));
}

// Nine header bytes: table layout, file 1 of 1, then the widths.
const std::string kBase = "010000000000000101";

TEST_F(Transfer, HeaderFilesBothFormsAndBack) {
    // A comma-separated header file, as a receive writes it, is sent with
    // format 1; a series starts at file 1, and each file gets its number.
    ASSERT_EQ(Send("01,00,0000,00,0000,05,03,02,03\r\n", LinkSerial, 1), OL_OK);
    EXPECT_EQ(State().header.fileNumber, 1);
    EXPECT_EQ(State().layout.rowsPerRecord, 99u);
    EXPECT_EQ(Restored(2), "/HDR1/0100000000000002030203");
    char small[27];
    EXPECT_EQ(RestoreHeaderBlock(2, small, sizeof small), 0u);
    // The network carries the bytes and patches byte 13.
    ASSERT_EQ(Send("0100000000000005030203", LinkNetwork), OL_OK);
    EXPECT_EQ(State().layout.rowsPerRecord, 289u);
    std::uint8_t block[100];
    const std::size_t n = RestoreHeaderBlock(3, block, sizeof block);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), n),
              std::string("/HDR1/\x01\0\0\0\0\0\0\x03\x03\x02\x03", 17));

    // Received and written as fields (as hex text, and sent back: fuzz_header).
    ASSERT_EQ(Accept("/HDR1/0100000000000002030203", LinkUsb), OL_OK);
    EXPECT_EQ(State().layout.rowsPerRecord, 199u);
    ASSERT_EQ(Write(1, "csv.txt"), OL_OK);
    EXPECT_EQ(Get("csv.txt"), "01,00,0000,00,0000,02,03,02,03");
    // Without widths the fields end with the seventh field's comma.
    ASSERT_EQ(Accept("/HDR1/000000000000000101"), OL_OK);
    ASSERT_EQ(Write(1, "csv.txt"), OL_OK);
    EXPECT_EQ(Get("csv.txt"), "00,00,0000,00,0000,01,01,");
}

TEST_F(Transfer, BadPairsLeaveFieldsZeroAndEndTheWidthTable) {
    TransferHeader h{};
    // Flags 01 07, carried AABBCCDDEE, file "0x" (lowercase is no hex), last
    // 09, widths 02 "zz" 03: nothing taken after the bad pair.
    ParseHeaderHex("0107AABBCCDDEE0x0902zz03", 12, &h);
    EXPECT_EQ(
        std::vector<int>({h.tableFlag, h.unsplitFlag, h.carried[0], h.carried[4], h.fileNumber,
                          h.lastFileNumber, h.widths[0], h.widths[1], h.widths[2]}),
        std::vector<int>({1, 7, 0xAA, 0xEE, 0, 9, 2, 0, 0}));

    // Format 0 counts a line end in the text; on the network its byte stays 0.
    ASSERT_EQ(Send(kBase + "0203\r\n", LinkNetwork), OL_OK);
    EXPECT_EQ(State().savedLength, 6u + 12u);
    EXPECT_EQ(State().savedBlock[6 + 11], 0);
    EXPECT_EQ(State().layout.columnCount, 2u);
}

TEST_F(Transfer, EveryRefusedHeaderWhenSending) {
    const std::string zeros(200, '0');
    // The header text, the link, and the rows of a full record (0: refused).
    const std::tuple<std::string, LinkKind, std::uint32_t> cases[] = {
        {zeros.substr(0, 17), LinkSerial, 0},    // 8 bytes
        {zeros.substr(0, 18), LinkSerial, 495},  // plain layout
        {zeros.substr(0, 178), LinkNetwork, 1449},
        {zeros.substr(0, 179), LinkNetwork, 0},
        {"", LinkSerial, 0},
        {kBase + "0000", LinkSerial, 0},  // no nonzero width
        {kBase + "FFF1", LinkSerial, 1},  // W = 496: one row of 992 characters
        {kBase + "FFF2", LinkSerial, 0},
        {kBase + "FFF2", LinkNetwork, 2},
        {kBase + "FFFFFFFFFFAE", LinkNetwork, 1},  // 1449
        {kBase + "FFFFFFFFFFAF", LinkNetwork, 0},
        {kBase + "FFFFFFE7", LinkUsb, 1},  // 996
        {kBase + "FFFFFFE8", LinkUsb, 0},
    };
    for (const auto& [text, link, rows] : cases) {
        SCOPED_TRACE(text + " link " + std::to_string(link));
        EXPECT_EQ(Send(text, link), rows != 0 ? OL_OK : OL_HEADER_FILE);
        if (rows != 0) {
            EXPECT_EQ(State().layout.rowsPerRecord, rows);
        } else {
            EXPECT_EQ(Restored(1), "");  // nothing to send
        }
    }
    EXPECT_EQ(Send(kBase, LinkUsb, 2), OL_BAD_STATE);
    EXPECT_EQ(PrepareSendHeader(HeaderFileDesc{0, nullptr, 0}, LinkSerial), OL_HEADER_FILE);
}

TEST_F(Transfer, EveryRefusedHeaderWhenReceiving) {
    const std::string zeros(200, '0');
    for (std::size_t chars : {0u, 16u, 17u, 18u, 178u, 179u, 180u}) {
        const bool ok = chars >= 18 && chars <= 179;
        EXPECT_EQ(Accept("/HDR1/" + zeros.substr(0, chars)), ok ? OL_OK : OL_NOT_HEADER) << chars;
    }
    const std::string bytes = "/HDR1/" + std::string(100, '\0');
    for (std::size_t n : {8u, 9u, 89u, 90u}) {
        const bool ok = n >= 9 && n <= 89;
        EXPECT_EQ(AcceptHeader(bytes.data(), 6 + n, LinkNetwork), ok ? OL_OK : OL_NOT_HEADER) << n;
    }
    for (const std::string& bad : {"/HDR2/" + kBase + "02", std::string("/HDR1"),
                                   "/HDR1/" + kBase + "00", "/HDR1/" + kBase + "FFF2"}) {
        EXPECT_EQ(Accept(bad), OL_NOT_HEADER) << bad;
    }
    EXPECT_EQ(AcceptHeader(static_cast<const char*>(nullptr), 0, LinkSerial), OL_NOT_HEADER);
}

}  // namespace
