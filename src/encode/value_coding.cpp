#include "value_coding.hpp"

#include <charconv>
#include <cmath>
#include <string>

#include "../descriptor.hpp"

namespace tarvane {

namespace {

std::string number_text(double v) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// The key a value was given by, where it was, then its descriptor.
std::string value_label(const EncodeValue& v, uint32_t code, std::string_view name) {
  if (v.key.empty()) return item_label(code, name);
  std::string s = std::string(v.key) + " (" + code_text(code);
  if (!name.empty()) s += ", " + std::string(name);
  return s + ")";
}

BufrError range_error(const EncodeValue& v, const NumericTarget& t, uint64_t max_raw, size_t subset) {
  std::string s = "value ";
  s += v.raw ? std::to_string(*v.raw) + " (raw)" : number_text(v.value);
  s += " of ";
  s += value_label(v, t.code, t.name);
  s += " in subset ";
  s += std::to_string(subset);
  s += " is outside [";
  if (v.raw) {
    s += "0, ";
    s += std::to_string(max_raw);
    s += "] for ";
    s += std::to_string(t.width);
    s += " bits";
  } else {
    s += number_text(scaled_value(0, t.reference, t.scale));
    s += ", ";
    s += number_text(scaled_value(max_raw, t.reference, t.scale));
    s += "]";
    if (!t.unit.empty()) {
      s += " ";
      s += t.unit;
    }
  }
  return BufrError::encode(std::move(s));
}

}  // namespace

// The integer n whose reading, n / 10^scale rounded as the reader rounds
// it, is v; the nearest integer where none is.
std::optional<__int128> exact_integer(double v, int32_t scale) {
  const double p = pow10_for_scale(scale);
  const double guess = std::nearbyint(scale == 0 ? v : v * p);
  if (!(std::fabs(guess) < 0x1p100)) return std::nullopt;
  const __int128 g = static_cast<__int128>(guess);
  for (__int128 d : {0, -1, 1, -2, 2}) {
    const double back = static_cast<double>(g + d);
    if ((scale == 0 ? back : back / p) == v) return g + d;
  }
  return g;
}

std::string item_label(uint32_t code, std::string_view name) {
  std::string s = code_text(code);
  if (!name.empty()) s += " (" + std::string(name) + ")";
  return s;
}

BufrError factor_mismatch_error(uint32_t replication, uint64_t factor, uint64_t written, size_t subset) {
  return BufrError::encode("replication factor " + std::to_string(factor) + " of " + code_text(replication) +
                           " in subset " + std::to_string(subset) + " is written as " + std::to_string(written) +
                           " by its factor element");
}

Result<CodedNumber> code_number(const EncodeValue& v, const NumericTarget& t, size_t subset, bool compressed) {
  const uint64_t ones = all_ones(t.width);
  const bool can_miss = t.missing_allowed && t.width <= 63;
  if (v.missing || (!v.raw && std::isnan(v.value))) return CodedNumber{ones, can_miss};
  // The all-ones raw reads back as missing where missing is allowed.
  const uint64_t max_raw = can_miss ? ones - 1 : ones;
  if (v.raw) {
    if (*v.raw > ones) return fail(range_error(v, t, ones, subset));
    if (!compressed && can_miss && *v.raw == ones) return fail(range_error(v, t, max_raw, subset));
    // Compressed data can hold an all-ones raw as a value: only a value
    // marked missing is.
    return CodedNumber{*v.raw, false};
  }
  const std::optional<__int128> n = exact_integer(v.value, t.scale);
  const __int128 raw = n ? *n - t.reference : -1;
  if (raw < 0 || raw > static_cast<__int128>(max_raw)) return fail(range_error(v, t, max_raw, subset));
  return CodedNumber{static_cast<uint64_t>(raw), false};
}

Result<std::optional<std::string_view>> code_text_value(const EncodeValue& v, uint32_t code, std::string_view name,
                                                        uint32_t width, size_t subset) {
  if (v.missing || !v.text) return std::optional<std::string_view>();
  if (v.text->size() * 8 > width) {
    return fail(BufrError::encode("text of " + std::to_string(v.text->size()) + " characters for " +
                                  value_label(v, code, name) + " in subset " + std::to_string(subset) +
                                  " is longer than its " + std::to_string(width / 8) + " characters"));
  }
  return v.text;
}

}  // namespace tarvane
