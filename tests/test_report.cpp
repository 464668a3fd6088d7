// The alignment report on windows built in memory: row formats and the
// extremes of the run that decide the raw files' start, length and scale.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console_capture.h"
#include "filter_one_track.h"
#include "held_memory.h"
#include "offset_search.h"
#include "report.h"
#include "signal_maker.h"
#include "track_record.h"
#include "wav_track.h"

namespace {

struct decoded {
  int delay;
  double level;  // the decoded window is the original's times this
};

struct report_case {
  const char* name;
  std::vector<decoded> tracks;
  std::vector<std::string> rows;  // what each row shows after the label
  std::string summary;
};

// A filtered music signal; each window is a 40000-value stretch of it.
const std::vector<double>& filtered_music() {
  static const std::vector<double> f = [] {
    const stereo s = music(60000, 12);
    std::vector<double> sums(s.frames()), out(s.frames());
    for (std::size_t i = 0; i < s.frames(); ++i) sums[i] = s.left[i] + s.right[i];
    loudness_filter fresh;
    filter_run(fresh, sums.data(), out.data(), static_cast<int>(sums.size()));
    return out;
  }();
  return f;
}

TEST(alignment_report, rows_and_summary) {
  const std::vector<report_case> cases = {
      {"offsets of both signs",
       {{37, 1.0}, {-2500, 1.0}, {7499, 1.0}},
       {"O:   37   G: 1.000000  G: 0.000000  S: 0.000000", "O:-2500   G: 1.000000  G: 0.000000  S: 0.000000",
        "O: 7499   G: 1.000000  G: 0.000000  S: 0.000000"},
       "biggest_delay    : 7499" MESSAGE_END "smallest_delay   : -2500" MESSAGE_END
       "biggest_gain     : 1.000000" MESSAGE_END "shortest_sample  : 90001" MESSAGE_END
       "initial_offset   : 4100" MESSAGE_END},
      {"all offsets negative, all gains below 1",
       {{-10, 1.0 / 0.9772372}, {-300, 2.0}},
       {"O:  -10   G: 0.977237  G:-0.200000  S: 0.000000", "O: -300   G: 0.500000  G:-6.020600  S: 0.000000"},
       "biggest_delay    : 0" MESSAGE_END "smallest_delay   : -300" MESSAGE_END
       "biggest_gain     : 1.000000" MESSAGE_END "shortest_sample  : 99700" MESSAGE_END
       "initial_offset   : 4100" MESSAGE_END},
      {"all offsets positive",
       {{576, 0.5}, {1105, 1.0}},
       {"O:  576   G: 2.000000  G: 6.020600  S: 0.000000", "O: 1105   G: 1.000000  G: 0.000000  S: 0.000000"},
       "biggest_delay    : 1105" MESSAGE_END "smallest_delay   : 0" MESSAGE_END
       "biggest_gain     : 2.000000" MESSAGE_END "shortest_sample  : 98895" MESSAGE_END
       "initial_offset   : 4100" MESSAGE_END},
      {"silent decoded window keeps offset 0 gain 1 score 0",
       {{0, 0.0}, {-5, 1.0}},
       {"O:    0   G: 1.000000  G: 0.000000  S: 0.000000", "O:   -5   G: 1.000000  G: 0.000000  S: 0.000000"},
       "biggest_delay    : 0" MESSAGE_END "smallest_delay   : -5" MESSAGE_END
       "biggest_gain     : 1.000000" MESSAGE_END "shortest_sample  : 99995" MESSAGE_END
       "initial_offset   : 4100" MESSAGE_END},
  };
  const std::vector<double>& f = filtered_music();
  constexpr int BASE = 10000;  // the original's window starts here in the filtered signal
  for (const report_case& c : cases) {
    held_memory memory;
    std::vector<wav_track> tracks(c.tracks.size() + 1);
    for (std::size_t k = 0; k < tracks.size(); ++k) init_track(tracks[k], memory->windows[k]);
    for (int p = 0; p < ANALYSIS_WINDOW; ++p) tracks[0].samples[p] = f[static_cast<std::size_t>(BASE + p)];
    for (std::size_t k = 1; k < tracks.size(); ++k) {
      const decoded& d = c.tracks[k - 1];
      for (int p = 0; p < ANALYSIS_WINDOW; ++p) {
        tracks[k].samples[p] = f[static_cast<std::size_t>(BASE + p - d.delay)] * d.level;
      }
      std::snprintf(tracks[k].label, sizeof tracks[k].label, "INT %d>track         >", static_cast<int>(k));
      tracks[k].initial_offset = 4100;
    }
    console_capture console;
    report_head();
    run_extremes extremes;
    for (std::size_t k = 1; k < tracks.size(); ++k) {
      report_track(tracks[k], find_offset_and_gain(tracks[0], tracks[k], memory->search).silent, extremes);
    }
    report_summary(extremes, 100000, tracks[1].initial_offset);
    std::string expected = "                     Offset[sample]  Gain    Gain[dB]     Score" MESSAGE_END;
    for (std::size_t k = 1; k < tracks.size(); ++k) {
      if (c.tracks[k - 1].level == 0.0) expected += "No Sound At All." MESSAGE_END;
      expected += std::string(tracks[k].label) + " " + c.rows[k - 1] + MESSAGE_END;
    }
    EXPECT_EQ(console.text(), expected + c.summary) << c.name;
    for (wav_track& t : tracks) release_track(t);
  }
}

}  // namespace
