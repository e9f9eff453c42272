// The header block: header files in both forms, parsing, the row geometry of
// each link and every refused header.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "support/library_test.h"
#include "transfer/header.h"

namespace {

using namespace orv::transfer;
using orv::LinkKind;
using orv::LinkNetwork;
using orv::LinkSerial;
using orv::LinkUsb;

class TransferHeaderTest : public orv::test::LibraryTest {
  protected:
    std::string Put(const std::string& name, const std::string& content) {
        const std::string path = TempPath(name);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    static std::string Get(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // Sends the header text with format; returns the result.
    std::uint32_t Send(const std::string& text, LinkKind link, std::uint32_t format = 0) {
        path_ = Put("h.txt", text);
        HeaderFileDesc desc{format, path_.data(), 0};
        return PrepareSendHeader(desc, link);
    }
    static std::string Hex(const std::string& fields) { return "/HDR1/" + fields; }

    std::string path_;
};

// Nine header bytes: table layout, file 1 of 1, then the widths.
const std::string kBase = "010000000000000101";

TEST_F(TransferHeaderTest, HeaderFilesBothFormsAndBack) {
    // A comma-separated header file, as a receive writes it, is sent with format 1.
    ASSERT_EQ(Send("01,00,0000,00,0000,05,03,02,03\r\n", LinkSerial, 1), OL_OK);
    const TransferState& s = State();
    EXPECT_EQ(s.header.fileNumber, 1);  // a series starts at file 1
    EXPECT_EQ(s.header.lastFileNumber, 3);
    EXPECT_EQ(s.layout.rowWidth, 5u);
    EXPECT_EQ(s.layout.rowsPerRecord, 99u);
    EXPECT_EQ(s.layout.counterStart, 0u);
    char record[200];
    std::size_t n = RestoreHeaderBlock(2, record, sizeof record);
    EXPECT_EQ(std::string(record, n), "/HDR1/0100000000000002030203");
    EXPECT_EQ(RestoreHeaderBlock(2, record, n - 1), 0u);

    // The network carries the bytes and patches byte 13.
    ASSERT_EQ(Send("0100000000000005030203", LinkNetwork), OL_OK);
    EXPECT_EQ(State().layout.rowsPerRecord, 289u);
    std::uint8_t block[100];
    n = RestoreHeaderBlock(3, block, sizeof block);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), n),
              std::string("/HDR1/\x01\0\0\0\0\0\0\x03\x03\x02\x03", 17));

    // Received: written as hex text or as fields, and sent back unchanged.
    const std::string received = Hex("0100000000000002030203");
    ASSERT_EQ(AcceptHeader(received.data(), received.size(), LinkUsb), OL_OK);
    EXPECT_EQ(State().layout.rowsPerRecord, 199u);
    const std::string hexPath = TempPath("hex.txt"), csvPath = TempPath("csv.txt");
    HeaderFileDesc hexDesc{0, const_cast<char*>(hexPath.c_str()), 0};
    HeaderFileDesc csvDesc{1, const_cast<char*>(csvPath.c_str()), 0};
    ASSERT_EQ(WriteHeaderFile(hexDesc), OL_OK);
    ASSERT_EQ(WriteHeaderFile(csvDesc), OL_OK);
    EXPECT_EQ(Get(hexPath), "0100000000000002030203");
    EXPECT_EQ(Get(csvPath), "01,00,0000,00,0000,02,03,02,03");
    ASSERT_EQ(PrepareSendHeader(csvDesc, LinkSerial), OL_OK);
    n = RestoreHeaderBlock(2, record, sizeof record);
    EXPECT_EQ(std::string(record, n), received);

    // Without widths the fields end with the seventh field's comma.
    const std::string plain = Hex("000000000000000101");
    ASSERT_EQ(AcceptHeader(plain.data(), plain.size(), LinkSerial), OL_OK);
    ASSERT_EQ(WriteHeaderFile(csvDesc), OL_OK);
    EXPECT_EQ(Get(csvPath), "00,00,0000,00,0000,01,01,");
}

TEST_F(TransferHeaderTest, BadPairsLeaveFieldsZeroAndEndTheWidthTable) {
    TransferHeader h{};
    // Flags 01 07, carried AABBCCDDEE, file "0x", last 09, widths 02 "zz" 03.
    ParseHeaderHex("0107AABBCCDDEE0x0902zz03", 12, &h);
    EXPECT_EQ(h.tableFlag, 1);
    EXPECT_EQ(h.unsplitFlag, 7);
    EXPECT_EQ(h.carried[0], 0xAA);
    EXPECT_EQ(h.carried[4], 0xEE);
    EXPECT_EQ(h.fileNumber, 0);  // lowercase is no hex
    EXPECT_EQ(h.lastFileNumber, 9);
    EXPECT_EQ(h.widths[0], 2);
    EXPECT_EQ(h.widths[1], 0);
    EXPECT_EQ(h.widths[2], 0);  // not taken after the bad pair

    // Format 0 counts a line end in the text; on the network its byte stays 0.
    ASSERT_EQ(Send(kBase + "0203\r\n", LinkNetwork), OL_OK);
    EXPECT_EQ(State().savedLength, 6u + 12u);
    EXPECT_EQ(State().savedBlock[6 + 11], 0);
    EXPECT_EQ(State().layout.columnCount, 2u);
}

TEST_F(TransferHeaderTest, EveryRefusedHeaderWhenSending) {
    const std::string zeros(200, '0');
    EXPECT_EQ(Send(zeros.substr(0, 17), LinkSerial), OL_HEADER_FILE);  // 8 bytes
    EXPECT_EQ(Send(zeros.substr(0, 18), LinkSerial), OL_OK);           // plain layout
    EXPECT_EQ(State().layout.rowsPerRecord, 495u);
    EXPECT_EQ(Send(zeros.substr(0, 178), LinkNetwork), OL_OK);
    EXPECT_EQ(Send(zeros.substr(0, 179), LinkNetwork), OL_HEADER_FILE);
    EXPECT_EQ(Send(zeros.substr(0, 18) + "\r\n", LinkSerial, 1), OL_OK);
    EXPECT_EQ(Send("", LinkSerial), OL_HEADER_FILE);
    EXPECT_EQ(Send(kBase, LinkUsb, 2), OL_BAD_STATE);
    HeaderFileDesc missing{0, const_cast<char*>("/nonexistent/h"), 0};
    EXPECT_EQ(PrepareSendHeader(missing, LinkSerial), OL_HEADER_FILE);
    HeaderFileDesc nullPath{0, nullptr, 0};
    EXPECT_EQ(PrepareSendHeader(nullPath, LinkSerial), OL_HEADER_FILE);

    // Table layout: at least one nonzero width, W within the link's limit.
    EXPECT_EQ(Send(kBase + "0000", LinkSerial), OL_HEADER_FILE);
    char record[200];
    EXPECT_EQ(RestoreHeaderBlock(1, record, sizeof record), 0u);  // nothing to send
    struct Case {
        const char* widths;
        LinkKind link;
        std::uint32_t result;
        std::uint32_t rows;
    } cases[] = {
        {"FFF1", LinkSerial, OL_OK, 1},  // 496: one row of 992 characters
        {"FFF2", LinkSerial, OL_HEADER_FILE, 0},
        {"FFF2", LinkNetwork, OL_OK, 2},
        {"FFFFFFFFFFAE", LinkNetwork, OL_OK, 1},  // 1449
        {"FFFFFFFFFFAF", LinkNetwork, OL_HEADER_FILE, 0},
        {"FFFFFFE7", LinkUsb, OL_OK, 1},  // 996
        {"FFFFFFE8", LinkUsb, OL_HEADER_FILE, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Send(kBase + c.widths, c.link), c.result) << c.widths << " link " << c.link;
        EXPECT_EQ(State().layout.rowsPerRecord, c.rows) << c.widths;
    }
}

TEST_F(TransferHeaderTest, EveryRefusedHeaderWhenReceiving) {
    const std::string zeros(200, '0');
    const std::size_t sizes[] = {0, 16, 17, 18, 178, 179, 180};
    for (std::size_t chars : sizes) {
        const std::string record = Hex(zeros.substr(0, chars));
        const bool ok = chars >= 18 && chars <= 179;
        EXPECT_EQ(AcceptHeader(record.data(), record.size(), LinkSerial),
                  ok ? OL_OK : OL_NOT_HEADER)
            << chars;
    }
    const std::string bytes = "/HDR1/" + std::string(100, '\0');
    const std::size_t counts[] = {8, 9, 89, 90};
    for (std::size_t n : counts) {
        const bool ok = n >= 9 && n <= 89;
        EXPECT_EQ(AcceptHeader(bytes.data(), 6 + n, LinkNetwork), ok ? OL_OK : OL_NOT_HEADER) << n;
    }
    for (const std::string& bad : {std::string("/HDR2/") + kBase + "02", std::string("/HDR1"),
                                   Hex(kBase + "00"), Hex(kBase + "FFF2")}) {
        EXPECT_EQ(AcceptHeader(bad.data(), bad.size(), LinkSerial), OL_NOT_HEADER) << bad;
    }
    EXPECT_EQ(AcceptHeader(static_cast<const char*>(nullptr), 0, LinkSerial), OL_NOT_HEADER);
}

}  // namespace
