#include "prepare.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "alignment.h"
#include "decoders.h"
#include "probe.h"
#include "utf8_paths.h"

namespace {

namespace fs = std::filesystem;

// A measured offset further than this from the one the container predicts is
// a warning: decoders differ by a frame or two in how they round the delay.
constexpr int PREDICTION_TOLERANCE = 4;

// Above this score a stimulus does not hold the same music as the original.
// Unrelated music matched in loudness leaves a residual about sqrt(2) times
// the original (the two energies add); even the best-matching stretch of other
// music from the same instruments scored 1.03 to 1.06 on synthesised songs.
// The real codecs at their lowest settings on the same songs (lame -b 32
// --resample 44.1, Opus at 16 kbit/s, Vorbis -q -1, AAC at 32 kbit/s) scored
// 0.13 to 0.40, AAC the highest. 0.7 keeps a wide margin on both sides.
constexpr double WRONG_MUSIC_SCORE = 0.7;

// The loudness weighting of the aligner is made for this rate.
constexpr int WEIGHTING_RATE = 44100;

struct job {
  std::string program;
  std::vector<std::string> args;
  std::string out;    // standard output's file, "" for none
  std::string err;    // standard error's file
  std::string input;  // the input the job is about, for its messages
  std::string decoder;
  bool announced = true;  // one progress line when it starts
};

std::string read_file(const std::string& path) {
  std::ifstream in(path_of(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A decoder's last line of complaint, for the message that names it.
std::string last_line(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r')) trimmed.pop_back();
  const std::size_t start = trimmed.find_last_of('\n');
  return start == std::string::npos ? trimmed : trimmed.substr(start + 1);
}

void progress(const prepare_options& options, const std::string& text) {
  if (!options.quiet) std::fprintf(stderr, "%s\n", text.c_str());
}

std::string file_name(const std::string& path) { return text_of(path_of(path).filename()); }

// Runs the jobs, `parallel` at a time, announcing each as "STEP k/n input".
// On the first that fails, the others are stopped and its failure printed.
int run_jobs(const std::vector<job>& jobs, int parallel, const char* step, const prepare_options& options,
             run_guard& guard) {
  std::vector<child_process> children(jobs.size());
  hold_signals();
  guard.children = &children;
  release_signals();
  int status = PREPARE_OK;
  std::size_t next = 0;
  int running = 0;
  const auto total = std::count_if(jobs.begin(), jobs.end(), [](const job& j) { return j.announced; });
  long announced = 0;
  auto stop_all = [&] {
    for (child_process& child : children) stop_child(child);
  };
  while (status == PREPARE_OK && (next < jobs.size() || running > 0)) {
    if (next < jobs.size() && running < parallel) {
      const job& j = jobs[next];
      if (j.announced) {
        progress(options, std::string(step) + " " + std::to_string(++announced) + "/" +
                              std::to_string(total) + " " + file_name(j.input));
      }
      guard_file(guard, j.err);
      if (!j.out.empty()) guard_file(guard, j.out);
      int error = 0;
      if (!start_child(j.program, j.args, j.out, j.err, children[next], error)) {
        complain(j.input, "cannot start " + j.program + ": " + system_reason(error));
        status = PREPARE_DECODER_FAILED;
        break;
      }
      ++next;
      ++running;
      continue;
    }
    child_exit exit;
    const int k = wait_any_child(children, exit);
    if (k < 0) break;
    --running;
    if (exit.code == 0 && exit.signal == 0) continue;
    const job& j = jobs[static_cast<std::size_t>(k)];
    const std::string how = exit.signal != 0 ? "was killed by signal " + std::to_string(exit.signal)
                                             : "failed with status " + std::to_string(exit.code);
    const std::string said = last_line(read_file(j.err));
    if (j.decoder == "ffprobe") {
      // ffprobe fails on what it cannot read: the input's fault, not the tool's.
      complain(j.input, "ffprobe cannot read it (" + (said.empty() ? how : said) +
                            "); give an audio file that ffmpeg decodes");
    } else {
      complain(j.input, j.decoder + " " + how + (said.empty() ? "" : ": " + said));
    }
    status = PREPARE_DECODER_FAILED;
  }
  stop_all();
  hold_signals();
  guard.children = nullptr;
  release_signals();
  return status;
}

// The stimulus file names: "reference.wav", then each input's name with its
// extension's dot made an underscore ("song.mp3" gives "song_mp3.wav"), made
// unique where two inputs share a name.
std::vector<std::string> stimulus_names(const std::vector<std::string>& encoded) {
  std::vector<std::string> names{"reference.wav"};
  for (const std::string& input : encoded) {
    std::string base = file_name(input);
    const std::size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && dot != 0) base[dot] = '_';
    std::string name = base + ".wav";
    for (int n = 2; std::find(names.begin(), names.end(), name) != names.end(); ++n) {
      name = base + "_" + std::to_string(n) + ".wav";
    }
    names.push_back(name);
  }
  return names;
}

// 44100 as "44.1", as lame's --resample takes it.
std::string kilohertz(int rate) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", rate / 1000.0);
  return text;
}

bool find_decoders(decoder_paths& found) {
  found.ffprobe = find_on_path("ffprobe");
  found.ffmpeg = find_on_path("ffmpeg");
  found.opusdec = find_on_path("opusdec");
  for (const auto& [name, path] : {std::pair{"ffprobe", found.ffprobe}, std::pair{"ffmpeg", found.ffmpeg}}) {
    if (path.empty()) {
      complain(name, std::string("not found on PATH; ") + install_hint(name));
      return false;
    }
  }
  return true;
}

// Every input's description, or the status of the first that cannot be read.
int probe_inputs(const prepare_options& options, const decoder_paths& found,
                 const std::vector<std::string>& inputs, const std::string& work, run_guard& guard,
                 std::vector<probe_result>& probes) {
  std::vector<job> jobs;
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    const std::string stem = work + "/probe" + std::to_string(k);
    jobs.push_back(
        {found.ffprobe, probe_arguments(inputs[k]), stem + ".json", stem + ".err", inputs[k], "ffprobe"});
  }
  // ffprobe's failure is the input's fault: it could not read it.
  if (run_jobs(jobs, options.jobs, "probing", options, guard) != PREPARE_OK) return PREPARE_INPUT_REFUSED;
  probes.resize(inputs.size());
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    std::string problem;
    if (!parse_probe(read_file(jobs[k].out), probes[k], problem)) {
      complain(inputs[k], problem + "; give a file that ffmpeg can decode");
      return PREPARE_INPUT_REFUSED;
    }
  }
  return PREPARE_OK;
}

// The rules an input must meet before anything is decoded.
int check_inputs(const prepare_options& options, const std::vector<probe_result>& probes) {
  const probe_result& original = probes[0];
  if (!is_lossless_codec(original.codec)) {
    complain(options.original, "the original is lossy (" + original.codec +
                                   "); give the lossless file the encoded files were made from (WAV, FLAC)");
    return PREPARE_INPUT_REFUSED;
  }
  if (original.channels != 2) {
    complain(options.original, "the original has " + std::to_string(original.channels) +
                                   " channels; only stereo songs can be prepared");
    return PREPARE_INPUT_REFUSED;
  }
  for (std::size_t k = 1; k < probes.size(); ++k) {
    const probe_result& probe = probes[k];
    const std::string& input = options.encoded[k - 1];
    if (probe.channels != 2) {
      complain(input,
               "has " + std::to_string(probe.channels) +
                   " channels, not 2; encode the stereo original again (abchr-prepare never downmixes)");
      return PREPARE_INPUT_REFUSED;
    }
    // Opus always codes at 48 kHz, whatever rate it was given.
    if (probe.codec != "opus" && probe.sample_rate != original.sample_rate && !options.resample) {
      complain(input,
               "its sample rate is " + std::to_string(probe.sample_rate) + " Hz, the original's " +
                   std::to_string(original.sample_rate) +
                   " Hz; encode it again at the original's rate (lame: --resample " +
                   kilohertz(original.sample_rate) +
                   "), or pass --resample to accept a soxr resampling and the fractional delay it brings");
      return PREPARE_INPUT_REFUSED;
    }
  }
  return PREPARE_OK;
}

// Whether the container tells the decoder how much delay to drop, so that the
// decoded music should start where the original's does. Opus's header always
// gives its pre-skip. An MP3 carries it only in LAME's header, which ffprobe
// shows as a start after 0; at low bitrates the first frame is too small to
// hold that header, and the delay stays. MP4's edit lists and Ogg's granule
// positions give a start; a bare ADTS stream gives none.
bool carries_delay(const probe_result& probe) {
  if (probe.codec == "opus") return true;
  if (probe.codec == "mp3") return probe.start_time > 0;
  return probe.has_start;
}

// A decode's cost, to start the slowest first: the length of the music times
// what its decoder does per second of it. Opus is decoded and resampled; a
// lossless original is only copied.
double decode_cost(const probe_result& probe) {
  const double weight = probe.codec == "opus" ? 3 : is_lossless_codec(probe.codec) ? 0.2 : 1;
  return weight * (probe.duration > 0 ? probe.duration : 1);
}

void fill_stimulus(stimulus_record& s, const std::string& input, const probe_result& probe,
                   const decode_command& command, const std::string& version, const std::string& wav) {
  s.input = input;
  s.codec = probe.codec;
  s.container = probe.container;
  s.bitrate = probe.bitrate;
  s.input_rate = probe.sample_rate;
  s.decoder = command.decoder;
  s.decoder_version = version;
  s.decoder_command = {command.program};
  s.decoder_command.insert(s.decoder_command.end(), command.args.begin(), command.args.end());
  s.wav = wav;
}

// Wrong music, an offset at the edge of the searched range, or a prediction
// missed: the first two refuse the song, the last is a warning.
int check_alignment(song_record& song) {
  int status = PREPARE_OK;
  for (const stimulus_record& s : song.stimuli) {
    if (s.offset == MIN_OFFSET || s.offset == MAX_OFFSET) {
      complain(s.input, "its offset " + std::to_string(s.offset) +
                            " lies at the edge of the searched range: it does not hold the original's music, "
                            "or a decoder shifted it; check that it was encoded from " +
                            song.reference.input);
      status = PREPARE_CHECK_FAILED;
    } else if (!(s.score <= WRONG_MUSIC_SCORE)) {
      char score[32];
      std::snprintf(score, sizeof score, "%f", s.score);
      complain(s.input, std::string("its score ") + score +
                            " shows other music than the original's; check that it was encoded from " +
                            song.reference.input);
      status = PREPARE_CHECK_FAILED;
    }
    if (s.silent)
      song.warnings.push_back(s.input + ": the compared stretch is silent; offset and gain are not measured");
    if (s.predicted_offset && std::abs(*s.predicted_offset - s.offset) > PREDICTION_TOLERANCE) {
      song.warnings.push_back(s.input + ": measured offset " + std::to_string(s.offset) +
                              ", the container predicts " + std::to_string(*s.predicted_offset));
    }
  }
  return status;
}

}  // namespace

void complain(const std::string& path, const std::string& text) {
  if (path.empty())
    std::fprintf(stderr, "abchr-prepare: %s\n", text.c_str());
  else
    std::fprintf(stderr, "abchr-prepare: %s: %s\n", path.c_str(), text.c_str());
}

int prepare_song(const prepare_options& options, const std::string& folder, run_guard& guard,
                 song_record& song) {
  decoder_paths found;
  if (!find_decoders(found)) return PREPARE_DECODER_FAILED;
  const std::string work = folder + "/.decoded";
  std::error_code ec;
  guard_folder(guard, work);
  if (!fs::create_directory(path_of(work), ec)) {
    complain(work, "cannot make the folder for decoded files: " + ec.message());
    return PREPARE_OUTPUT_FAILED;
  }
  // Gone on every return: the decoded files are large and of no use after.
  struct remove_on_return {
    std::string path;
    ~remove_on_return() {
      std::error_code ignored;
      fs::remove_all(path_of(path), ignored);
    }
  } decoded_files{work};

  std::vector<std::string> inputs{options.original};
  inputs.insert(inputs.end(), options.encoded.begin(), options.encoded.end());
  std::vector<probe_result> probes;
  if (const int status = probe_inputs(options, found, inputs, work, guard, probes); status != PREPARE_OK) {
    return status;
  }
  if (const int status = check_inputs(options, probes); status != PREPARE_OK) return status;

  const int rate = probes[0].sample_rate;
  const std::vector<std::string> names = stimulus_names(options.encoded);
  std::vector<decode_command> commands;
  std::vector<std::string> decoded;
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    decoded.push_back(work + "/" + names[k]);
    commands.push_back(
        k == 0 ? original_command(found, inputs[k], decoded[k])
               : encoded_command(found, probes[k], inputs[k], decoded[k], rate, options.resample));
  }
  // The slowest first, so that no long decode starts last and runs alone.
  std::vector<std::size_t> order(inputs.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return decode_cost(probes[a]) > decode_cost(probes[b]);
  });
  std::vector<job> jobs;
  for (const std::size_t k : order) {
    jobs.push_back(
        {commands[k].program, commands[k].args, "", decoded[k] + ".err", inputs[k], commands[k].decoder});
    guard_file(guard, decoded[k]);
  }
  // Each decoder's version, from its own output, asked beside the decodes.
  std::map<std::string, std::string> versions;
  for (const decode_command& command : commands) {
    if (versions.count(command.decoder) != 0) continue;
    const std::string stem = work + "/version-" + command.decoder;
    versions[command.decoder] = stem + ".txt";
    jobs.push_back({command.program, version_arguments(command.decoder), stem + ".txt", stem + ".err",
                    command.program, command.decoder, false});
  }
  if (const int status = run_jobs(jobs, options.jobs, "decoding", options, guard); status != PREPARE_OK) {
    return status;
  }
  for (auto& [decoder, version] : versions) version = version_from(decoder, read_file(version));

  song.name = text_of(path_of(options.original).stem());
  song.sample_rate = rate;
  song.headroom_db = options.headroom_db;
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    const std::string& version = versions[commands[k].decoder];
    stimulus_record& s = k == 0 ? song.reference : song.stimuli.emplace_back();
    fill_stimulus(s, inputs[k], probes[k], commands[k], version, names[k]);
    if (k > 0 && carries_delay(probes[k])) s.predicted_offset = 0;
    if (k > 0 && probes[k].codec != "opus" && probes[k].sample_rate != rate) {
      song.warnings.push_back(inputs[k] + ": resampled from " + std::to_string(probes[k].sample_rate) +
                              " Hz to " + std::to_string(rate) +
                              " Hz by soxr, which adds a fractional delay");
    }
  }
  if (rate != WEIGHTING_RATE) {
    song.warnings.push_back("the sample rate is " + std::to_string(rate) +
                            " Hz; the loudness weighting is made for 44100 Hz");
  }

  progress(options, "aligning " + std::to_string(inputs.size()) + " files");
  wavmatch_run run;
  std::vector<bool> silent;
  if (const int status = align_decoded(decoded, run, silent); status != 0) {
    complain(options.original, "the aligner refused the decoded files (its status " + std::to_string(status) +
                                   "); see its message above");
    return status == STATUS_OUT_OF_MEMORY ? PREPARE_OUT_OF_MEMORY : PREPARE_DECODER_FAILED;
  }
  song.frames = run.shortest_sample;
  song.initial_offset = run.tracks[0].initial_offset;
  for (std::size_t k = 1; k < inputs.size(); ++k) {
    const wav_track& track = run.tracks[k];
    stimulus_record& s = song.stimuli[k - 1];
    s.offset = track.offset;
    s.gain = track.gain;
    s.gain_db = 20 * std::log10(track.gain);
    s.score = track.score;
    s.silent = silent[k];
  }
  if (const int status = check_alignment(song); status != PREPARE_OK) return status;

  song.output_scale_db = stimulus_scale_db(run, 0, options.headroom_db);
  int clipped_total = 0;
  std::string clipped;
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    stimulus_record& s = k == 0 ? song.reference : song.stimuli[k - 1];
    const std::string path = folder + "/" + s.wav;
    progress(options, "writing " + std::to_string(k + 1) + "/" + std::to_string(inputs.size()) + " " + s.wav);
    guard_file(guard, path);
    std::string problem;
    if (!write_stimulus(run, static_cast<int>(k), options.headroom_db, path, s.clips, problem)) {
      complain(path, "cannot write: " + problem);
      return PREPARE_OUTPUT_FAILED;
    }
    if (s.clips > 0) {
      clipped_total += s.clips;
      clipped += (clipped.empty() ? "" : ", ") + file_name(s.input) + " " + std::to_string(s.clips);
    }
  }
  if (clipped_total > 0) {
    complain(options.original, "stimuli would clip (values clamped: " + clipped +
                                   "); lower them all alike with --headroom DB, for example --headroom " +
                                   std::to_string(static_cast<int>(std::ceil(options.headroom_db)) + 3));
    return PREPARE_CHECK_FAILED;
  }
  return PREPARE_OK;
}
