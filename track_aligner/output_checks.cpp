#include "output_checks.h"

#include <string>

#include "console.h"
#include "raw_writer.h"
#include "wav_track.h"

int check_standard_streams(console_state& console, const char* const* paths, int count) {
  standard_stream* const streams[] = {&console.out, &console.err};
  bool leads[2] = {};
  std::string clash[2];  // the path that each stream leads to
  if (console.out.parked >= 0 || console.err.parked >= 0) {
    for (int k = 0; k < count; ++k) {
      for (const std::string& path : {std::string(paths[k]), raw_path_for(paths[k])}) {
        file_identity id;
        const file_kind kind = identify(path, id);
        for (int s = 0; s < 2; ++s) {
          if (!leads[s] && stream_leads_to(*streams[s], kind, id)) {
            leads[s] = true;
            clash[s] = path;
          }
        }
      }
    }
  }
  if (!leads[0]) release_stream(console.out);
  if (!leads[1]) release_stream(console.err);
  if (!leads[0] && !leads[1]) return 0;
  if (!leads[1]) {
    say_error("Output path is not available.\r\n");
    say_error("wavmatch2: %s: is standard output\r\n", clash[0].c_str());
  } else if (!leads[0]) {
    say("Output path is not available.\r\n");
    say("wavmatch2: %s: is standard error\r\n", clash[1].c_str());
  }
  return STATUS_OUTPUT_UNAVAILABLE;
}
