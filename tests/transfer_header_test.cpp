// The header block: header files in both forms, parsing, the row geometry of
// each link and every refused header.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <tuple>

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
    std::string Get(const std::string& name) { return orv::test::Slurp(TempPath(name)); }
    // Sends a header file of text with format; returns the result.
    std::uint32_t Send(const std::string& text, LinkKind link, std::uint32_t format = 0) {
        path_ = TempPath("h.txt");
        std::ofstream(path_, std::ios::binary) << text;
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

    std::string path_;
};

// Nine header bytes: table layout, file 1 of 1, then the widths.
const std::string kBase = "010000000000000101";

TEST_F(TransferHeaderTest, HeaderFilesBothFormsAndBack) {
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
    EXPECT_EQ(h.widths[1] + h.widths[2], 0);  // nothing taken after the bad pair

    // Format 0 counts a line end in the text; on the network its byte stays 0.
    ASSERT_EQ(Send(kBase + "0203\r\n", LinkNetwork), OL_OK);
    EXPECT_EQ(State().savedLength, 6u + 12u);
    EXPECT_EQ(State().savedBlock[6 + 11], 0);
    EXPECT_EQ(State().layout.columnCount, 2u);
}

TEST_F(TransferHeaderTest, EveryRefusedHeaderWhenSending) {
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

TEST_F(TransferHeaderTest, EveryRefusedHeaderWhenReceiving) {
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
