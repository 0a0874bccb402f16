// Decoded records as the values to write: each record in turn.
#include <string>

#include "../data/element.hpp"
#include "../data/unpack.hpp"
#include "../descriptor.hpp"
#include "encode.hpp"
#include "value_coding.hpp"

namespace tarvane {

namespace {

BufrError record_error(size_t index, const std::string& what) {
  return BufrError::encode("record " + std::to_string(index) + " " + what);
}

Result<const DecodedValue*> take(const RecordSource& source, size_t& next, size_t last, uint32_t code) {
  if (next >= last) return fail(record_error(source.record_number(next), "is past the records given: the template needs " + code_text(code)));
  const DecodedValue& v = *source.record(next);
  if (v.descriptor != code) {
    return fail(record_error(source.record_number(next), "is " + code_text(v.descriptor) + " where the template has " + code_text(code)));
  }
  next += 1;
  return &v;
}

}  // namespace

Result<int64_t> ValueSource::new_reference(uint32_t code, int32_t) {
  return fail(BufrError::encode("no new reference value is given for " + code_text(code)));
}

Result<EncodeValue> RecordSource::next(uint32_t code, const ElementInfo* info) {
  TARVANE_TRY(const DecodedValue* v, take(*this, next_, last_, code));
  EncodeValue out;
  if (const PackedColumn* p = packed(next_ - 1)) {
    const uint64_t inc = packed_increment(*p, payload_, subset_);
    out.missing = p->missing_allowed && inc == all_ones(p->nb);
    if (!out.missing) {
      out.raw = p->r0 + inc;
      out.value = scaled_value(*out.raw, p->reference, p->scale);
    }
    return out;
  }
  const bool text = (info != nullptr && info->is_text) || code / 100000 == 2;
  if (text) {
    out.text = result_->raw_text(*v);
    out.missing = !out.text;
  } else if (!v->has_value || !v->has_raw) {
    // A compressed missing value keeps R0 as its raw: not the coded bits.
    out.missing = true;
  } else {
    out.raw = v->raw;
    out.value = v->value;
  }
  return out;
}

Result<uint64_t> RecordSource::factor(uint32_t, uint32_t factor_code) {
  size_t at = next_;
  TARVANE_TRY(const DecodedValue* v, take(*this, at, last_, factor_code));
  return repetition_count(numeric_value(*v));
}

Status RecordSource::skip_operator(uint32_t code) {
  TARVANE_TRY(const DecodedValue* v, take(*this, next_, last_, code));
  (void)v;
  return {};
}

Result<int64_t> RecordSource::new_reference(uint32_t code, int32_t scale) {
  for (size_t i = next_; i < last_; ++i) {
    const DecodedValue& v = *record(i);
    if (v.descriptor != code || !v.has_value || !v.has_raw) continue;
    const std::optional<__int128> n = exact_integer(v.value, scale);
    if (!n) break;
    return static_cast<int64_t>(*n - static_cast<__int128>(v.raw));
  }
  return 0;
}

}  // namespace tarvane
