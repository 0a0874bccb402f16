#include <gtest/gtest.h>

#include <random>

#include "bitstream.hpp"

using tarvane::BitReader;

namespace {

std::span<const uint8_t> bytes(const std::vector<uint8_t>& v) { return {v.data(), v.size()}; }

std::string error_text(const tarvane::BufrError& e) { return e.display(); }

// Bit-by-bit reference reader, the definition the word reader must match.
uint64_t reference_read(const std::vector<uint8_t>& d, size_t pos, unsigned width) {
  uint64_t v = 0;
  for (unsigned k = 0; k < width; ++k) {
    size_t p = pos + k;
    v = (v << 1) | ((d[p / 8] >> (7 - p % 8)) & 1u);
  }
  return v;
}

}  // namespace

TEST(BitReader, ReadsNibblesAcrossBytesThenFailsAtTheEnd) {
  std::vector<uint8_t> d{0xAB, 0xCD};
  BitReader r(bytes(d));
  EXPECT_EQ(*r.read_u64(4), 0xAu);
  EXPECT_EQ(*r.read_u64(8), 0xBCu);
  EXPECT_EQ(*r.read_u64(4), 0xDu);
  auto e = r.read_u64(1);
  ASSERT_FALSE(e);
  EXPECT_EQ(error_text(e.error()),
            "csv/table parse error: not enough bits while reading section 4 at bit 16 for width 1 (16 bits available)");
  EXPECT_EQ(r.position(), 16u);
}

TEST(BitReader, TwelveBitsAreBigEndian) {
  std::vector<uint8_t> d{0xAB, 0xCD};
  BitReader r(bytes(d));
  EXPECT_EQ(*r.read_u64(12), 0xABCu);
}

TEST(BitReader, ZeroWidthAtTheEndSucceeds) {
  std::vector<uint8_t> d{0xFF};
  BitReader r(bytes(d));
  ASSERT_TRUE(r.read_u64(8));
  auto v = r.read_u64(0);
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, 0u);
  BitReader empty(std::span<const uint8_t>{});
  EXPECT_EQ(*empty.read_u64(0), 0u);
}

TEST(BitReader, WidthAbove64FailsEvenWithBitsLeftAndConsumesNothing) {
  std::vector<uint8_t> d(16, 0xFF);
  BitReader r(bytes(d));
  auto e = r.read_u64(65);
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().message, "cannot read 65 bits into u64");
  EXPECT_EQ(r.position(), 0u);
}

TEST(BitReader, FailedReadLeavesPositionUnchanged) {
  std::vector<uint8_t> d{0x12, 0x34};
  BitReader r(bytes(d));
  ASSERT_TRUE(r.read_u64(3));
  ASSERT_FALSE(r.read_u64(14));
  EXPECT_EQ(r.position(), 3u);
  EXPECT_EQ(*r.read_u64(13), reference_read(d, 3, 13));
}

TEST(BitReader, Width64AtEveryOffsetMatchesTheBitByBitDefinition) {
  std::mt19937_64 rng(42);
  std::vector<uint8_t> d(40);
  for (auto& b : d) b = static_cast<uint8_t>(rng());
  for (size_t start = 0; start <= 8 * d.size() - 64; ++start) {
    BitReader r(bytes(d));
    for (size_t pos = 0; pos < start;) {
      auto step = static_cast<uint16_t>(std::min<size_t>(64, start - pos));
      ASSERT_TRUE(r.read_u64(step));
      pos += step;
    }
    EXPECT_EQ(*r.read_u64(64), reference_read(d, start, 64)) << "at bit " << start;
  }
}

TEST(BitReader, RandomWidthSequencesMatchTheDefinitionUpToTheLastByte) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> d(1 + rng() % 23);
    for (auto& b : d) b = static_cast<uint8_t>(rng());
    BitReader r(bytes(d));
    size_t pos = 0;
    for (;;) {
      unsigned w = static_cast<unsigned>(rng() % 65);
      auto v = r.read_u64(static_cast<uint16_t>(w));
      if (pos + w > d.size() * 8) {
        ASSERT_FALSE(v);
        EXPECT_EQ(r.position(), pos);
        break;
      }
      ASSERT_TRUE(v);
      EXPECT_EQ(*v, reference_read(d, pos, w));
      pos += w;
    }
  }
}

TEST(BitReader, ReadBytesLeftAlignsAPartialLastByte) {
  std::vector<uint8_t> d{0x41, 0x42, 0xF0};
  BitReader r(bytes(d));
  auto v = r.read_bytes(20);
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, (std::vector<uint8_t>{0x41, 0x42, 0xF0}));
  EXPECT_EQ(r.position(), 20u);
  EXPECT_TRUE(r.read_bytes(0)->empty());
}

struct ReadBytesFailure {
  uint16_t width;
  const char* text;
};

class ReadBytesFailures : public testing::TestWithParam<ReadBytesFailure> {};

TEST_P(ReadBytesFailures, NameTheFailingByteRead) {
  std::vector<uint8_t> d{0xFF};
  BitReader r(bytes(d));
  auto v = r.read_bytes(GetParam().width);
  ASSERT_FALSE(v);
  EXPECT_EQ(v.error().message, GetParam().text);
  EXPECT_EQ(r.position(), 8u);  // after the last whole byte read
}

INSTANTIATE_TEST_SUITE_P(
    BitReader, ReadBytesFailures,
    testing::Values(ReadBytesFailure{16, "not enough bits while reading section 4 at bit 8 for width 8 (8 bits available)"},
                    ReadBytesFailure{12, "not enough bits while reading section 4 at bit 8 for width 4 (8 bits available)"}));
