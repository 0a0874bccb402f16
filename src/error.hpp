// The one error type of the core, and the Result alias every fallible
// operation returns.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "expected.hpp"

namespace tarvane {

enum class ErrorKind : uint8_t {
  TooShort,
  MissingMarker,
  UnsupportedEdition,
  LengthMismatch,
  TruncatedSection,
  BadTerminator,
  OddDescriptorArea,
  SequenceNotFound,
  IncompleteDelayedReplication,
  UnsupportedReplication,
  ElementNotFound,
  Parse,
  Io,
  // Values that cannot be written as the template and the tables code them.
  Encode,
};

struct BufrError {
  ErrorKind kind = ErrorKind::Parse;
  uint64_t declared = 0;  // LengthMismatch
  uint64_t actual = 0;    // LengthMismatch
  uint64_t offset = 0;    // TruncatedSection
  uint32_t code = 0;      // descriptor errors
  uint8_t edition = 0;    // UnsupportedEdition
  uint8_t section = 0;    // TruncatedSection
  std::string message;    // Parse, Encode: free text; Io: the system's text
  // The table file or directory being loaded when a loader failed, so a
  // caller can say where; not part of the display text.
  std::string path;

  BufrError() = default;
  explicit BufrError(ErrorKind k) : kind(k) {}

  static BufrError too_short() { return BufrError(ErrorKind::TooShort); }
  static BufrError missing_marker() { return BufrError(ErrorKind::MissingMarker); }
  static BufrError bad_terminator() { return BufrError(ErrorKind::BadTerminator); }
  static BufrError odd_descriptor_area() { return BufrError(ErrorKind::OddDescriptorArea); }
  static BufrError unsupported_edition(uint8_t edition);
  static BufrError length_mismatch(uint64_t declared, uint64_t actual);
  static BufrError truncated(uint64_t offset, uint8_t section);
  static BufrError sequence_not_found(uint32_t code);
  static BufrError incomplete_delayed_replication(uint32_t code);
  static BufrError unsupported_replication(uint32_t code);
  static BufrError element_not_found(uint32_t code);
  static BufrError parse(std::string message);
  static BufrError encode(std::string message);
  // An operating-system failure: strerror text and " (os error N)".
  static BufrError io_errno(int err);
  // An I/O failure that carries no error number, shown as its own text.
  static BufrError io_message(std::string message);

  // The display text; never fails.
  std::string display() const;
};

template <typename T>
using Result = Expected<T, BufrError>;
using Status = Result<void>;

// The result with path recorded on its error, unless a deeper loader already
// named a more precise one.
template <typename T>
[[nodiscard]] Result<T> at_path(Result<T> r, const std::string& path) {
  if (!r && r.error().path.empty()) r.error().path = path;
  return r;
}

inline Unexpected<BufrError> fail(BufrError e) { return Unexpected<BufrError>(std::move(e)); }

// "strerror text (os error N)".
std::string os_error_text(int err);

}  // namespace tarvane

#define TARVANE_CONCAT_INNER(a, b) a##b
#define TARVANE_CONCAT(a, b) TARVANE_CONCAT_INNER(a, b)

// TARVANE_TRY(auto x, expr): evaluate a Result, return its error, else bind
// the value. TARVANE_CHECK(expr): the same for a Status.
#define TARVANE_TRY_IMPL(tmp, decl, expr)                   \
  auto tmp = (expr);                                        \
  if (!tmp) return ::tarvane::fail(std::move(tmp.error())); \
  decl = std::move(*tmp)
#define TARVANE_TRY(decl, expr) TARVANE_TRY_IMPL(TARVANE_CONCAT(tarvane_try_, __LINE__), decl, expr)
#define TARVANE_CHECK(expr)                                                       \
  do {                                                                            \
    auto tarvane_check_ = (expr);                                                 \
    if (!tarvane_check_) return ::tarvane::fail(std::move(tarvane_check_.error())); \
  } while (0)
