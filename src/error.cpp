#include "error.hpp"

#include <cstring>

#include "descriptor.hpp"

namespace tarvane {

BufrError BufrError::unsupported_edition(uint8_t edition) {
  BufrError e(ErrorKind::UnsupportedEdition);
  e.edition = edition;
  return e;
}

BufrError BufrError::length_mismatch(uint64_t declared, uint64_t actual) {
  BufrError e(ErrorKind::LengthMismatch);
  e.declared = declared;
  e.actual = actual;
  return e;
}

BufrError BufrError::truncated(uint64_t offset, uint8_t section) {
  BufrError e(ErrorKind::TruncatedSection);
  e.offset = offset;
  e.section = section;
  return e;
}

static BufrError with_code(ErrorKind kind, uint32_t code) {
  BufrError e(kind);
  e.code = code;
  return e;
}

BufrError BufrError::sequence_not_found(uint32_t code) { return with_code(ErrorKind::SequenceNotFound, code); }
BufrError BufrError::incomplete_delayed_replication(uint32_t code) {
  return with_code(ErrorKind::IncompleteDelayedReplication, code);
}
BufrError BufrError::unsupported_replication(uint32_t code) {
  return with_code(ErrorKind::UnsupportedReplication, code);
}
BufrError BufrError::element_not_found(uint32_t code) { return with_code(ErrorKind::ElementNotFound, code); }

BufrError BufrError::parse(std::string message) {
  BufrError e(ErrorKind::Parse);
  e.message = std::move(message);
  return e;
}

BufrError BufrError::encode(std::string message) {
  BufrError e(ErrorKind::Encode);
  e.message = std::move(message);
  return e;
}

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

BufrError BufrError::io_errno(int err) {
  BufrError e(ErrorKind::Io);
  e.message = os_error_text(err);
  return e;
}

BufrError BufrError::io_message(std::string message) {
  BufrError e(ErrorKind::Io);
  e.message = std::move(message);
  return e;
}

std::string BufrError::display() const {
  switch (kind) {
    case ErrorKind::TooShort:
      return "message is too short to be BUFR";
    case ErrorKind::MissingMarker:
      return "missing BUFR marker";
    case ErrorKind::UnsupportedEdition:
      return "unsupported BUFR edition " + std::to_string(edition) + "; only edition 4 is implemented";
    case ErrorKind::LengthMismatch:
      return "declared length " + std::to_string(declared) + " does not match buffer length " +
             std::to_string(actual);
    case ErrorKind::TruncatedSection:
      return "section " + std::to_string(section) + " at offset " + std::to_string(offset) + " is truncated";
    case ErrorKind::BadTerminator:
      return "section 5 terminator is not 7777";
    case ErrorKind::OddDescriptorArea:
      return "section 3 descriptor area has odd byte count";
    case ErrorKind::SequenceNotFound:
      return "descriptor " + code_text(code) + " was not found in Table D";
    case ErrorKind::IncompleteDelayedReplication:
      return "delayed replication descriptor " + code_text(code) +
             " is missing its replication factor or replicated descriptors";
    case ErrorKind::UnsupportedReplication:
      return "unsupported replication descriptor " + code_text(code);
    case ErrorKind::ElementNotFound:
      return "descriptor " + code_text(code) + " was not found in Table B";
    case ErrorKind::Parse:
      return "csv/table parse error: " + message;
    case ErrorKind::Io:
      return "io error: " + message;
    case ErrorKind::Encode:
      return message;
  }
  return "unknown error";
}

}  // namespace tarvane
