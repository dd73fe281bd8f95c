#include <gtest/gtest.h>
#include "Utils.h"
TEST(Smoke, Crc) { EXPECT_EQ(StringCrc32("abc"), 0x352441C2u); }
