#include "tables/record_reader.hpp"

#include <utility>

#include "error/text.hpp"

namespace vantrel {
namespace {

constexpr std::size_t CHUNK_SIZE = 65536;  // bytes read from the file at a time
constexpr int END_OF_FILE = -1;

}  // namespace

RecordReader::RecordReader(FileDescriptor file, std::string path, RecordFormat format)
    : file_(std::move(file)), path_(std::move(path)), format_(format), buffer_(CHUNK_SIZE) {}

Result<RecordReader> RecordReader::open(const std::string& path, RecordFormat format) {
  auto file = FileDescriptor::open_read(path);
  if (!file) return fail(BufrError::parse(path + ": " + file.error().text()));
  return RecordReader(std::move(*file), path, format);
}

std::string_view RecordReader::field(std::size_t index) const {
  const std::size_t begin = index == 0 ? 0 : field_ends_[index - 1];
  return std::string_view(fields_).substr(begin, field_ends_[index] - begin);
}

BufrError RecordReader::content_error(std::string_view what) const {
  std::string text = path_;
  text += ": line ";
  text += std::to_string(record_line_);
  text += ": ";
  text += what;
  return BufrError::parse(std::move(text));
}

BufrError RecordReader::too_long_error() const {
  return content_error("record is longer than " + std::to_string(MAX_RECORD_BYTES) + " bytes");
}

Result<bool> RecordReader::fill() {
  if (eof_) return false;
  // At the start keep reading until three bytes are there, so a byte-order
  // mark split over two reads is still recognised.
  pos_ = 0;
  end_ = 0;
  do {
    auto got = file_.read_some(buffer_.data() + end_, buffer_.size() - end_);
    if (!got) return fail(BufrError::parse(path_ + ": read failed: " + got.error().text()));
    if (*got == 0) {
      eof_ = true;
      break;
    }
    end_ += *got;
  } while (at_start_ && end_ < 3);
  if (at_start_) {
    at_start_ = false;
    if (end_ >= 3 && buffer_[0] == '\xEF' && buffer_[1] == '\xBB' && buffer_[2] == '\xBF') pos_ = 3;
  }
  return pos_ < end_;
}

Result<int> RecordReader::peek() {
  if (pos_ == end_) {
    VANTREL_ASSIGN(const bool more, fill());
    if (!more) return END_OF_FILE;
  }
  return static_cast<unsigned char>(buffer_[pos_]);
}

Result<bool> RecordReader::read_record() {
  fields_.clear();
  field_ends_.clear();

  // Skip line ends (a line feed right after a carriage return ends no new line),
  // empty lines and comment records.
  for (;;) {
    VANTREL_ASSIGN(const int c, peek());
    if (c == END_OF_FILE) return false;
    if (c == '\n') {
      ++pos_;
      if (!after_cr_) ++line_;
      after_cr_ = false;
      continue;
    }
    after_cr_ = false;
    if (c == '\r') {
      ++pos_;
      ++line_;
      after_cr_ = true;
      continue;
    }
    if (c != format_.comment) break;
    for (;;) {
      VANTREL_ASSIGN(const int d, peek());
      if (d == END_OF_FILE || d == '\n' || d == '\r') break;
      ++pos_;
    }
  }

  record_line_ = line_;
  const char delimiter = format_.delimiter;
  for (;;) {  // one field per round
    VANTREL_ASSIGN(int c, peek());
    if (c == '"') {
      ++pos_;
      bool quote_cr = false;  // the previous quoted byte was a carriage return
      for (;;) {
        VANTREL_ASSIGN(const int q, peek());
        if (q == END_OF_FILE) break;  // an unterminated quote ends with the file
        ++pos_;
        if (q == '"') {
          VANTREL_ASSIGN(const int after, peek());
          if (after != '"') break;
          ++pos_;
        } else if (q == '\r' || (q == '\n' && !quote_cr)) {
          ++line_;
        }
        quote_cr = q == '\r';
        fields_.push_back(static_cast<char>(q));
        if (record_too_long()) [[unlikely]] return fail(too_long_error());
      }
    }
    // Unquoted text (or text after a closing quote) up to the field's end;
    // scanned in runs straight from the buffer.
    for (;;) {
      VANTREL_ASSIGN(c, peek());
      if (c == END_OF_FILE || c == delimiter || c == '\n' || c == '\r') break;
      std::size_t run = pos_ + 1;
      while (run < end_) {
        const char b = buffer_[run];
        if (b == delimiter || b == '\n' || b == '\r') break;
        ++run;
      }
      fields_.append(buffer_.data() + pos_, run - pos_);
      pos_ = run;
      if (record_too_long()) [[unlikely]] return fail(too_long_error());
    }
    field_ends_.push_back(fields_.size());
    if (record_too_long()) [[unlikely]] return fail(too_long_error());
    if (c == delimiter) {
      ++pos_;
      continue;
    }
    if (c == '\n' || c == '\r') {
      ++pos_;
      ++line_;
      after_cr_ = c == '\r';
    }
    break;
  }

  for (std::size_t i = 0; i < field_ends_.size(); ++i) {
    if (!is_valid_utf8(field(i))) {
      return fail(content_error("field " + std::to_string(i + 1) + " is not valid UTF-8"));
    }
  }
  if (expected_fields_ == 0) {
    expected_fields_ = field_ends_.size();
  } else if (field_ends_.size() != expected_fields_ && format_.uniform) {
    return fail(content_error("found a record with " + std::to_string(field_ends_.size()) +
                              " fields, but the first record has " + std::to_string(expected_fields_)));
  }
  return true;
}

Result<bool> RecordReader::next() {
  if (format_.has_header && !header_done_) {
    header_done_ = true;
    VANTREL_ASSIGN(const bool header, read_record());
    if (!header) return false;
  }
  return read_record();
}

}  // namespace vantrel
