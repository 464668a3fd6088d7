#include <cstdio>
#include <set>

#include "reports.h"

namespace {

// RFC 4180, with a leading quote before what a spreadsheet would run as a
// formula, as key.csv has it.
std::string cell(const std::string& text) {
  std::string t = text;
  if (!t.empty() && (t[0] == '=' || t[0] == '+' || t[0] == '-' || t[0] == '@')) t = "'" + t;
  if (t.find_first_of(",\"\r\n") == std::string::npos) return t;
  std::string q = "\"";
  for (const char c : t) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", v);
  return text;
}

}  // namespace

std::string ratings_csv(const analysis& a, const std::vector<rating>& all) {
  const std::set<std::string> removed(a.removed.begin(), a.removed.end());
  std::string csv =
      "listener,song,codec,stimulus,scale,grade,reference_grade,difference,reference_low,moved,seconds,"
      "removed,file,line\r\n";
  for (const rating& r : all) {
    // A difference is a number, never a formula: no guard before its sign.
    csv += cell(r.listener) + "," + cell(r.song) + "," + cell(r.codec) + "," + cell(r.stimulus) + "," +
           (r.scale == grade_scale::impairment ? "1-5" : "0-100") + "," + number(r.grade) + "," +
           number(r.reference_grade) + "," + number(r.difference()) + "," + (r.reference_low() ? "1" : "0") +
           "," + (r.moved ? (*r.moved ? "1" : "0") : "") + "," + (r.seconds ? number(*r.seconds) : "") + "," +
           (removed.count(r.listener) ? "1" : "0") + "," + cell(r.place.file) + "," +
           std::to_string(r.place.line) + "\r\n";
  }
  return csv;
}
