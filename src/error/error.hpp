// BufrError: the one error type of the core. Every operation below the Python
// boundary returns its result or one BufrError; the first error ends the
// operation. Messages are rendered only when the error reaches a caller.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace vantrel {

enum class ErrorKind : std::uint8_t {
  MessageTooShort,               // "message is too short to be BUFR"
  MissingMarker,                 // "missing BUFR marker"
  UnsupportedEdition,            // edition in `a`
  LengthMismatch,                // declared in `a`, actual in `b`
  TruncatedSection,              // section in `a`, offset in `b`
  BadTerminator,                 // "section 5 terminator is not 7777"
  OddDescriptorBytes,            // "section 3 descriptor area has odd byte count"
  SequenceNotFound,              // descriptor code in `a`
  IncompleteDelayedReplication,  // descriptor code in `a`
  UnsupportedReplication,        // descriptor code in `a`
  ElementNotFound,               // descriptor code in `a`
  Parse,                         // free text in `text`
  Io,                            // operating-system or reader text in `text`
  // Not a decoding failure: a value sink refused a value (for example the
  // Python sink ran out of memory and has already set the Python exception).
  SinkAborted,
};

class [[nodiscard]] BufrError {
 public:
  static BufrError message_too_short() { return BufrError(ErrorKind::MessageTooShort); }
  static BufrError missing_marker() { return BufrError(ErrorKind::MissingMarker); }
  static BufrError unsupported_edition(std::uint8_t edition) {
    return BufrError(ErrorKind::UnsupportedEdition, edition);
  }
  static BufrError length_mismatch(std::uint64_t declared, std::uint64_t actual) {
    return BufrError(ErrorKind::LengthMismatch, declared, actual);
  }
  static BufrError truncated_section(std::uint8_t section, std::uint64_t offset) {
    return BufrError(ErrorKind::TruncatedSection, section, offset);
  }
  static BufrError bad_terminator() { return BufrError(ErrorKind::BadTerminator); }
  static BufrError odd_descriptor_bytes() { return BufrError(ErrorKind::OddDescriptorBytes); }
  static BufrError sequence_not_found(std::uint32_t code) {
    return BufrError(ErrorKind::SequenceNotFound, code);
  }
  static BufrError incomplete_delayed_replication(std::uint32_t code) {
    return BufrError(ErrorKind::IncompleteDelayedReplication, code);
  }
  static BufrError unsupported_replication(std::uint32_t code) {
    return BufrError(ErrorKind::UnsupportedReplication, code);
  }
  static BufrError element_not_found(std::uint32_t code) {
    return BufrError(ErrorKind::ElementNotFound, code);
  }
  static BufrError parse(std::string text) { return BufrError(ErrorKind::Parse, std::move(text)); }
  static BufrError io(std::string text) { return BufrError(ErrorKind::Io, std::move(text)); }
  // An Io error for an operating-system error number: "<strerror> (os error N)".
  static BufrError os(int errnum);
  static BufrError sink_aborted() { return BufrError(ErrorKind::SinkAborted); }

  ErrorKind kind() const { return kind_; }
  // The detail text of Parse and Io errors (without the kind's prefix).
  const std::string& text() const { return text_; }
  // The full message as users see it. Rendering never fails.
  std::string message() const;

 private:
  explicit BufrError(ErrorKind kind, std::uint64_t a = 0, std::uint64_t b = 0)
      : kind_(kind), a_(a), b_(b) {}
  BufrError(ErrorKind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  ErrorKind kind_;
  std::uint64_t a_ = 0;  // first datum: edition, declared length, section or code
  std::uint64_t b_ = 0;  // second datum: actual length or offset
  std::string text_;     // Parse and Io detail text
};

// A value or the error that stopped the operation. Ignoring one would ignore
// the error, so every Result and Status must be used (or cast to void where
// a failure is acceptable, with a comment saying why).
template <class T>
class [[nodiscard]] Result : public std::expected<T, BufrError> {
 public:
  using std::expected<T, BufrError>::expected;
  Result() = default;
};
using Status = Result<void>;

inline std::unexpected<BufrError> fail(BufrError error) { return std::unexpected(std::move(error)); }

// "<strerror(errnum)> (os error N)", the operating system's text for an error number.
std::string os_error_text(int errnum);

}  // namespace vantrel

// Propagates the error of a Result or Status expression.
#define VANTREL_TRY(expr)                                               \
  do {                                                                  \
    auto&& vantrel_try_result_ = (expr);                                \
    if (!vantrel_try_result_) [[unlikely]]                              \
      return ::std::unexpected(::std::move(vantrel_try_result_.error())); \
  } while (0)

#define VANTREL_CONCAT_INNER(a, b) a##b
#define VANTREL_CONCAT(a, b) VANTREL_CONCAT_INNER(a, b)
// `VANTREL_ASSIGN(auto x, f());` declares x from the value of a Result or
// propagates its error.
#define VANTREL_ASSIGN(decl, expr) VANTREL_ASSIGN_IMPL(VANTREL_CONCAT(vantrel_assign_, __LINE__), decl, expr)
#define VANTREL_ASSIGN_IMPL(tmp, decl, expr)                   \
  auto tmp = (expr);                                           \
  if (!tmp) [[unlikely]]                                       \
    return ::std::unexpected(::std::move(tmp.error()));        \
  decl = ::std::move(*tmp)
