#include "table_bytes.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tarvane {

namespace {

constexpr char kTag[8] = {'T', 'V', 'T', 'A', 'B', 'L', 'E', '1'};

class Writer {
 public:
  void u16(uint16_t v) { put(v, 2); }
  void u32(uint32_t v) { put(v, 4); }
  void u64(uint64_t v) { put(v, 8); }
  void text(const std::string& s) {
    u32(static_cast<uint32_t>(s.size()));
    out_ += s;
  }
  void raw(const char* p, size_t n) { out_.append(p, n); }
  std::string take() { return std::move(out_); }

 private:
  void put(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out_.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  }
  std::string out_;
};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> b) : b_(b) {}
  bool u16(uint16_t* v) { return get(v, 2); }
  bool u32(uint32_t* v) { return get(v, 4); }
  bool u64(uint64_t* v) { return get(v, 8); }
  bool text(std::string* s) {
    uint32_t n;
    if (!u32(&n) || n > left()) return false;
    s->assign(reinterpret_cast<const char*>(b_.data() + pos_), n);
    pos_ += n;
    return true;
  }
  // A count of items of at least min_size bytes each: more than could fit
  // in what is left means the bytes lie, before anything is reserved.
  bool count(uint32_t* n, size_t min_size) { return u32(n) && *n <= left() / min_size; }
  bool skip_tag() {
    if (left() < sizeof kTag || std::memcmp(b_.data(), kTag, sizeof kTag) != 0) return false;
    pos_ += sizeof kTag;
    return true;
  }
  size_t left() const { return b_.size() - pos_; }

 private:
  template <typename T>
  bool get(T* v, int n) {
    if (left() < static_cast<size_t>(n)) return false;
    uint64_t x = 0;
    for (int i = 0; i < n; ++i) x |= uint64_t{b_[pos_ + i]} << (8 * i);
    pos_ += n;
    *v = static_cast<T>(x);
    return true;
  }
  std::span<const uint8_t> b_;
  size_t pos_ = 0;
};

// Sorted by code, so that equal sets give equal bytes.
template <typename Map>
std::vector<uint32_t> sorted_codes(const Map& m) {
  std::vector<uint32_t> codes;
  codes.reserve(m.size());
  for (const auto& [code, _] : m) codes.push_back(code);
  std::sort(codes.begin(), codes.end());
  return codes;
}

Unexpected<BufrError> damaged(const char* what) {
  return fail(BufrError::parse(std::string("table bytes are damaged: ") + what));
}

}  // namespace

std::string table_set_to_bytes(const TableSet& tables) {
  Writer w;
  w.raw(kTag, sizeof kTag);
  w.u32(static_cast<uint32_t>(tables.elements.size()));
  for (uint32_t code : sorted_codes(tables.elements)) {
    const ElementDefinition& e = tables.elements.at(code);
    w.u32(e.code);
    w.text(e.abbreviation);
    w.text(e.element_type);
    w.text(e.name);
    w.text(e.unit);
    w.u32(static_cast<uint32_t>(e.scale));
    w.u64(static_cast<uint64_t>(e.reference));
    w.u16(e.width);
  }
  w.u32(static_cast<uint32_t>(tables.sequences.size()));
  for (uint32_t code : sorted_codes(tables.sequences)) {
    const SequenceDefinition& s = tables.sequences.at(code);
    w.u32(s.code);
    w.u32(static_cast<uint32_t>(s.members.size()));
    for (uint32_t m : s.members) w.u32(m);
  }
  w.u32(static_cast<uint32_t>(tables.code_tables.size()));
  for (uint32_t code : sorted_codes(tables.code_tables)) {
    const CodeTable& t = tables.code_tables.at(code);
    w.u32(code);
    w.u32(static_cast<uint32_t>(t.size()));
    std::vector<uint64_t> figures;
    figures.reserve(t.size());
    for (const auto& [figure, _] : t) figures.push_back(figure);
    std::sort(figures.begin(), figures.end());
    for (uint64_t figure : figures) {
      w.u64(figure);
      w.text(t.at(figure));
    }
  }
  return w.take();
}

Result<TableSet> table_set_from_bytes(std::span<const uint8_t> bytes) {
  TableSet tables;
  TARVANE_CHECK(add_table_bytes(tables, bytes));
  return tables;
}

Status add_table_bytes(TableSet& tables, std::span<const uint8_t> bytes) {
  Reader r(bytes);
  if (!r.skip_tag()) return damaged("not a table set");
  uint32_t n;
  // Smallest record sizes: an element is code, four empty texts, scale,
  // reference and width; a sequence is code and count; a code figure is the
  // figure and an empty text.
  if (!r.count(&n, 4 + 16 + 4 + 8 + 2)) return damaged("element count");
  tables.elements.reserve(tables.elements.size() + n);
  for (uint32_t i = 0; i < n; ++i) {
    ElementDefinition e;
    uint32_t scale;
    uint64_t reference;
    if (!r.u32(&e.code) || !r.text(&e.abbreviation) || !r.text(&e.element_type) || !r.text(&e.name) ||
        !r.text(&e.unit) || !r.u32(&scale) || !r.u64(&reference) || !r.u16(&e.width)) {
      return damaged("element");
    }
    e.scale = static_cast<int32_t>(scale);
    e.reference = static_cast<int64_t>(reference);
    tables.insert_element(std::move(e));
  }
  if (!r.count(&n, 8)) return damaged("sequence count");
  tables.sequences.reserve(tables.sequences.size() + n);
  for (uint32_t i = 0; i < n; ++i) {
    SequenceDefinition s;
    uint32_t members;
    if (!r.u32(&s.code) || !r.count(&members, 4)) return damaged("sequence");
    s.members.resize(members);
    for (uint32_t& m : s.members) r.u32(&m);  // the count was checked against what is left
    tables.insert_sequence(std::move(s));
  }
  if (!r.count(&n, 8)) return damaged("code table count");
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t code, entries;
    if (!r.u32(&code) || !r.count(&entries, 12)) return damaged("code table");
    CodeTable t;
    t.reserve(entries);
    for (uint32_t k = 0; k < entries; ++k) {
      uint64_t figure;
      std::string meaning;
      if (!r.u64(&figure) || !r.text(&meaning)) return damaged("code figure");
      t.insert_or_assign(figure, std::move(meaning));
    }
    tables.insert_code_table(code, std::move(t));
  }
  if (r.left() != 0) return damaged("bytes after the last table");
  return {};
}

}  // namespace tarvane
