#include "error/error.hpp"

#include <cstring>

#include "descriptor/descriptor.hpp"

namespace vantrel {

std::string os_error_text(int errnum) {
  char buffer[256];
  // GNU strerror_r returns a pointer to the text (possibly not `buffer`).
  const char* text = strerror_r(errnum, buffer, sizeof buffer);
  std::string out = text;
  out += " (os error ";
  out += std::to_string(errnum);
  out += ')';
  return out;
}

BufrError BufrError::os(int errnum) { return io(os_error_text(errnum)); }

std::string BufrError::message() const {
  std::string out;
  switch (kind_) {
    case ErrorKind::MessageTooShort:
      return "message is too short to be BUFR";
    case ErrorKind::MissingMarker:
      return "missing BUFR marker";
    case ErrorKind::UnsupportedEdition:
      return "unsupported BUFR edition " + std::to_string(a_) + "; only edition 4 is implemented";
    case ErrorKind::LengthMismatch:
      return "declared length " + std::to_string(a_) + " does not match buffer length " +
             std::to_string(b_);
    case ErrorKind::TruncatedSection:
      return "section " + std::to_string(a_) + " at offset " + std::to_string(b_) + " is truncated";
    case ErrorKind::BadTerminator:
      return "section 5 terminator is not 7777";
    case ErrorKind::OddDescriptorBytes:
      return "section 3 descriptor area has odd byte count";
    case ErrorKind::SequenceNotFound:
      out = "descriptor ";
      append_code(out, static_cast<std::uint32_t>(a_));
      out += " was not found in Table D";
      return out;
    case ErrorKind::IncompleteDelayedReplication:
      out = "delayed replication descriptor ";
      append_code(out, static_cast<std::uint32_t>(a_));
      out += " is missing its replication factor or replicated descriptors";
      return out;
    case ErrorKind::UnsupportedReplication:
      out = "unsupported replication descriptor ";
      append_code(out, static_cast<std::uint32_t>(a_));
      return out;
    case ErrorKind::ElementNotFound:
      out = "descriptor ";
      append_code(out, static_cast<std::uint32_t>(a_));
      out += " was not found in Table B";
      return out;
    case ErrorKind::Parse:
      return "csv/table parse error: " + text_;
    case ErrorKind::Io:
      return "io error: " + text_;
    case ErrorKind::SinkAborted:
      return "value sink aborted the decode";
  }
  return out;
}

}  // namespace vantrel
