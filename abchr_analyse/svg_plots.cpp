// The plots, drawn as SVG: codecs as rows, labelled on the left, so that no
// codec's name can run into another's however long; the grade along the
// horizontal axis, with the scale's words under its numbers.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "reports.h"
#include "song_record.h"

namespace {

constexpr double ROW = 30;               // pixels per codec
constexpr double CHAR_WIDTH = 7.8;       // the widest average of a 13 px sans-serif face, per character
constexpr std::size_t LABEL_CHARS = 28;  // longer names are cut, with an ellipsis
constexpr double PLOT_WIDTH = 720;
constexpr double TOP = 60;     // the title's band
constexpr double BOTTOM = 86;  // numbers, two rows of words, the axis label

// Text in SVG markup is escaped as in HTML.
std::string xml(const std::string& text) { return html_text(text); }

std::string num(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", v);
  return text;
}

std::string tick(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", std::fabs(v) < 1e-9 ? 0.0 : v);
  return text;
}

// Cut to LABEL_CHARS characters (not bytes), with an ellipsis.
std::string label(const std::string& text) {
  std::size_t chars = 0, i = 0;
  while (i < text.size()) {
    if (chars == LABEL_CHARS - 1) return text.substr(0, i) + "\xE2\x80\xA6";
    ++chars;
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  }
  return text;
}

std::size_t char_count(const std::string& text) {
  std::size_t n = 0;
  for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

struct axis {
  double low = 0, high = 1, left = 0;
  double x(double v) const { return left + (v - low) / (high - low) * PLOT_WIDTH; }
};

struct scale_word {
  double at;
  const char* word;
};

// BS.1116's impairment scale read as differences from the hidden
// reference's 5, and BS.1534's quality bands at their middles.
const std::vector<scale_word>& words_of(grade_scale scale) {
  static const std::vector<scale_word> impairment{{0, "imperceptible"},
                                                  {-1, "perceptible, not annoying"},
                                                  {-2, "slightly annoying"},
                                                  {-3, "annoying"},
                                                  {-4, "very annoying"}};
  static const std::vector<scale_word> mushra{
      {10, "bad"}, {30, "poor"}, {50, "fair"}, {70, "good"}, {90, "excellent"}};
  return scale == grade_scale::impairment ? impairment : mushra;
}

struct canvas {
  std::string body;
  axis ax;
  double width = 0, height = 0;
  std::size_t rows = 0;
};

canvas start(const std::string& title, const std::vector<std::string>& codecs, grade_scale scale, double low,
             double high) {
  canvas c;
  std::size_t longest = 5;
  for (const std::string& codec : codecs) longest = std::max(longest, char_count(label(codec)));
  c.ax = {low, high, 24 + CHAR_WIDTH * static_cast<double>(longest)};
  c.rows = codecs.size();
  c.width = c.ax.left + PLOT_WIDTH + 40;
  c.height = TOP + ROW * static_cast<double>(std::max<std::size_t>(c.rows, 1)) + BOTTOM;
  const double plot_bottom = TOP + ROW * static_cast<double>(std::max<std::size_t>(c.rows, 1));
  std::string& b = c.body;
  b += "<rect x=\"0\" y=\"0\" width=\"" + num(c.width) + "\" height=\"" + num(c.height) +
       "\" fill=\"white\"/>\n";
  b += "<text x=\"" + num(c.width / 2) +
       "\" y=\"28\" text-anchor=\"middle\" font-size=\"16\" font-weight=\"bold\">" + xml(title) + "</text>\n";
  // Grid and numbers: every grade step, or every 10 on the MUSHRA scale.
  const double step = scale == grade_scale::mushra ? 10 : (high - low > 5 ? 1 : 0.5);
  for (double v = std::ceil(low / step) * step; v <= high + 1e-9; v += step) {
    const double x = c.ax.x(v);
    b += "<line x1=\"" + num(x) + "\" y1=\"" + num(TOP) + "\" x2=\"" + num(x) + "\" y2=\"" +
         num(plot_bottom) + "\" stroke=\"" + (std::fabs(v) < 1e-9 ? "#888" : "#ddd") + "\"/>\n";
    b += "<text x=\"" + num(x) + "\" y=\"" + num(plot_bottom + 16) +
         "\" text-anchor=\"middle\" font-size=\"12\">" + tick(v) + "</text>\n";
  }
  // The scale's words in two alternating rows, so that neighbours never meet.
  int row = 0;
  for (const scale_word& w : words_of(scale)) {
    if (w.at < low - 1e-9 || w.at > high + 1e-9) continue;
    b += "<text x=\"" + num(c.ax.x(w.at)) + "\" y=\"" + num(plot_bottom + 32 + 14 * (row++ % 2)) +
         "\" text-anchor=\"middle\" font-size=\"11\" fill=\"#555\">" + w.word + "</text>\n";
  }
  const std::string axis_label = scale == grade_scale::impairment
                                     ? "difference grade (condition minus hidden reference)"
                                     : "MUSHRA grade";
  b += "<text x=\"" + num(c.ax.left + PLOT_WIDTH / 2) + "\" y=\"" + num(plot_bottom + 74) +
       "\" text-anchor=\"middle\" font-size=\"13\">" + axis_label + "</text>\n";
  b += "<rect x=\"" + num(c.ax.left) + "\" y=\"" + num(TOP) + "\" width=\"" + num(PLOT_WIDTH) +
       "\" height=\"" + num(plot_bottom - TOP) + "\" fill=\"none\" stroke=\"#444\"/>\n";
  for (std::size_t i = 0; i < codecs.size(); ++i) {
    b += "<text x=\"" + num(c.ax.left - 10) + "\" y=\"" +
         num(TOP + ROW * (static_cast<double>(i) + 0.5) + 4.5) + "\" text-anchor=\"end\" font-size=\"13\">" +
         xml(label(codecs[i])) + "</text>\n";
  }
  return c;
}

std::string finish(const canvas& c) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
         num(c.width) + "\" height=\"" + num(c.height) + "\" viewBox=\"0 0 " + num(c.width) + " " +
         num(c.height) + "\" font-family=\"DejaVu Sans, Arial, sans-serif\">\n" + c.body + "</svg>\n";
}

// The axis's range: the whole MUSHRA scale, or the difference grades from
// "very annoying" to a little above zero, wider where the data reach.
void range_of(grade_scale scale, double data_low, double data_high, double& low, double& high) {
  if (scale == grade_scale::mushra) {
    low = 0;
    high = 100;
    return;
  }
  low = std::min(-4.0, std::floor(data_low));
  high = std::max(1.0, std::ceil(data_high));
  low = std::max(low, -4.0);
  high = std::min(high, 4.0);
}

std::vector<std::string> names(const analysis_part& part) {
  std::vector<std::string> out;
  for (const codec_summary& c : part.codecs) out.push_back(c.codec);
  return out;
}

std::string means_plot(const analysis_part& part, grade_scale scale) {
  double lo = 0, hi = 0;
  for (const codec_summary& c : part.codecs) {
    lo = std::min(lo, c.mean.has_interval ? c.mean.low : c.mean.mean);
    hi = std::max(hi, c.mean.has_interval ? c.mean.high : c.mean.mean);
  }
  double low = 0, high = 0;
  range_of(scale, lo, hi, low, high);
  const std::string title =
      "Means with 95% confidence intervals: " + (part.song.empty() ? std::string("all songs") : part.song);
  canvas c = start(title, names(part), scale, low, high);
  const auto clamp = [&](double v) { return std::min(high, std::max(low, v)); };
  for (std::size_t i = 0; i < part.codecs.size(); ++i) {
    const codec_summary& s = part.codecs[i];
    if (s.mean.n == 0) continue;
    const double y = TOP + ROW * (static_cast<double>(i) + 0.5);
    if (s.mean.has_interval) {
      const double x1 = c.ax.x(clamp(s.mean.low)), x2 = c.ax.x(clamp(s.mean.high));
      c.body += "<line x1=\"" + num(x1) + "\" y1=\"" + num(y) + "\" x2=\"" + num(x2) + "\" y2=\"" + num(y) +
                "\" stroke=\"#1f4e99\" stroke-width=\"2\"/>\n";
      for (const double x : {x1, x2})
        c.body += "<line x1=\"" + num(x) + "\" y1=\"" + num(y - 7) + "\" x2=\"" + num(x) + "\" y2=\"" +
                  num(y + 7) + "\" stroke=\"#1f4e99\" stroke-width=\"2\"/>\n";
    }
    c.body += "<circle cx=\"" + num(c.ax.x(clamp(s.mean.mean))) + "\" cy=\"" + num(y) +
              "\" r=\"5\" fill=\"#1f4e99\"><title>" + xml(s.codec) + ": mean " + num(s.mean.mean) + ", n " +
              std::to_string(s.mean.n) + "</title></circle>\n";
  }
  return finish(c);
}

std::string box_plot(const analysis_part& part, grade_scale scale) {
  double lo = 0, hi = 0;
  for (const codec_summary& c : part.codecs)
    for (const double v : c.values) lo = std::min(lo, v), hi = std::max(hi, v);
  double low = 0, high = 0;
  range_of(scale, lo, hi, low, high);
  canvas c = start("Box plots per codec: all songs (median, quartiles, 1.5 IQR whiskers)", names(part), scale,
                   low, high);
  for (std::size_t i = 0; i < part.codecs.size(); ++i) {
    const codec_summary& s = part.codecs[i];
    if (s.values.empty()) continue;
    const double y = TOP + ROW * (static_cast<double>(i) + 0.5);
    const double iqr = s.spread.q3 - s.spread.q1;
    double whisker_low = s.spread.q1, whisker_high = s.spread.q3;
    for (const double v : s.values) {
      if (v >= s.spread.q1 - 1.5 * iqr) whisker_low = std::min(whisker_low, v);
      if (v <= s.spread.q3 + 1.5 * iqr) whisker_high = std::max(whisker_high, v);
    }
    const auto x = [&](double v) { return c.ax.x(std::min(high, std::max(low, v))); };
    c.body += "<line x1=\"" + num(x(whisker_low)) + "\" y1=\"" + num(y) + "\" x2=\"" + num(x(whisker_high)) +
              "\" y2=\"" + num(y) + "\" stroke=\"#333\"/>\n";
    c.body += "<rect x=\"" + num(x(s.spread.q1)) + "\" y=\"" + num(y - 9) + "\" width=\"" +
              num(std::max(1.0, x(s.spread.q3) - x(s.spread.q1))) +
              "\" height=\"18\" fill=\"#cfdcf2\" stroke=\"#1f4e99\"/>\n";
    c.body += "<line x1=\"" + num(x(s.spread.median)) + "\" y1=\"" + num(y - 9) + "\" x2=\"" +
              num(x(s.spread.median)) + "\" y2=\"" + num(y + 9) +
              "\" stroke=\"#1f4e99\" stroke-width=\"3\"/>\n";
    std::set<double> outliers;
    for (const double v : s.values)
      if (v < whisker_low || v > whisker_high) outliers.insert(v);
    for (const double v : outliers)
      c.body +=
          "<circle cx=\"" + num(x(v)) + "\" cy=\"" + num(y) + "\" r=\"3\" fill=\"none\" stroke=\"#333\"/>\n";
  }
  return finish(c);
}

}  // namespace

std::vector<svg_file> svg_plots(const analysis& a) {
  std::vector<svg_file> files{{"means.svg", means_plot(a.overall, a.scale)},
                              {"boxes.svg", box_plot(a.overall, a.scale)}};
  std::set<std::string> taken;
  for (const analysis_part& p : a.songs) {
    std::string name = "means-" + identifier(p.song);
    for (int n = 2; !taken.insert(name).second; ++n)
      name = "means-" + identifier(p.song) + "_" + std::to_string(n);
    files.push_back({name + ".svg", means_plot(p, a.scale)});
  }
  return files;
}
