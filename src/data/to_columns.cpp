#include "to_columns.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <unordered_map>

#include "../tables/flag_meaning.hpp"
#include "decode.hpp"
#include "unpack.hpp"
#include "walk.hpp"

namespace tarvane {

namespace {
// Below this, the allocator's heap: its freed pages are reused by the next
// decode instead of faulted in afresh (a page fault per 4 KiB cost a quarter
// of a large satellite message's decode). Above it, a mapping of its own
// that munmap returns to the system at once, so one huge message does not
// leave the heap swollen for the life of the process.
constexpr size_t kMapThreshold = size_t{16} << 20;
}  // namespace

ColumnStorage ColumnStorage::allocate(size_t bytes, StorageSource* source) {
  ColumnStorage s;
  if (bytes == 0) return s;
  if (source != nullptr && (s.data_ = source->take(bytes, s.bytes_)) != nullptr) {
    s.source_ = source;
    return s;
  }
  if (bytes >= kMapThreshold) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    s.data_ = p;
    s.mapped_ = true;
  } else {
    s.data_ = std::malloc(bytes);
    if (s.data_ == nullptr) throw std::bad_alloc();
  }
  s.bytes_ = bytes;
  return s;
}

ColumnStorage::~ColumnStorage() {
  if (data_ == nullptr) return;
  if (source_ != nullptr) {
    source_->give_back(data_, bytes_);
  } else if (mapped_) {
    munmap(data_, bytes_);
  } else {
    std::free(data_);
  }
}

namespace {

// One output row from a record: the dense columns (those allocated), and
// the sparse texts and meanings. A flag element's meaning is that of its set
// bits, made here rather than by the decoders, whose records keep the
// table's own entry.
class ColumnWriter {
 public:
  // full: with raw and the meanings.
  ColumnWriter(MessageColumns& out, const TableSet& tables, const std::vector<std::string>& texts, size_t n,
               bool full)
      : out_(out), texts_(texts), descriptor_(out.descriptor.size ? out.descriptor.data() : nullptr),
        value_(out.value.data()), raw_(full ? out.raw.data() : nullptr), full_(full) {
    // Meanings are written only when full: without them, neither the flag
    // slots nor the reserved room would be used.
    if (!full) return;
    flags_.emplace(tables);
    // Code-table elements are common; growing from nothing costs more than
    // a modest first guess.
    const size_t guess = std::min<size_t>(n, 4096);
    out_.meaning_records.reserve(guess);
    out_.meaning_ids.reserve(guess);
  }

  // The element of code when it is a flag element with a table, else
  // nullptr (always, where meanings are not written).
  const ElementInfo* flag_element(uint32_t code) { return full_ ? flags_->find(code) : nullptr; }

  // flag: flag_element(v.descriptor), which a caller writing a column of
  // one element finds once.
  void write(size_t i, const DecodedValue& v, const ElementInfo* flag) {
    if (descriptor_ != nullptr) descriptor_[i] = v.descriptor;
    const bool number = v.has_value && v.has_raw;
    value_[i] = number ? v.value : std::numeric_limits<double>::quiet_NaN();
    if (raw_ != nullptr) raw_[i] = number ? v.raw : 0;
    if (v.text != DecodedValue::kNoText) [[unlikely]] {
      out_.text_records.push_back(static_cast<uint32_t>(i));
      out_.texts.push_back(texts_[v.text]);  // a constant compressed column shares one text
    }
    if (flag != nullptr) [[unlikely]] {
      write_flag(i, v, *flag);
    } else if (v.meaning != nullptr && full_) {
      if (v.meaning != last_meaning_) {
        last_meaning_ = v.meaning;
        last_id_ = meaning_id(v.meaning);
      }
      out_.meaning_records.push_back(static_cast<uint32_t>(i));
      out_.meaning_ids.push_back(last_id_);
    }
  }

 private:
  static constexpr uint32_t kNoMeaning = UINT32_MAX;
  struct FlagKey {
    uint32_t code;
    uint64_t raw;
    bool operator==(const FlagKey&) const = default;
  };
  struct FlagKeyHash {
    size_t operator()(const FlagKey& k) const {
      return ((k.raw ^ (uint64_t{k.code} << 32)) * 0x9E3779B97F4A7C15ull) >> 40;
    }
  };
  struct FlagHit {
    FlagKey key{UINT32_MAX, 0};  // no descriptor code
    uint32_t id = kNoMeaning;
  };

  MessageColumns& out_;
  const std::vector<std::string>& texts_;
  uint32_t* descriptor_;
  double* value_;
  uint64_t* raw_;
  bool full_;
  // Each distinct value of a flag element is read once per message. Out of
  // line, so that write keeps its few registers.
  [[gnu::noinline]] void write_flag(size_t i, const DecodedValue& v, const ElementInfo& flag) {
    if (!v.has_value) return;  // missing
    // Most flag values repeat (indicators, quality flags): a small cache
    // in front of the map of every value met.
    const FlagKey key{v.descriptor, v.raw};
    FlagHit& hit = recent_flags_[FlagKeyHash{}(key) & (recent_flags_.size() - 1)];
    if (!(hit.key == key)) [[unlikely]]
      hit = FlagHit{key, flag_id(key, flag)};
    if (hit.id == kNoMeaning) return;
    out_.meaning_records.push_back(static_cast<uint32_t>(i));
    out_.meaning_ids.push_back(hit.id);
  }

  // A message has a few distinct meanings, often many: a short list first,
  // a map once it grows. Flag meanings share the list of texts, so each
  // entry keeps its own id.
  uint32_t meaning_id(const std::string* meaning) {
    if (meaning_ids_.empty()) {
      for (const auto& [seen, id] : seen_) {
        if (seen == meaning) return id;
      }
      if (seen_.size() < kShortList) return seen_.emplace_back(meaning, add_meaning(*meaning)).second;
      for (const auto& [seen, id] : seen_) meaning_ids_.emplace(seen, id);
    }
    auto [it, added] = meaning_ids_.try_emplace(meaning, 0);
    if (added) it->second = add_meaning(*meaning);
    return it->second;
  }
  uint32_t add_meaning(std::string meaning) {
    out_.meanings.push_back(std::move(meaning));
    return static_cast<uint32_t>(out_.meanings.size() - 1);
  }

  uint32_t flag_id(const FlagKey& key, const ElementInfo& flag) {
    auto [it, added] = flag_ids_.try_emplace(key, kNoMeaning);
    if (added) {
      if (auto meaning = flag_meaning(*flag.codes, flag.def->width, key.raw)) it->second = add_meaning(std::move(*meaning));
    }
    return it->second;
  }

  static constexpr size_t kShortList = 16;
  std::vector<std::pair<const std::string*, uint32_t>> seen_;
  std::unordered_map<const std::string*, uint32_t> meaning_ids_;
  const std::string* last_meaning_ = nullptr;
  uint32_t last_id_ = 0;

  std::optional<FlagElements> flags_;  // only where meanings are written
  std::unordered_map<FlagKey, uint32_t, FlagKeyHash> flag_ids_;
  std::array<FlagHit, 32> recent_flags_{};
};

void allocate(MessageColumns& out, size_t n, bool full, StorageSource* source) {
  out.subset = Column<uint32_t>::make(n, source);
  out.descriptor = Column<uint32_t>::make(n, source);
  out.value = Column<double>::make(n, source);
  if (full) out.raw = Column<uint64_t>::make(n, source);
}

BufrError too_many_values() { return BufrError::parse("decoded output exceeds 4294967295 values"); }

// Values written per block of subsets, so that the places a block's
// columns write, stride apart, stay in cache until every column has
// written them.
constexpr size_t kBlockValues = size_t{1} << 14;

// How the columns of a compressed message reach the output.
struct ColumnPlan {
  std::vector<size_t> packed;    // unpacked from the payload
  std::vector<size_t> constant;  // one number for every subset
  // One record per subset, or with a text or meaning: through the writer.
  std::vector<std::pair<size_t, const ElementInfo*>> records;
};

ColumnPlan plan_columns(const CompressedColumns& c, ColumnWriter& writer, bool full) {
  ColumnPlan plan;
  for (size_t k = 0; k < c.refs.size(); ++k) {
    const ColumnRef& ref = c.refs[k];
    const DecodedValue& first = c.records[ref.first];
    const ElementInfo* flag = writer.flag_element(first.descriptor);
    if (ref.packed != ColumnRef::kNotPacked) {
      plan.packed.push_back(k);
    } else if (ref.step == 0 && first.text == DecodedValue::kNoText && (first.meaning == nullptr || !full) &&
               flag == nullptr) {
      plan.constant.push_back(k);
    } else {
      plan.records.emplace_back(k, flag);
    }
  }
  return plan;
}

// Compressed data straight from the walk to the output columns, subset
// after subset: packed columns unpacked from the payload, the rest from
// their records. Descriptor and subset are left to positions.
Result<MessageColumns> decode_compressed_to_columns(const BufrMessage& message, const TableSet& tables,
                                                    std::span<const uint8_t> payload, bool full,
                                                    StorageSource* source) {
  DecodeResult result;
  DecodeContext ctx(tables, payload, result);
  ctx.subsets = message.number_of_subsets;
  ctx.columns.pack = true;
  ctx.columns.pack_coded = !full;
  TARVANE_CHECK(decode_compressed_columns(message.unexpanded_descriptors, ctx));
  const CompressedColumns& c = ctx.columns;
  const size_t subsets = message.number_of_subsets;
  const size_t columns = subsets == 0 ? 0 : c.refs.size();
  const size_t n = columns * subsets;
  if (n > std::numeric_limits<uint32_t>::max()) return fail(too_many_values());
  MessageColumns out;
  out.subsets = message.number_of_subsets;
  out.compressed = true;
  out.value = Column<double>::make(n, source);
  if (full) out.raw = Column<uint64_t>::make(n, source);
  out.positions.resize(columns);
  for (size_t k = 0; k < columns; ++k) out.positions[k] = c.records[c.refs[k].first].descriptor;
  if (n == 0) return out;
  ColumnWriter writer(out, tables, result.texts, n, full);
  const ColumnPlan plan = plan_columns(c, writer, full);
  double* value = out.value.data();
  uint64_t* raw = full ? out.raw.data() : nullptr;
  const size_t block = std::max<size_t>(16, kBlockValues / columns);
  for (size_t j0 = 0; j0 < subsets; j0 += block) {
    const size_t j1 = std::min(subsets, j0 + block);
    for (size_t k : plan.packed) {
      unpack_column(c.packed[c.refs[k].packed], payload, j0, j1, value + k, raw ? raw + k : nullptr, columns);
    }
    for (size_t k : plan.constant) {
      const DecodedValue& v = c.records[c.refs[k].first];
      const bool number = v.has_value && v.has_raw;
      fill_strided(number ? v.value : std::numeric_limits<double>::quiet_NaN(), number ? v.raw : 0, j0, j1,
                   value + k, raw ? raw + k : nullptr, columns);
    }
  }
  // Subset after subset, so that the sparse texts and meanings come in
  // record order.
  for (size_t j = 0; j < subsets && !plan.records.empty(); ++j) {
    for (const auto& [k, flag] : plan.records) {
      const ColumnRef& ref = c.refs[k];
      writer.write(j * columns + k, c.records[ref.first + j * ref.step], flag);
    }
  }
  return out;
}

// What ColumnWriter writes without raw and meanings: descriptor, value
// and the sparse texts, in one tight loop (most reads ask for no more).
void write_plain(MessageColumns& out, const DecodeResult& decoded) {
  uint32_t* descriptor = out.descriptor.data();
  double* value = out.value.data();
  const size_t n = decoded.values.size();
  for (size_t i = 0; i < n; ++i) {
    const DecodedValue& v = decoded.values[i];
    descriptor[i] = v.descriptor;
    value[i] = v.has_value && v.has_raw ? v.value : std::numeric_limits<double>::quiet_NaN();
    if (v.text != DecodedValue::kNoText) [[unlikely]] {
      out.text_records.push_back(static_cast<uint32_t>(i));
      out.texts.push_back(decoded.texts[v.text]);
    }
  }
}

}  // namespace

Result<MessageColumns> decode_columns(const BufrMessage& message, const TableSet& tables,
                                      std::span<const uint8_t> payload, DecodeResult& decoded, bool full,
                                      StorageSource* source) {
  if (message.compressed_data) return decode_compressed_to_columns(message, tables, payload, full, source);
  TARVANE_CHECK(decode_uncompressed_into(message, tables, payload, decoded));
  const size_t n = decoded.values.size();
  if (n > std::numeric_limits<uint32_t>::max()) return fail(too_many_values());
  MessageColumns out;
  out.subsets = message.number_of_subsets;
  allocate(out, n, full, source);
  // Subset numbers: uncompressed subsets start where the walk recorded.
  uint32_t* subset = out.subset.data();
  const std::vector<size_t>& starts = decoded.subset_starts;
  for (size_t s = 0; s < starts.size(); ++s) {
    const size_t end = s + 1 < starts.size() ? starts[s + 1] : n;
    for (size_t i = starts[s]; i < end; ++i) subset[i] = static_cast<uint32_t>(s + 1);
  }
  if (!full) {
    write_plain(out, decoded);
    return out;
  }
  ColumnWriter writer(out, tables, decoded.texts, n, full);
  for (size_t i = 0; i < n; ++i) {
    const DecodedValue& v = decoded.values[i];
    writer.write(i, v, writer.flag_element(v.descriptor));
  }
  return out;
}

DescriptorIndex index_descriptors(std::span<const uint32_t> descriptors) {
  DescriptorIndex out;
  out.index = Column<int32_t>::make(descriptors.size());
  int32_t* index = out.index.data();
  std::unordered_map<uint32_t, int32_t> seen;
  uint32_t last = 0;
  int32_t last_index = -1;
  for (size_t i = 0; i < descriptors.size(); ++i) {
    const uint32_t code = descriptors[i];
    if (code != last || last_index < 0) {
      auto [it, added] = seen.try_emplace(code, static_cast<int32_t>(out.codes.size()));
      if (added) out.codes.push_back(code);
      last = code;
      last_index = it->second;
    }
    index[i] = last_index;
  }
  return out;
}

}  // namespace tarvane
