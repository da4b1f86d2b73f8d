// Whole numbers typed by the user are held to the int range.
#include "dialogue/numbers.h"

#include <gtest/gtest.h>

#include <climits>

TEST(TypedNumbers, ReadLikeTheStandardConversionButSaturate)
{
    EXPECT_EQ(typed_int("12"), 12);
    EXPECT_EQ(typed_int("  +12abc"), 12);
    EXPECT_EQ(typed_int("-3"), -3);
    EXPECT_EQ(typed_int("abc"), 0);
    EXPECT_EQ(typed_int(""), 0);
    EXPECT_EQ(typed_int("n 50"), 0);
    EXPECT_EQ(typed_int("2147483647"), INT_MAX);
    EXPECT_EQ(typed_int("2147483648"), INT_MAX);
    EXPECT_EQ(typed_int("99999999999999999999999"), INT_MAX);
    EXPECT_EQ(typed_int("-2147483648"), INT_MIN);
    EXPECT_EQ(typed_int("-99999999999"), INT_MIN);
    EXPECT_EQ(saturate_int(1LL << 40), INT_MAX);
    EXPECT_EQ(saturate_int(-(1LL << 40)), INT_MIN);
    EXPECT_EQ(saturate_int(-7), -7);
}
