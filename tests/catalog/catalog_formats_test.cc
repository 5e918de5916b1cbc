// Stored layout of the catalogue's time tables, checked against bytes worked out by hand.
#include "catalog/catalog_formats.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

TEST(FileTimeTableLayout, GoldenBytes) {
  FileTimeTable table;
  std::memset(&table, 0, sizeof(table));
  table.startTime = 0x11223344;
  table.endTime = -2;  // 0xFFFFFFFE
  table.minuteBytes[0] = 0x01020304;
  table.minuteBytes[615] = 0xA0B0C0D0;
  table.minuteBytes[1439] = 0x55;
  table.dataBytes = 0x0C800000;

  std::vector<uint8_t> expected(5772, 0);
  const auto put = [&](size_t offset, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) expected[offset++] = b;
  };
  put(0, {0x44, 0x33, 0x22, 0x11});
  put(4, {0xFE, 0xFF, 0xFF, 0xFF});
  put(8, {0x04, 0x03, 0x02, 0x01});
  put(8 + 615 * 4, {0xD0, 0xC0, 0xB0, 0xA0});  // byte 2468
  put(5764, {0x55});
  put(5768, {0x00, 0x00, 0x80, 0x0C});

  ASSERT_EQ(sizeof(table), expected.size());
  EXPECT_EQ(std::memcmp(&table, expected.data(), expected.size()), 0);
}

}  // namespace
