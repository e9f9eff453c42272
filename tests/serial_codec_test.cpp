// The serial record frame and the millisecond-to-tick arithmetic: the worked
// examples, and the library's codec against the register's own.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "register/serial_register.h"
#include "serial/frame.h"
#include "serial/serial_cells.h"
#include "serial/timers.h"

namespace {

using namespace orv::serial;

std::vector<std::uint8_t> Built(const std::string& data, std::uint32_t sequence) {
    std::int32_t size = RsBuildFrame(reinterpret_cast<const std::uint8_t*>(data.data()),
                                     static_cast<std::int32_t>(data.size()), sequence);
    const std::uint8_t* buffer = Cells().sendBuffer;
    return std::vector<std::uint8_t>(buffer, buffer + size);
}

// Puts a received frame into the receive buffer as RsRecvFrame would.
void Receive(const std::string& frame) {
    std::memcpy(Cells().receiveBuffer, frame.data(), frame.size());
    Cells().stxSeen = 1;
    Cells().frameError = 0;
}

TEST(SerialCodec, WorkedExamples) {
    EXPECT_EQ(Built("abc", 0),
              (std::vector<std::uint8_t>{0x02, 0x30, 0x61, 0x62, 0x63, 0x41, 0x41, 0x0D}));
    // Only the bytes before the first CR are framed; no data leaves 5 bytes.
    EXPECT_EQ(Built(std::string("ab\rcd", 5), 0), Built("ab", 0));
    std::vector<std::uint8_t> empty = Built("", 9);
    ASSERT_EQ(empty.size(), 5u);
    EXPECT_EQ(empty[1], '9');
    EXPECT_EQ(empty[2], 'C');  // (0 - 0x39) mod 256 = 0xC7
    EXPECT_EQ(empty[3], '7');
    // A record frame holds at most 1003 data bytes.
    EXPECT_EQ(Built(std::string(1200, 'x'), 1).size(), 1008u);
}

TEST(SerialCodec, ChecksumAcceptsOnlyUppercaseDigits) {
    Receive(
        std::string("\x02"
                    "0abcAA\r"));
    EXPECT_EQ(RsCheckChecksum(3), 1);
    EXPECT_TRUE(RsFrameAccepted(8, 7));
    Receive(
        std::string("\x02"
                    "0abcaa\r"));
    EXPECT_EQ(RsCheckChecksum(3), 0);
    Receive(
        std::string("\x02"
                    "0abcAB\r"));
    EXPECT_EQ(RsCheckChecksum(3), 0);

    // One data byte is enough for an answer, not for a record.
    Receive(orv::reg::BuildFrame('3', "Z"));
    EXPECT_TRUE(RsFrameAccepted(6, 6));
    EXPECT_FALSE(RsFrameAccepted(6, 7));
}

// Two codecs written apart agree on every frame, and each accepts the other's.
TEST(SerialCodec, AgreesWithTheRegistersCodec) {
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        std::string data(random() % 40, ' ');
        for (char& ch : data) ch = static_cast<char>(0x20 + random() % 0x5F);
        auto sequence = static_cast<std::uint32_t>(random() % 10);
        std::vector<std::uint8_t> ours = Built(data, sequence);
        std::string theirs = orv::reg::BuildFrame(static_cast<char>('0' + sequence), data);
        ASSERT_EQ(std::string(ours.begin(), ours.end()), theirs) << data;
        char digit = 0;
        std::string parsed;
        ASSERT_TRUE(orv::reg::ParseFrame(theirs, &digit, &parsed));
        EXPECT_EQ(parsed, data);
        Receive(theirs);
        EXPECT_TRUE(RsFrameAccepted(static_cast<std::int32_t>(theirs.size()), 5));
    }
}

TEST(SerialTicks, MillisecondsToTicks) {
    const std::uint32_t pairs[][2] = {
        {0, 0},
        {1, 1},
        {100, 1},
        {101, 2},
        {200, 2},
        {30000, 300},
        // 32-bit arithmetic: -1 ms is 0 ticks, and huge values turn negative.
        {0xFFFFFFFFu, 0},
        {0x80000000u, static_cast<std::uint32_t>(-21474835)},
    };
    for (const auto& p : pairs) {
        EXPECT_EQ(static_cast<std::uint32_t>(MsToTicks(p[0])), p[1]) << p[0];
    }
}

TEST(SerialTicks, DueTimeIsWrapSafe) {
    EXPECT_FALSE(TickDue(100, 100));  // the clock must pass the due time
    EXPECT_TRUE(TickDue(101, 100));
    EXPECT_FALSE(TickDue(50, 100));
    EXPECT_TRUE(TickDue(5, 0xFFFFFFF0u));      // passed across the wrap
    EXPECT_FALSE(TickDue(0xFFFFFFF0u, 0x10));  // 32 ms ahead across the wrap
    EXPECT_TRUE(TickDue(3000000000u, 100));    // the first due time, long past
    EXPECT_TRUE(TickDue(100, 3000000000u));    // a due time from a past epoch
}

}  // namespace
