#include <gtest/gtest.h>

#include <cerrno>

#include "descriptor.hpp"
#include "error.hpp"

using tarvane::BufrError;

struct DisplayCase {
  BufrError error;
  const char* text;
};

class ErrorDisplay : public testing::TestWithParam<DisplayCase> {};

TEST_P(ErrorDisplay, MatchesTheVariantText) { EXPECT_EQ(GetParam().error.display(), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    AllVariants, ErrorDisplay,
    testing::Values(
        DisplayCase{BufrError::too_short(), "message is too short to be BUFR"},
        DisplayCase{BufrError::missing_marker(), "missing BUFR marker"},
        DisplayCase{BufrError::unsupported_edition(3), "unsupported BUFR edition 3; only edition 4 is implemented"},
        DisplayCase{BufrError::length_mismatch(21, 20), "declared length 21 does not match buffer length 20"},
        DisplayCase{BufrError::truncated(23, 0), "section 0 at offset 23 is truncated"},
        DisplayCase{BufrError::bad_terminator(), "section 5 terminator is not 7777"},
        DisplayCase{BufrError::odd_descriptor_area(), "section 3 descriptor area has odd byte count"},
        DisplayCase{BufrError::sequence_not_found(301011), "descriptor 301011 was not found in Table D"},
        DisplayCase{BufrError::incomplete_delayed_replication(102000),
                    "delayed replication descriptor 102000 is missing its replication factor or replicated "
                    "descriptors"},
        DisplayCase{BufrError::unsupported_replication(100000), "unsupported replication descriptor 100000"},
        DisplayCase{BufrError::element_not_found(1001), "descriptor 001001 was not found in Table B"},
        DisplayCase{BufrError::parse("invalid descriptor 400000"), "csv/table parse error: invalid descriptor 400000"},
        DisplayCase{BufrError::io_errno(ENOENT), "io error: No such file or directory (os error 2)"},
        DisplayCase{BufrError::io_message("file name contained an unexpected NUL byte"),
                    "io error: file name contained an unexpected NUL byte"}));

TEST(DescriptorCodes, SplitJoinAndText) {
  auto p = tarvane::split_code(301011);
  EXPECT_EQ(p.f, 3u);
  EXPECT_EQ(p.x, 1u);
  EXPECT_EQ(p.y, 11u);
  EXPECT_EQ(tarvane::make_code(0, 1, 1), 1001u);
  EXPECT_EQ(tarvane::code_from_section3(0xC1, 0x0B), 301011u);
  EXPECT_EQ(tarvane::code_from_section3(0x00, 0x01), 1u);
  EXPECT_EQ(tarvane::code_from_section3(0xFF, 0xFF), 363255u);
  EXPECT_EQ(tarvane::code_text(1001), "001001");
  EXPECT_EQ(tarvane::code_text(0), "000000");
  EXPECT_EQ(tarvane::code_text(1234567), "1234567");
  EXPECT_TRUE(tarvane::is_class31(31031));
  EXPECT_TRUE(tarvane::is_class31(131000));
  EXPECT_FALSE(tarvane::is_class31(30999));
  EXPECT_FALSE(tarvane::is_class31(32000));
}
