#include "reencode.hpp"

#include <memory>
#include <string>

#include "../data/decode.hpp"

namespace tarvane {

std::span<const uint8_t> local_section_of(const BufrMessage& m, std::span<const uint8_t> bytes) {
  if (!m.local_section_present || m.section2_length < 4) return {};
  return bytes.subspan(8 + m.section1_length + 4, m.section2_length - 4);
}

namespace {

// Where subset i's records begin and end.
std::pair<size_t, size_t> subset_range(const DecodeResult& r, const BufrMessage& m, size_t i) {
  if (!m.compressed_data) {
    const size_t last = i + 1 < r.subset_starts.size() ? r.subset_starts[i + 1] : r.values.size();
    return {r.subset_starts[i], last};
  }
  const size_t each = r.values.size() / m.number_of_subsets;
  return {i * each, (i + 1) * each};
}

}  // namespace

Result<std::vector<uint8_t>> reencode_message(std::span<const uint8_t> source, const BufrMessage& header,
                                              const TableSet& tables, std::optional<size_t> only_subset) {
  TARVANE_TRY(const BufrMessage m, parse_message_any_edition(source));
  TARVANE_TRY(const DecodeResult decoded, decode_uncompressed_values(m, tables, section4_payload(m, source)));
  size_t first = 0;
  size_t count = m.number_of_subsets;
  if (only_subset) {
    if (*only_subset >= count)
      return fail(BufrError::parse("no subset " + std::to_string(*only_subset) + " in a message of " +
                                   std::to_string(count)));
    first = *only_subset;
    count = 1;
  }
  std::vector<std::unique_ptr<RecordSource>> sources;
  std::vector<ValueSource*> pointers;
  for (size_t i = first; i < first + count; ++i) {
    const auto [begin, end] = subset_range(decoded, m, i);
    sources.push_back(std::make_unique<RecordSource>(decoded, begin, end));
    pointers.push_back(sources.back().get());
  }
  TARVANE_TRY(const std::vector<uint8_t> data,
              encode_data(m.unexpanded_descriptors, tables, pointers, header.compressed_data));
  for (const auto& s : sources) {
    if (s->remaining() != 0) return fail(BufrError::parse("the decoded records do not follow the descriptors"));
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
