// A streaming reader of delimiter-separated records (the ecCodes
// element.table and the WMO CSV tables). The file is read in chunks through
// one reusable buffer; the fields of the current record live in one reusable
// text buffer, so reading a record allocates nothing once the buffers have
// grown to the longest record.
//
// Format rules:
// - records end at a line feed, a carriage return, or both; empty lines are skipped;
// - a UTF-8 byte-order mark at the very start of the file is skipped;
// - with a comment byte set, a record whose first byte is that byte is skipped
//   up to its line end (the byte anywhere else is ordinary text);
// - a field that begins with a double quote is quoted: delimiters and line
//   ends inside it are literal, a doubled double quote stands for one; text
//   after the closing quote is appended as it stands;
// - fields are not trimmed;
// - every record must have as many fields as the first one (the header row
//   when there is one) unless the format allows other counts, and every
//   field must be valid UTF-8;
// - a record may be at most MAX_RECORD_BYTES long.
//
// Failures are Parse errors whose detail names the file and, for content
// faults, the line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "io/file.hpp"

namespace vantrel {

// Longest record accepted, counting its field texts and delimiters. Real
// table lines are below 2 KB; the bound stops an endless line (a device such
// as /dev/zero, a huge file without line ends) from exhausting memory.
inline constexpr std::size_t MAX_RECORD_BYTES = std::size_t{16} << 20;

// How one kind of file is laid out.
struct RecordFormat {
  char delimiter = ',';    // field separator
  bool has_header = false; // the first record is a header: read, checked, never returned
  int comment = -1;        // byte that starts a comment record, or -1 for none
  bool uniform = true;     // a record whose field count differs from the first one's fails
};

class RecordReader {
 public:
  // Opens `path` for reading. Fails with the open error text.
  static Result<RecordReader> open(const std::string& path, RecordFormat format);

  RecordReader(RecordReader&&) noexcept = default;
  RecordReader& operator=(RecordReader&&) = delete;
  RecordReader(const RecordReader&) = delete;

  // Reads the next data record. Returns false at the end of the file.
  Result<bool> next();

  // The fields of the current record; views are valid until the next call of next().
  std::size_t size() const { return field_ends_.size(); }
  std::string_view field(std::size_t index) const;
  // Line number (from 1) where the current record starts.
  std::uint64_t line() const { return record_line_; }
  // The field count of the first record (non-uniform formats compare size() with it).
  std::size_t first_size() const { return expected_fields_; }

 private:
  RecordReader(FileDescriptor file, std::string path, RecordFormat format);

  // Refills the buffer once the unread bytes are used up; false at end of file.
  Result<bool> fill();
  // The next unread byte (as unsigned char) without consuming it, or -1 at end of file.
  Result<int> peek();
  // Parses one record starting at pos_; false at end of file.
  Result<bool> read_record();
  BufrError content_error(std::string_view what) const;
  // True once the current record has passed MAX_RECORD_BYTES; too_long_error() is the error to return.
  bool record_too_long() const { return fields_.size() + field_ends_.size() > MAX_RECORD_BYTES; }
  BufrError too_long_error() const;

  FileDescriptor file_;                     // the open file
  std::string path_;                        // for messages
  RecordFormat format_;                     // layout settings
  std::vector<char> buffer_;                // file bytes [0, end_) of which [pos_, end_) are unread
  std::size_t pos_ = 0;                     // next unread byte
  std::size_t end_ = 0;                     // end of the valid bytes
  bool eof_ = false;                        // the file has been read to its end
  bool at_start_ = true;                    // nothing read yet (byte-order mark check)
  bool header_done_ = false;                // the header row has been consumed
  bool after_cr_ = false;                   // the last line end was a carriage return
  std::uint64_t line_ = 1;                  // line number of the next unread byte
  std::uint64_t record_line_ = 0;           // line where the current record starts
  std::size_t expected_fields_ = 0;         // field count of the first record, 0 before it
  std::string fields_;                      // texts of the current record's fields, back to back
  std::vector<std::size_t> field_ends_;     // end offset of each field in fields_
};

}  // namespace vantrel
