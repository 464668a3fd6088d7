#include "csv_fields.h"

bool read_csv(std::string_view text, csv_dialect dialect, std::vector<csv_record>& records, int64_t& bad_line,
              std::string& problem) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  int64_t line = 1;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    if (text[i] == '\n' || (text[i] == '\r' && i + 1 < n && text[i + 1] == '\n')) {
      i += text[i] == '\r' ? 2 : 1;
      ++line;
      continue;
    }
    csv_record record;
    record.line = line;
    std::string field;
    bool at_end = false;
    while (!at_end) {
      if (i < n && text[i] == '"') {
        const int64_t opened = line;
        ++i;
        for (;;) {
          if (i == n) {
            bad_line = opened;
            problem = "a quoted field that never ends";
            return false;
          }
          const char c = text[i];
          if (c == '"') {
            if (i + 1 < n && text[i + 1] == '"') {
              field += '"';
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          if (c == '\\' && dialect == csv_dialect::php && i + 1 < n) {
            field += c;
            field += text[i + 1];
            if (text[i + 1] == '\n') ++line;
            i += 2;
            continue;
          }
          if (c == '\n') ++line;
          field += c;
          ++i;
        }
      }
      // The unquoted part, or what follows a closing quote up to the comma.
      while (i < n && text[i] != ',' && text[i] != '\n' &&
             !(text[i] == '\r' && i + 1 < n && text[i + 1] == '\n')) {
        if (text[i] == '"') {
          bad_line = line;
          problem = "a quote inside a field that does not start with one";
          return false;
        }
        field += text[i++];
      }
      record.fields.push_back(std::move(field));
      field.clear();
      if (i < n && text[i] == ',') {
        ++i;
      } else {
        at_end = true;
      }
    }
    records.push_back(std::move(record));
  }
  return true;
}
