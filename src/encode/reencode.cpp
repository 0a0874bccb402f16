#include "reencode.hpp"

#include <memory>
#include <string>

#include "../data/decode.hpp"
#include "../data/walk.hpp"

namespace tarvane {

std::span<const uint8_t> local_section_of(const BufrMessage& m, std::span<const uint8_t> bytes) {
  if (!m.local_section_present || m.section2_length < 4) return {};
  return bytes.subspan(8 + m.section1_length + 4, m.section2_length - 4);
}

namespace {

// Where subset i's records begin and end (uncompressed data).
std::pair<size_t, size_t> subset_range(const DecodeResult& r, size_t i) {
  const size_t last = i + 1 < r.subset_starts.size() ? r.subset_starts[i + 1] : r.values.size();
  return {r.subset_starts[i], last};
}

// The message's records: compressed data as the reader's columns, which
// the column writer reads as they lie, without regrouping them by subset.
struct Decoded {
  DecodeResult result;
  CompressedColumns columns;
};

// pack: the columns are written compressed again, and the column writer
// reads the increments of a column left packed straight from the payload.
Status decode_for_writing(const BufrMessage& m, const TableSet& tables, std::span<const uint8_t> source, bool pack,
                          Decoded& out) {
  if (!m.compressed_data) {
    TARVANE_TRY(out.result, decode_uncompressed_values(m, tables, section4_payload(m, source)));
    return {};
  }
  DecodeContext ctx(tables, section4_payload(m, source), out.result);
  ctx.subsets = m.number_of_subsets;
  ctx.columns.pack = pack;
  ctx.columns.pack_coded = pack;
  TARVANE_CHECK(decode_compressed_columns(m.unexpanded_descriptors, ctx));
  out.columns = std::move(ctx.columns);
  return {};
}

}  // namespace

Result<std::vector<uint8_t>> reencode_message(std::span<const uint8_t> source, const BufrMessage& header,
                                              const TableSet& tables, std::optional<size_t> only_subset) {
  TARVANE_TRY(const BufrMessage m, parse_message_any_edition(source));
  Decoded decoded;
  TARVANE_CHECK(decode_for_writing(m, tables, source, header.compressed_data, decoded));
  const std::span<const uint8_t> payload = section4_payload(m, source);
  size_t first = 0;
  size_t count = m.number_of_subsets;
  if (only_subset) {
    if (*only_subset >= count)
      return fail(BufrError::parse("no subset " + std::to_string(*only_subset) + " in a message of " +
                                   std::to_string(count)));
    first = *only_subset;
    count = 1;
  }
  // Reserved in full: the pointers stay valid.
  std::vector<RecordSource> sources;
  std::vector<ValueSource*> pointers;
  sources.reserve(count);
  pointers.reserve(count);
  for (size_t i = first; i < first + count; ++i) {
    if (m.compressed_data) {
      sources.emplace_back(decoded.result, decoded.columns, i, payload);
    } else {
      const auto [begin, end] = subset_range(decoded.result, i);
      sources.emplace_back(decoded.result, begin, end);
    }
    pointers.push_back(&sources.back());
  }
  TARVANE_TRY(const std::vector<uint8_t> data,
              encode_data(m.unexpanded_descriptors, tables, pointers, header.compressed_data));
  for (const RecordSource& s : sources) {
    if (s.remaining() != 0) return fail(BufrError::parse("the decoded records do not follow the descriptors"));
  }
  BufrMessage out = header;
  out.unexpanded_descriptors = m.unexpanded_descriptors;
  out.number_of_subsets = static_cast<uint16_t>(count);
  out.observed_data = m.observed_data;
  out.local_section_present = m.local_section_present;
  // A changed edition or compression changes section 3's padding.
  out.section3_length = header.edition == m.edition ? m.section3_length : 0;
  return assemble_message(out, local_section_of(m, source), data);
}

}  // namespace tarvane
