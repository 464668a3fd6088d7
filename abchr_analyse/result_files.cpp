#include "result_files.h"

#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "csv_fields.h"

using json = nlohmann::json;

namespace {

constexpr const char* REFUSE_FIX = "analyse the results with the test folder that served them";

std::string_view without_bom(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return text;
}

char first_visible(std::string_view text) {
  for (const char c : text)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return c;
  return '\0';
}

bool read_number(const std::string& text, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return *end == '\0' && std::isfinite(value);
}

bool json_number(const json& j, double& value) {
  if (j.is_number()) {
    value = j.get<double>();
    return std::isfinite(value);
  }
  return j.is_string() && read_number(j.get<std::string>(), value);
}

// The line on which each object inside an array at `depth` opens (depth 0 is
// the top level), in order: the places of beaqlejs's test sets and of the
// page's trials, for messages.
std::vector<int64_t> object_lines(std::string_view text, int depth) {
  std::vector<int64_t> lines;
  std::vector<char> open;
  int64_t line = 1;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') ++line;
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
      continue;
    }
    if (c == '"')
      in_string = true;
    else if (c == '{' || c == '[') {
      if (c == '{' && static_cast<int>(open.size()) == depth + 1 && open.back() == '[') lines.push_back(line);
      open.push_back(c);
    } else if ((c == '}' || c == ']') && !open.empty()) {
      open.pop_back();
    }
  }
  return lines;
}

// Every grade of every format passes here: its scale's range, and the song
// and stimulus against the key.
struct grade_sink {
  const std::string& path;
  const folder_key& key;
  rating_set& set;
  input_problem& problem;

  bool fail(int64_t line, const std::string& message) {
    problem = input_problem(path, line, message);
    return false;
  }

  bool add(rating r, int64_t line) {
    r.place = {path, line};
    const double top = r.scale == grade_scale::impairment ? 5 : 100;
    const double bottom = r.scale == grade_scale::impairment ? 1 : 0;
    for (const double g : {r.grade, r.reference_grade}) {
      if (!(g >= bottom && g <= top)) {
        return fail(line, "grade " + json(g).dump() + " outside the scale's " + json(bottom).dump() + " to " +
                              json(top).dump() + "; correct or remove the row");
      }
    }
    const key_row* row = key.find(r.song, r.stimulus);
    if (row == nullptr || r.stimulus == "reference") {
      return fail(line, "the song " + r.song + " has no stimulus " + r.stimulus + " in this test folder; " +
                            REFUSE_FIX);
    }
    r.codec = key.codec_of(*row);
    set.ratings.push_back(std::move(r));
    return true;
  }
};

// Where a webMUSHRA file's columns stand: the finish page's questions come
// between session_test_id and trial_id (mushra.csv: session_uuid), so their
// number moves every later column.
struct webmushra_columns {
  int trial = -1, questions_end = -1, first = -1, second = -1, third = -1, fourth = -1, time = -1;
  bool complete(result_format format) const {
    return trial >= 1 && first >= 0 && second >= 0 && time >= 0 &&
           (format != result_format::webmushra_bs1116 || (third >= 0 && fourth >= 0));
  }
};

webmushra_columns columns_of(const std::vector<std::string>& header, result_format format) {
  const auto column = [&](const char* name) {
    for (std::size_t c = 0; c < header.size(); ++c)
      if (header[c] == name) return static_cast<int>(c);
    return -1;
  };
  const bool bs1116 = format == result_format::webmushra_bs1116;
  webmushra_columns cols;
  cols.trial = column("trial_id");
  cols.time = column("rating_time");
  cols.first = column(bs1116 ? "rating_reference" : "rating_stimulus");
  cols.second = column(bs1116 ? "rating_non_reference" : "rating_score");
  cols.third = bs1116 ? column("rating_reference_score") : -1;
  cols.fourth = bs1116 ? column("rating_non_reference_score") : -1;
  const int uuid = column("session_uuid");
  cols.questions_end = uuid >= 0 ? uuid : cols.trial;
  return cols;
}

bool read_webmushra(std::string_view text, result_format format, grade_sink& sink) {
  std::vector<csv_record> records;
  int64_t bad_line = 0;
  std::string why;
  if (!read_csv(text, csv_dialect::php, records, bad_line, why))
    return sink.fail(bad_line, why + "; the file is damaged: take it again from webMUSHRA's results folder");
  std::vector<std::string> header;
  webmushra_columns cols;
  for (const csv_record& rec : records) {
    if (!rec.fields.empty() && rec.fields[0] == "session_test_id") {
      // A header, at the top or where sessions of another file were appended.
      header = rec.fields;
      cols = columns_of(header, format);
      if (!cols.complete(format))
        return sink.fail(rec.line,
                         "a webMUSHRA header without the columns of its kind of page; take the file "
                         "again from webMUSHRA's results folder");
      continue;
    }
    if (header.empty())
      return sink.fail(rec.line,
                       "rows before the header; take the file again from webMUSHRA's results folder");
    if (rec.fields.size() != header.size()) {
      return sink.fail(rec.line, std::to_string(rec.fields.size()) + " fields where the header has " +
                                     std::to_string(header.size()) +
                                     " (the finish page's questions changed during the test, shifting the "
                                     "columns); move the later sessions into a file of their own with their "
                                     "own header");
    }
  }
  // Rows once more, now that every row's width is known to be right.
  std::string song;
  struct pending {
    std::string listener, trial;
    rating reference;
    std::vector<std::pair<rating, int64_t>> conditions;
    bool has_reference = false;
    int64_t line = 0;
  } group;
  const auto flush_mushra = [&]() {
    if (group.conditions.empty() && !group.has_reference) return true;
    if (!group.has_reference)
      return sink.fail(group.line, "the MUSHRA trial " + group.trial + " has no grade for the reference; " +
                                       "take the file again from webMUSHRA's results folder");
    for (auto& [r, line] : group.conditions) {
      r.reference_grade = group.reference.grade;
      if (!sink.add(r, line)) return false;
    }
    group = pending{};
    return true;
  };
  for (const csv_record& rec : records) {
    if (rec.fields[0] == "session_test_id") {
      header = rec.fields;
      cols = columns_of(header, format);
      continue;
    }
    const std::vector<std::string>& f = rec.fields;
    // The finish page's answers name the listener: webMUSHRA keeps no other
    // identity, so two listeners who give the same answers are one.
    std::string listener;
    for (int c = 1; c < cols.questions_end; ++c) listener += (c > 1 ? " / " : "") + f[c];
    rating r;
    r.listener = listener;
    double ms = 0;
    if (read_number(f[cols.time], ms)) r.seconds = ms / 1000;
    const std::string& page = f[cols.trial];
    if (format == result_format::webmushra_bs1116) {
      const key_row* row = sink.key.find_webmushra_page(page);
      if (row == nullptr)
        return sink.fail(rec.line,
                         "the page " + page + " is no ABC/HR page of this test folder; " + REFUSE_FIX);
      if (f[cols.second] != row->name || f[cols.first] != "reference")
        return sink.fail(rec.line, "the page " + page + " served " + f[cols.second] +
                                       " where this folder serves " + row->name + "; " + REFUSE_FIX);
      r.scale = grade_scale::impairment;
      r.song = row->song;
      r.stimulus = row->name;
      if (!read_number(f[cols.third], r.reference_grade) || !read_number(f[cols.fourth], r.grade))
        return sink.fail(rec.line, "a grade that is no number; correct or remove the row");
      if (!sink.add(r, rec.line)) return false;
    } else {
      if (!sink.key.is_mushra_page(page, song))
        return sink.fail(rec.line,
                         "the page " + page + " is no MUSHRA page of this test folder; " + REFUSE_FIX);
      if (group.line != 0 && (group.listener != listener || group.trial != page) && !flush_mushra())
        return false;
      if (group.line == 0) group.line = rec.line;
      group.listener = listener;
      group.trial = page;
      r.scale = grade_scale::mushra;
      r.song = song;
      r.stimulus = f[cols.first];
      if (!read_number(f[cols.second], r.grade))
        return sink.fail(rec.line, "a grade that is no number; correct or remove the row");
      if (r.stimulus == "reference") {
        group.reference = r;
        group.has_reference = true;
      } else {
        group.conditions.push_back({r, rec.line});
      }
    }
  }
  return flush_mushra();
}

// beaqlejs names its download <date>_<name>.txt after the name the listener typed.
std::string listener_from_file_name(const std::string& path) {
  std::string name = path.substr(path.find_last_of("/\\") + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  const std::size_t under = name.find('_');
  return under == std::string::npos ? name : name.substr(under + 1);
}

bool read_beaqlejs(std::string_view text, const json& sets, grade_sink& sink) {
  const std::vector<int64_t> lines = object_lines(text, 0);
  std::string listener;
  for (const json& item : sets)
    if (item.is_object() && item.contains("UserName") && item["UserName"].is_string())
      listener = item["UserName"].get<std::string>();
  if (listener.empty()) listener = listener_from_file_name(sink.path);
  for (std::size_t i = 0; i < sets.size(); ++i) {
    const json& item = sets[i];
    const int64_t line = i < lines.size() ? lines[i] : 1;
    if (!item.is_object() || item.contains("UserName")) continue;
    if (!item.contains("TestID") || !item.contains("rating") || !item["rating"].is_object())
      return sink.fail(line, "a beaqlejs test set without TestID and rating; download the results again");
    const std::string test_id =
        item["TestID"].is_string() ? item["TestID"].get<std::string>() : item["TestID"].dump();
    std::string song;
    if (!sink.key.find_beaqlejs_test(test_id, song))
      return sink.fail(line, "the test set " + test_id + " is no song of this test folder; " + REFUSE_FIX);
    const json& grades = item["rating"];
    double reference = 0;
    if (!grades.contains("Reference") || !json_number(grades["Reference"], reference))
      return sink.fail(
          line, "the test set " + test_id + " has no grade for the reference; download the results again");
    double runtime = 0;
    for (const auto& [name, value] : grades.items()) {
      if (name == "Reference") continue;
      rating r;
      r.listener = listener;
      r.song = song;
      r.stimulus = name;
      r.scale = grade_scale::mushra;
      r.reference_grade = reference;
      if (!json_number(value, r.grade))
        return sink.fail(line, "a grade that is no number; download the results again");
      if (item.contains("Runtime") && json_number(item["Runtime"], runtime)) r.seconds = runtime / 1000;
      if (!sink.add(r, line)) return false;
    }
  }
  return true;
}

bool read_listen_page(std::string_view text, const json& doc, grade_sink& sink) {
  if (doc.value("version", 0) != 1)
    return sink.fail(
        1, "a listening-page result of another version; analyse it with the abchr-analyse of its page");
  const std::string folder_id = doc.value("folder_id", "");
  if (folder_id != sink.key.folder_id)
    return sink.fail(1, "comes from the test folder " + folder_id + ", not from this one (" +
                            sink.key.folder_id + "); " + REFUSE_FIX);
  if (doc.contains("stimuli") && doc["stimuli"].is_object()) {
    for (const auto& [id, hash] : doc["stimuli"].items()) {
      const std::size_t slash = id.rfind('/');
      const key_row* row =
          slash == std::string::npos ? nullptr : sink.key.find(id.substr(0, slash), id.substr(slash + 1));
      if (row == nullptr)
        return sink.fail(1, "names the stimulus " + id + ", which this test folder lacks; " + REFUSE_FIX);
      if (!hash.is_string() || hash.get<std::string>() != row->sha256)
        return sink.fail(
            1, "the stimulus " + id + " was another file than this folder's (its SHA-256 differs: the " +
                   "song was replaced since); analyse it with the folder as it was, or leave the file out");
    }
  }
  const std::string listener =
      doc.value("nickname", "").empty() ? doc.value("session_id", "") : doc.value("nickname", "");
  const json& trials = doc.contains("trials") && doc["trials"].is_array() ? doc["trials"] : json::array();
  const std::vector<int64_t> lines = object_lines(text, 1);
  for (std::size_t i = 0; i < trials.size(); ++i) {
    const json& t = trials[i];
    const int64_t line = i < lines.size() ? lines[i] : 1;
    if (!t.is_object()) return sink.fail(line, "a trial that is no object; the file is damaged");
    const std::string kind = t.value("kind", "");
    const std::string song = t.value("song", "");
    rating r;
    r.listener = listener;
    r.song = song;
    double seconds = 0;
    if (t.contains("seconds") && json_number(t["seconds"], seconds)) r.seconds = seconds;
    const json grades = t.value("grades", json::object());
    const json moved = t.value("moved", json::object());
    if (kind == "abchr") {
      const std::string side = t.value("reference_side", "");
      const std::string other = side == "B" ? "C" : side == "C" ? "B" : "";
      if (other.empty() || !grades.contains(side) || !grades.contains(other) ||
          !json_number(grades[side], r.reference_grade) || !json_number(grades[other], r.grade))
        return sink.fail(line, "an ABC/HR trial without the grades of both sides; the file is damaged");
      r.scale = grade_scale::impairment;
      r.stimulus = t.value("stimulus", "");
      if (moved.contains(other) && moved[other].is_boolean()) r.moved = moved[other].get<bool>();
      if (!sink.add(r, line)) return false;
    } else if (kind == "mushra") {
      r.scale = grade_scale::mushra;
      if (!grades.contains("reference") || !json_number(grades["reference"], r.reference_grade))
        return sink.fail(line, "a MUSHRA trial without the reference's grade; the file is damaged");
      for (const auto& [name, value] : grades.items()) {
        if (name == "reference") continue;
        rating c = r;
        c.stimulus = name;
        if (!json_number(value, c.grade))
          return sink.fail(line, "a grade that is no number; the file is damaged");
        if (moved.contains(name) && moved[name].is_boolean()) c.moved = moved[name].get<bool>();
        if (!sink.add(c, line)) return false;
      }
    } else if (kind == "abx") {
      abx_trial a;
      a.listener = listener;
      a.song = song;
      a.stimulus = t.value("stimulus", "");
      const key_row* row = sink.key.find(song, a.stimulus);
      if (row == nullptr || a.stimulus == "reference")
        return sink.fail(line, "the song " + song + " has no stimulus " + a.stimulus +
                                   " in this test folder; " + REFUSE_FIX);
      a.codec = sink.key.codec_of(*row);
      a.correct = t.value("correct", false);
      if (t.contains("planned") && t["planned"].is_number_integer()) a.planned = t["planned"].get<int>();
      a.place = {sink.path, line};
      sink.set.abx.push_back(a);
    } else {
      return sink.fail(
          line, "a trial of the unknown kind '" + kind + "'; analyse it with the abchr-analyse of its page");
    }
  }
  return true;
}

}  // namespace

result_format detect_format(std::string_view text) {
  text = without_bom(text);
  const char c = first_visible(text);
  if (c == '{' || c == '[') {
    const json doc = json::parse(text.begin(), text.end(), nullptr, false);
    if (doc.is_object() && doc.value("format", "") == "abchr-listen-results")
      return result_format::listen_page;
    if (doc.is_array() && !doc.empty()) {
      for (const json& item : doc)
        if (item.is_object() && item.contains("TestID") && item.contains("rating"))
          return result_format::beaqlejs;
    }
    return result_format::unknown;
  }
  if (text.substr(0, 16) == "session_test_id," || text.substr(0, 18) == "\"session_test_id\",") {
    const std::string_view head = text.substr(0, text.find('\n'));
    if (head.find("rating_reference_score") != std::string_view::npos) return result_format::webmushra_bs1116;
    if (head.find("rating_stimulus") != std::string_view::npos &&
        head.find("rating_score") != std::string_view::npos)
      return result_format::webmushra_mushra;
    return result_format::webmushra_other;
  }
  return result_format::unknown;
}

bool read_result_file(const std::string& path, std::string_view text, const folder_key& key, rating_set& set,
                      input_problem& problem) {
  grade_sink sink{path, key, set, problem};
  const result_format format = detect_format(text);
  text = without_bom(text);
  switch (format) {
    case result_format::webmushra_bs1116:
    case result_format::webmushra_mushra:
      return read_webmushra(text, format, sink);
    case result_format::webmushra_other:
      set.warnings.push_back(path +
                             ": a webMUSHRA file of a kind of page that holds no grades of conditions "
                             "against a reference; left out");
      return true;
    case result_format::beaqlejs:
      return read_beaqlejs(text, json::parse(text.begin(), text.end()), sink);
    case result_format::listen_page:
      return read_listen_page(text, json::parse(text.begin(), text.end()), sink);
    case result_format::unknown:
      break;
  }
  return sink.fail(1,
                   "in no known result format (webMUSHRA's bs1116.csv or mushra.csv, a beaqlejs download, "
                   "the listening page's JSON); give only result files");
}
