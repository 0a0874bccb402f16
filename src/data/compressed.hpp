// Compressed section 4: every data item is stored once for all subsets as a
// reference R0, a 6-bit increment width NBINC and one increment per subset.
// The walk reads one column per item (a single record when the item is the
// same in every subset), then the subset-ordered output is written in one
// sweep over the columns.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "../bitstream.hpp"
#include "../error.hpp"
#include "decoded_value.hpp"
#include "element.hpp"
#include "walk.hpp"

namespace tarvane {

// Fills column (one record per subset) with a numeric item, without code
// meanings.
[[nodiscard]] Status read_compressed_numeric_column(uint32_t code, std::string_view name, uint32_t width, int64_t reference,
                                      int32_t scale, bool missing_allowed, BitReader& reader,
                                      ColumnView column);

// Fills column with the element of info, read with the given Table B width
// (a 2 25 255 marker changes it) and the reference to use
// (element_reference, or the marker's); texts go to texts_out.texts. When
// constant is given, *constant tells whether the column holds one record for
// all subsets, and such a column has only column[0] written.
[[nodiscard]] Status read_compressed_element_column(const ElementInfo& info, uint32_t table_width, int64_t reference,
                                      ValueCodingState& state, BitReader& reader, DecodeResult& texts_out,
                                      ColumnView column, bool* constant = nullptr);

// An associated field of width bits before an element; constant as for
// read_compressed_element_column.
[[nodiscard]] Status read_associated_field_column(uint8_t width, BitReader& reader, ColumnView column, bool* constant);

// A compressed text item: R0 of width bits, NBINC, then NBINC characters
// per subset when NBINC is not 0; otherwise every subset has R0's text.
// Record j (from 0) is base with its text and, when base has a value, the
// text number (first_number + j + 1) * 1000 + the width in characters.
// constant as for read_compressed_element_column.
[[nodiscard]] Status read_text_column(const DecodedValue& base, uint32_t width, uint64_t first_number, BitReader& reader,
                        DecodeResult& texts_out, ColumnView column, bool* constant = nullptr);

// A new reference value of 2 03 YYY in compressed data, for n subsets.
[[nodiscard]] Status read_compressed_new_reference(uint32_t code, size_t n, BitReader& reader, ValueCodingState& state);

// Every record of column a copy of value.
void fill_column(ColumnView column, const DecodedValue& value);

// Walks descriptors over the whole message, adding columns to ctx.columns.
[[nodiscard]] Status decode_compressed_descriptors_inner(std::span<const uint32_t> descriptors, DecodeContext& ctx,
                                           ValueCodingState& state, uint32_t depth);

}  // namespace tarvane
