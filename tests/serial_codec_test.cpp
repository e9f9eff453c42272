// The serial record frame as built and the millisecond-to-tick arithmetic, on
// worked examples. (Every exchange in the other serial tests also checks the codec
// against the register's own, written apart from it.)
#include <gtest/gtest.h>

#include <string>

#include "serial/frame.h"
#include "serial/serial_cells.h"
#include "serial/timers.h"

namespace {

using namespace orv::serial;

std::string Built(const std::string& data, std::uint32_t sequence) {
    std::int32_t size = RsBuildFrame(reinterpret_cast<const std::uint8_t*>(data.data()),
                                     static_cast<std::int32_t>(data.size()), sequence);
    return std::string(reinterpret_cast<const char*>(Cells().sendBuffer),
                       static_cast<std::size_t>(size));
}

const std::string kStx = "\x02";

TEST(SerialCodec, WorkedExamples) {
    EXPECT_EQ(Built("abc", 0), kStx + "0abcAA\r");
    EXPECT_EQ(Built(std::string("ab\rcd", 5), 0), Built("ab", 0));  // framed up to the CR
    EXPECT_EQ(Built("", 9), kStx + "9C7\r");                        // (0 - 0x39) mod 256
    EXPECT_EQ(Built(std::string(1200, 'x'), 1).size(), 1008u);      // at most 1003 data bytes
    // A checksum in lowercase or a wrong one: SerialProcedures.ReceiveRecords.
}

TEST(SerialTicks, MillisecondsToTicksAndDueTimes) {
    // A limit whose tick count does not fit 32-bit signed arithmetic is no limit.
    const std::uint32_t ms[] = {0,           1,           100,         101,        30000,
                                0x7FFFFF9Cu, 0x7FFFFF9Du, 0x80000000u, 0xFFFFFFFFu};
    const std::int32_t ticks[] = {0, 1, 1, 2, 300, 21474836, 0, 0, 0};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(MsToTicks(ms[i]), ticks[i]) << ms[i];

    EXPECT_FALSE(TickDue(100, 100));  // the clock must pass the due time
    EXPECT_TRUE(TickDue(101, 100));
    EXPECT_FALSE(TickDue(50, 100));
    EXPECT_TRUE(TickDue(5, 0xFFFFFFF0u));      // passed across the wrap
    EXPECT_FALSE(TickDue(0xFFFFFFF0u, 0x10));  // 32 ms ahead across the wrap
    EXPECT_TRUE(TickDue(3000000000u, 100));    // the first due time, long past
    EXPECT_TRUE(TickDue(100, 3000000000u));    // a due time from a past epoch
}

}  // namespace
