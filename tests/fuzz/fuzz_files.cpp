// The data, line and header file readers fed a file, and the receiving writers
// fed register data under any header.
//   byte 0 % 4: 0 a data file read into records, 1 a line file, 2 received
//   data written under a header, 3 reply lines; then the case's parameters.
#include <algorithm>
#include <cstring>

#include "fuzz_support.h"
#include "transfer/files.h"
#include "transfer/header.h"
#include "transfer/records.h"

namespace {

using namespace orv::transfer;
using orv::fuzz::Hex;
using orv::fuzz::Input;
using orv::fuzz::Without;

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A link, a csv switch and a header of 0-99 bytes from the input, parsed for
// that link; ok is false when the link refuses the header.
struct Header {
    explicit Header(Input& in) : link(static_cast<orv::LinkKind>(1 + in.Byte() % 3)) {
        csv = (in.Byte() & 1) != 0;
        const std::string bytes = in.Take(in.Byte() % 100);
        ParseHeaderBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                         &header);
        ok = DeriveLayout(header, bytes.size(), link, &layout);
    }
    const orv::LinkKind link;
    bool csv, ok;
    TransferHeader header{};
    RowLayout layout{};
};

// A data file read into records: every record within its link's size, the
// counter as the layout says, and the series ends with one last record.
void DataFile(Input& in) {
    const Header h(in);
    if (!h.ok) return;
    const std::string content = in.Rest();
    const std::string path = orv::fuzz::ScratchPath("data");
    orv::fuzz::Put(path, content);
    File file;
    FUZZ_CHECK(file.Open(path.c_str(), kModeRead));
    DataRecordReader reader(file, h.csv, h.layout);
    bool last = false;
    std::size_t records = 0, rows = 0;
    while (!last) {
        FUZZ_CHECK(++records <= content.size() + 2);
        std::size_t length;
        if (h.link == orv::LinkSerial) {
            char record[kSerialRecordMax];
            length = NextSerialRecord(reader, record, sizeof record, &last);
            FUZZ_CHECK(length >= SerialPrefixLength(h.layout));
        } else {
            std::uint8_t block[kBlockPrefix + 1449];
            length = NextBlockRecord(reader, block, sizeof block, &last);
            FUZZ_CHECK(length >= kBlockPrefix);
            FUZZ_CHECK(static_cast<std::uint32_t>(block[0] << 8 | block[1]) == reader.Counter());
        }
        FUZZ_CHECK(reader.Rows() <= h.layout.rowsPerRecord);
        FUZZ_CHECK(last || reader.Rows() == h.layout.rowsPerRecord);
        rows += reader.Rows();
    }
    FUZZ_CHECK(!reader.Next());
    FUZZ_CHECK(rows * 2 * h.layout.rowWidth <= content.size());
}

// A line file: the raw reader gives the file back piece by piece, the text
// reader every line without its line end, no piece above its limit.
void LineFile(Input& in) {
    const std::uint8_t choice = in.Byte();
    const std::size_t limit = choice < 128 ? 1 + choice : (choice & 1) != 0 ? 2906 : 2000;
    const std::string content = in.Rest();
    const std::string path = orv::fuzz::ScratchPath("lines");
    orv::fuzz::Put(path, content);
    const bool hasNul = content.find('\0') != std::string::npos;
    std::string buf(std::max<std::size_t>(limit + 1, 1000), '\0');
    File file;
    FUZZ_CHECK(file.Open(path.c_str(), kModeRead));
    std::string raw, text;
    std::size_t length = 0;
    while (ReadLineRaw(file, buf.data(), limit + 1, &length)) {
        FUZZ_CHECK(length <= limit);
        raw.append(buf.data(), length);
    }
    if (!hasNul) FUZZ_CHECK(raw == content);
    FUZZ_CHECK(file.Open(path.c_str(), kModeRead));
    std::size_t pieces = 0;
    while (ReadTextLine(file, buf.data(), limit, &length)) {
        FUZZ_CHECK(++pieces <= content.size() + 1);
        FUZZ_CHECK(length <= limit);
        const std::string piece(buf.data(), length);
        FUZZ_CHECK(piece.find_first_of("\r\n") == std::string::npos);
        text += piece;
    }
    if (!hasNul) FUZZ_CHECK(text == Without(content, "\r\n"));
}

// Received data written under any header: the count is every character but
// the line ends, and unsplit bytes land as their hex text.
void Received(Input& in) {
    const Header h(in);
    if (!h.ok) return;
    const std::string path = orv::fuzz::ScratchPath("received");
    std::uint32_t count = 0;
    std::string expect;
    bool modelled = true, split = false;
    {
        File file;
        FUZZ_CHECK(file.Open(path.c_str(), kModeCreate));
        DataFileWriter writer(file, h.csv, h.header, h.layout, &count);
        split = writer.Splits();
        while (in.Left() > 0) {
            const std::uint8_t kind = in.Byte();
            // A serial record never holds a CR (it ends the frame), so every
            // CR in the file is the writer's.
            std::string data = in.Take(in.Word() % 3000);
            if (kind % 4 == 0 || kind % 4 == 2) std::replace(data.begin(), data.end(), '\r', 'R');
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
            std::uint32_t rc = 0;
            switch (kind % 4) {
                case 0: {
                    bool last = false;
                    rc = writer.WriteSerialRecord(data.data(), data.size(), &last);
                    FUZZ_CHECK(last == SerialRecordIsLast(h.header, data.data(), data.size()));
                    modelled = false;
                    break;
                }
                case 1:
                    rc = writer.WriteDataBlock(bytes, data.size());
                    if (data.size() > kBlockPrefix) expect += Hex(data.substr(kBlockPrefix));
                    break;
                case 2:
                    rc = writer.WriteHex(data.data(), data.size());
                    expect += data;
                    break;
                default:
                    rc = writer.WriteBytes(bytes, data.size());
                    expect += Hex(data);
                    break;
            }
            FUZZ_CHECK(rc == 0);
        }
    }
    const std::string written = orv::fuzz::Slurp(path);
    FUZZ_CHECK(count == written.size() - (split ? 2 * Count(written, "\r\n") : 0));
    if (!split && modelled) FUZZ_CHECK(written == expect);
}

// Reply lines of the network and USB links and of the serial link.
void ReplyLines(Input& in) {
    const std::string path = orv::fuzz::ScratchPath("reply");
    std::uint32_t count = 0;
    std::size_t lines = 0;
    std::string expect;
    {
        File file;
        FUZZ_CHECK(file.Open(path.c_str(), kModeCreate));
        while (in.Left() > 0) {
            const std::uint8_t type = in.Byte();
            const std::string data = in.Take(in.Word() % 3000);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
            if ((type & 0x80) != 0) {
                FUZZ_CHECK(WriteRecordLine(file, bytes, data.size(), &count) == 0);
                expect += data;
            } else {
                FUZZ_CHECK(WriteBlockReplyLine(file, type, bytes, data.size(), &count) == 0);
                const std::uint8_t kind = BlockKind(type);
                const std::size_t plain = kind == kKindRaw ? data.size()
                                          : kind == kKindHeader
                                              ? std::min<std::size_t>(6, data.size())
                                              : 0;
                expect += data.substr(0, plain) + Hex(data.substr(plain));
            }
            expect += "\r\n";
            ++lines;
        }
    }
    const std::string written = orv::fuzz::Slurp(path);
    FUZZ_CHECK(written == expect);
    FUZZ_CHECK(count == written.size() - 2 * lines);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return orv::fuzz::RunCase(data, size, {DataFile, LineFile, Received, ReplyLines});
}
