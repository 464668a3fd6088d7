#include "output_checks.h"

#include <string>
#include <vector>

#include "console.h"
#include "raw_writer.h"
#include "wav_track.h"

int check_standard_streams(console_state& console, const char* const* paths, int count) {
  standard_stream* const streams[] = {&console.out, &console.err};
  const auto may_be_a_file = [](const standard_stream& s) {
    return s.kind == file_kind::regular || s.kind == file_kind::unknown;
  };
  if (!may_be_a_file(console.out) && !may_be_a_file(console.err)) return 0;
  // Every name first, while the streams are parked: memory may run out here.
  std::vector<std::string> names;
  for (int k = 0; k < count; ++k) {
    names.emplace_back(paths[k]);
    names.push_back(raw_path_for(paths[k]));
  }
  // Then the streams' own files back, so that a name such as /dev/stdout
  // leads to them, and nothing but the system asked until each is judged.
  release_stream(console.out);
  release_stream(console.err);
  bool leads[2] = {};
  const std::string* clash[2] = {};  // the path that each stream leads to
  for (const std::string& path : names) {
    file_identity id;
    const file_kind kind = identify(path, id);
    for (int s = 0; s < 2; ++s) {
      if (!leads[s] && stream_leads_to(*streams[s], kind, id)) {
        leads[s] = true;
        clash[s] = &path;
      }
    }
  }
  if (leads[0]) park_stream(console.out);
  if (leads[1]) park_stream(console.err);
  if (!leads[0] && !leads[1]) return 0;
  if (!leads[1]) {
    say_error("Output path is not available.\r\n");
    say_error("wavmatch2: %s: is standard output\r\n", clash[0]->c_str());
  } else if (!leads[0]) {
    say("Output path is not available.\r\n");
    say("wavmatch2: %s: is standard error\r\n", clash[1]->c_str());
  }
  return STATUS_OUTPUT_UNAVAILABLE;
}
