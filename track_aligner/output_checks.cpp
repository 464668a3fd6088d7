#include "output_checks.h"

#include <cerrno>
#include <cstdio>

#include "console.h"
#include "platform.h"
#include "raw_writer.h"

namespace {

// A standard stream that leads to a regular file, or to a disk file whose
// identity the system would not give: that one may be any of the inputs.
struct stream_file {
  file_kind kind;
  file_identity id;
  bool leads_to(file_kind other_kind, const file_identity& other) const {
    if (other_kind != file_kind::regular) return false;
    return kind == file_kind::unknown || (kind == file_kind::regular && same_file(id, other));
  }
};

stream_file stream_of(FILE* stream) {
  stream_file file{};
  file.kind = identify(stream, file.id);
  return file;
}

}  // namespace

int check_standard_streams(const char* const* paths, int count) {
  const stream_file out = stream_of(stdout);
  const stream_file err = stream_of(stderr);
  const auto may_be_a_file = [](const stream_file& s) {
    return s.kind == file_kind::regular || s.kind == file_kind::unknown;
  };
  if (!may_be_a_file(out) && !may_be_a_file(err)) return 0;
  for (int k = 0; k < count; ++k) {
    for (const std::string& path : {std::string(paths[k]), raw_path_for(paths[k])}) {
      file_identity id;
      const file_kind kind = identify(path, id);
      const bool to_out = out.leads_to(kind, id);
      const bool to_err = err.leads_to(kind, id);
      if (!to_out && !to_err) continue;
      if (!to_err) {
        say_error("Output path is not available.\r\n");
        say_error("wavmatch2: %s: is standard output\r\n", path.c_str());
      } else if (!to_out) {
        say("Output path is not available.\r\n");
        say("wavmatch2: %s: is standard error\r\n", path.c_str());
      }
      return STATUS_OUTPUT_UNAVAILABLE;
    }
  }
  return 0;
}

int check_output_paths(const wav_track* tracks, const std::string* paths, int wav_num) {
  file_identity input_ids[MAX_TRACKS];
  file_kind input_kinds[MAX_TRACKS];
  for (int k = 0; k < wav_num; ++k) {
    input_kinds[k] = tracks[k].fp == nullptr ? file_kind::missing : identify(tracks[k].fp, input_ids[k]);
  }
  const stream_file out = stream_of(stdout);
  std::string raw_paths[MAX_TRACKS];
  file_identity raw_ids[MAX_TRACKS];
  file_kind raw_kinds[MAX_TRACKS];
  for (int k = 0; k < wav_num; ++k) {
    const std::string& raw = raw_paths[k] = raw_path_for(paths[k]);
    raw_kinds[k] = identify(raw, raw_ids[k]);
    const int cause = errno;
    auto refuse = [&](const char* reason, const std::string& other) {
      say("Output path is not available.\r\n");
      say_error("wavmatch2: %s: %s%s\r\n", raw.c_str(), reason, other.c_str());
      return STATUS_OUTPUT_UNAVAILABLE;
    };
    switch (raw_kinds[k]) {
      case file_kind::folder:
        say("Output path is not available.\r\n");
        say_system_error(raw, EISDIR);
        return STATUS_OUTPUT_UNAVAILABLE;
      case file_kind::other:
        return refuse("is not a regular file", "");
      case file_kind::unknown:
        if (cause == 0) return refuse("cannot be told apart from the inputs", "");
        say("Output path is not available.\r\n");
        say_system_error(raw, cause);
        return STATUS_OUTPUT_UNAVAILABLE;
      case file_kind::missing:
      case file_kind::regular:
        break;
    }
    for (int i = 0; i < wav_num; ++i) {
      // An input whose identity is unknown may be this very file.
      const bool unknown_input = input_kinds[i] == file_kind::unknown;
      if (raw_kinds[k] == file_kind::regular &&
          (unknown_input || (input_kinds[i] == file_kind::regular && same_file(raw_ids[k], input_ids[i])))) {
        return refuse("would overwrite the input ", paths[i]);
      }
    }
    if (out.leads_to(raw_kinds[k], raw_ids[k])) return refuse("is standard output", "");
    for (int i = 0; i < k; ++i) {
      const bool both_exist = raw_kinds[k] == file_kind::regular && raw_kinds[i] == file_kind::regular;
      if ((both_exist && same_file(raw_ids[k], raw_ids[i])) || same_path(raw, raw_paths[i])) {
        return refuse("is also the raw file of ", paths[i]);
      }
    }
  }
  return 0;
}
