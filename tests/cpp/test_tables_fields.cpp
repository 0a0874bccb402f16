// Field parsers and the CSV record reader of the table loaders.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tables/csv.hpp"
#include "tables/loaders.hpp"
#include "tables/table_text.hpp"
#include "test_tables_util.hpp"

namespace tarvane {
namespace {

using testing::error_text;

struct CodeCase {
  std::string text;
  uint32_t value;
  std::string error;  // display text; empty when the parse succeeds
};

TEST(ParseCode, AcceptsAndRejects) {
  const std::vector<CodeCase> cases = {
      {"001001", 1001, ""},
      {"301011", 301011, ""},
      {"  \"001001\"  ", 1001, ""},
      {"\"\"001001\"", 1001, ""},
      {"+7", 7, ""},
      {"\t12101\r\n", 12101, ""},
      {"\xE3\x80\x80" "5\xC2\xA0", 5, ""},  // ideographic and no-break spaces are white space
      {"1234567", 1234567, ""},
      {"4294967295", 4294967295u, ""},
      {"", 0, "csv/table parse error: bad descriptor code \"\": cannot parse integer from empty string"},
      {" \"\" ", 0, "csv/table parse error: bad descriptor code \" \\\"\\\" \": cannot parse integer from empty string"},
      {"abc", 0, "csv/table parse error: bad descriptor code \"abc\": invalid digit found in string"},
      {"-1", 0, "csv/table parse error: bad descriptor code \"-1\": invalid digit found in string"},
      {"+", 0, "csv/table parse error: bad descriptor code \"+\": invalid digit found in string"},
      {"00 1001", 0, "csv/table parse error: bad descriptor code \"00 1001\": invalid digit found in string"},
      {"4294967296", 0,
       "csv/table parse error: bad descriptor code \"4294967296\": number too large to fit in target type"},
      // Read from the left: the overflow comes before the letter.
      {"99999999999x", 0,
       "csv/table parse error: bad descriptor code \"99999999999x\": number too large to fit in target type"},
      {"1x99999999999", 0, "csv/table parse error: bad descriptor code \"1x99999999999\": invalid digit found in string"},
      {"a\tb", 0, "csv/table parse error: bad descriptor code \"a\\tb\": invalid digit found in string"},
  };
  for (const CodeCase& c : cases) {
    auto r = parse_code(c.text);
    if (c.error.empty()) {
      ASSERT_TRUE(r) << c.text << ": " << error_text(r);
      EXPECT_EQ(*r, c.value) << c.text;
    } else {
      EXPECT_EQ(error_text(r), c.error) << c.text;
    }
  }
}

TEST(ParseIntegers, RangesSignsAndReasons) {
  EXPECT_EQ(*parse_i32("-2"), -2);
  EXPECT_EQ(*parse_i32("+2"), 2);
  EXPECT_EQ(*parse_i32("-2147483648"), INT32_MIN);
  EXPECT_EQ(*parse_i64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(*parse_i64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(*parse_u16("65535"), 65535);
  EXPECT_EQ(*parse_u16("007"), 7);

  const std::vector<std::pair<std::string, std::string>> failures = {
      {error_text(parse_i32("")), "csv/table parse error: bad i32 \"\": cannot parse integer from empty string"},
      {error_text(parse_i32(" 0")), "csv/table parse error: bad i32 \" 0\": invalid digit found in string"},
      {error_text(parse_i32("-")), "csv/table parse error: bad i32 \"-\": invalid digit found in string"},
      {error_text(parse_i32("2147483648")),
       "csv/table parse error: bad i32 \"2147483648\": number too large to fit in target type"},
      {error_text(parse_i32("-2147483649")),
       "csv/table parse error: bad i32 \"-2147483649\": number too small to fit in target type"},
      {error_text(parse_i64("-9223372036854775809")),
       "csv/table parse error: bad i64 \"-9223372036854775809\": number too small to fit in target type"},
      {error_text(parse_i64("1e3")), "csv/table parse error: bad i64 \"1e3\": invalid digit found in string"},
      {error_text(parse_u16("7a")), "csv/table parse error: bad u16 \"7a\": invalid digit found in string"},
      {error_text(parse_u16("-2")), "csv/table parse error: bad u16 \"-2\": invalid digit found in string"},
      {error_text(parse_u16("65536")),
       "csv/table parse error: bad u16 \"65536\": number too large to fit in target type"},
      {error_text(parse_u16("7 ")), "csv/table parse error: bad u16 \"7 \": invalid digit found in string"},
  };
  for (const auto& [got, want] : failures) EXPECT_EQ(got, want);
}

TEST(TableText, TrimAndWordsUseUnicodeWhiteSpace) {
  EXPECT_EQ(trim_ws("\xE2\x80\x83 a b\xE2\x80\xA8\t"), "a b");  // em space, line separator
  EXPECT_EQ(trim_ws("\xE2\x80\x8B" "a"), "\xE2\x80\x8B" "a");    // zero-width space is not white space
  EXPECT_EQ(trim_ws(" \t "), "");
  std::vector<std::string_view> words;
  size_t pos = 0;
  std::string_view w;
  std::string_view line = "2   2\tMixed\xC2\x85\xE2\x81\x9Fstation ";
  while (next_word(line, pos, w)) words.push_back(w);
  EXPECT_EQ(words, (std::vector<std::string_view>{"2", "2", "Mixed", "station"}));
}

// Reads every record of text, or the reader's error.
Result<std::vector<std::vector<std::string>>> read_all(std::string_view text, CsvSettings settings) {
  CsvReader reader(text, settings);
  std::vector<std::vector<std::string>> records;
  std::vector<std::string_view> fields;
  for (;;) {
    TARVANE_TRY(bool more, reader.next(fields));
    if (!more) return records;
    records.emplace_back(fields.begin(), fields.end());
  }
}

using Records = std::vector<std::vector<std::string>>;

TEST(CsvReader, QuotingTerminatorsAndComments) {
  CsvSettings bar{'|', true};
  auto r = read_all("#h|e|a|d\na|\"b|c\"|d\r\n\r\n\"x\"\"y\"|\"multi\nline\"|z\r# c\rp|\"q\"r|\n", bar);
  ASSERT_TRUE(r) << error_text(r);
  EXPECT_EQ(*r, (Records{{"a", "b|c", "d"}, {"x\"y", "multi\nline", "z"}, {"p", "qr", ""}}));

  // A quote inside an unquoted field is text; a line of spaces is a record.
  auto spaces = read_all("a\"b\n   \n", CsvSettings{',', false});
  ASSERT_TRUE(spaces);
  EXPECT_EQ(*spaces, (Records{{"a\"b"}, {"   "}}));

  // Without comments a '#' line is data; the last record needs no terminator.
  auto hash = read_all("#x,y\n1,2", CsvSettings{',', false});
  ASSERT_TRUE(hash);
  EXPECT_EQ(*hash, (Records{{"#x", "y"}, {"1", "2"}}));

  auto empty = read_all("\n\r\n# only a comment\n", bar);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());

  // A byte order mark does not belong to the first field, nor hide a comment.
  auto bom = read_all("\xEF\xBB\xBF# head\na|b\n", bar);
  ASSERT_TRUE(bom);
  EXPECT_EQ(*bom, (Records{{"a", "b"}}));

  // NUL bytes are ordinary text.
  auto nul = read_all(std::string_view("a\0b|c\n", 6), bar);
  ASSERT_TRUE(nul);
  EXPECT_EQ((*nul)[0][0], std::string("a\0b", 3));
}

TEST(CsvReader, ErrorsNameRecordLineByteAndField) {
  CsvSettings bar{'|', true};
  // Record 2 starts on line 4 at byte 16 (the comment line is not a record).
  EXPECT_EQ(error_text(read_all("a|b|c\nd|e|f\n# c\ng|h\n", bar)),
            "csv/table parse error: CSV error: record 2 (line: 4, byte: 16): found record with 2 fields, but the "
            "previous record has 3 fields");
  // The count is compared with the first record's, also after CR LF lines.
  EXPECT_EQ(error_text(read_all("a,b\r\nc,d\r\ne,f,g\r\n", CsvSettings{',', false})),
            "csv/table parse error: CSV error: record 2 (line: 3, byte: 10): found record with 3 fields, but the "
            "previous record has 2 fields");
  EXPECT_EQ(error_text(read_all("ok|ok\nx|ab\xFF" "c\n", bar)),
            "csv/table parse error: CSV parse error: record 1 (line 2, field: 1, byte: 6): invalid utf-8: invalid "
            "UTF-8 in field 1 near byte index 2");
  // A truncated multi-byte sequence at the end of a field.
  EXPECT_EQ(error_text(read_all("\xC3|x\n", bar)),
            "csv/table parse error: CSV parse error: record 0 (line 1, field: 0, byte: 0): invalid utf-8: invalid "
            "UTF-8 in field 0 near byte index 0");
  EXPECT_EQ(error_text(read_all("a|b\nc|\"never closed\nd|e\n", bar)),
            "csv/table parse error: CSV parse error: record 1 (line 2, field: 1, byte: 4): quoted field is not "
            "closed before the end of the file");
}

TEST(CsvReader, VeryLongLineIsOneRecord) {
  std::string text(1 << 20, 'x');
  text += "|y\n";
  auto r = read_all(text, CsvSettings{'|', true});
  ASSERT_TRUE(r);
  ASSERT_EQ(r->size(), 1u);
  EXPECT_EQ((*r)[0][0].size(), size_t{1} << 20);
  EXPECT_EQ((*r)[0][1], "y");
}

}  // namespace
}  // namespace tarvane
