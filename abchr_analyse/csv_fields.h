// Comma-separated records, in the two dialects that reach abchr-analyse:
// RFC 4180 (key.csv), and the one PHP's fputcsv writes (webMUSHRA's results),
// where a backslash inside quotes keeps the character after it, so that a
// field holding \" was written as "\"" and not as "\""""; fgetcsv reads it
// back the same way. Lines end in LF or CR LF; a byte-order mark is skipped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class csv_dialect { rfc4180, php };

struct csv_record {
  int64_t line = 0;  // where the record starts, from 1
  std::vector<std::string> fields;
};

// Splits `text` into records; an empty line is no record. Returns false with
// the line and the reason when a quoted field never ends or a quote stands
// inside an unquoted field.
bool read_csv(std::string_view text, csv_dialect dialect, std::vector<csv_record>& records, int64_t& bad_line,
              std::string& problem);
