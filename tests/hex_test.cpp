// Hex text conversions.
#include <gtest/gtest.h>

#include <string>

#include "transfer/hex.h"

namespace {

TEST(Hex, DigitsDropHigherPlaces) {
    char out[8] = "-------";
    orv::HexDigits(255, out, 4);
    EXPECT_EQ(std::string(out, 5), "00FF-");
    orv::HexDigits(300, out, 2);
    EXPECT_EQ(std::string(out, 2), "2C");
    orv::HexDigits(0xABCDEF, out, 0);
    EXPECT_EQ(out[0], '2');  // nothing written
}

TEST(Hex, ToBytesStopsAtTheFirstBadPair) {
    // Round trips and where conversion stops are the header fuzz target's.
    std::uint8_t partial[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(orv::HexToBytes("7F0G12", partial, 3), orv::kHexBadPair);
    EXPECT_EQ(partial[0], 0x7F);
    EXPECT_EQ(partial[1], 0xEE);  // the bad pair's byte is not written
    EXPECT_EQ(partial[2], 0xEE);
    EXPECT_EQ(orv::HexToBytes("zz", partial, 0), 0);
    EXPECT_EQ(orv::HexToBytes("zz", partial, -1), 0);
}

}  // namespace
