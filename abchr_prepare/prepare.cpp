#include "prepare.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>

#include "alignment.h"
#include "anchor_filter.h"
#include "decoders.h"
#include "input_checks.h"
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

// A mean above this (of full scale, -60 dBFS) in either channel is a DC offset
// worth a warning. Opus removes DC (its encoder high-passes at 3 Hz), MP3,
// AAC and Vorbis keep it, so with an offset the reference and an Opus
// stimulus start from different levels and each loop start clicks
// differently. No real recordings were at hand to settle the figure from
// (docs/design.md), so it is a round -60 dBFS: 0.001 of full scale, 33 steps
// of 16 bits, far above the mean of a signal whose converter and mastering
// removed DC, and the size of step that a fade-in turns into a thump.
constexpr double DC_WARNING = 0.001;

// A decode shorter than this share of the length its file gives, less the
// slack, was cut short: containers and bitrate estimates are rarely off by
// more than a frame or two, and a VBR file without a seek table by a few per
// cent.
constexpr double TRUNCATED_SHARE = 0.9;
constexpr double TRUNCATED_SLACK_SECONDS = 0.5;

struct job {
  std::string program;
  std::vector<std::string> args;
  std::string out;    // standard output's file, "" for none
  std::string err;    // standard error's file
  std::string input;  // the input the job is about, for its messages
  std::string decoder;
  const char* step;        // its progress line, "STEP k/n input"; nullptr for none
  double priority;         // among the jobs waiting, the highest starts first
  int failure;             // the status when it fails
  double seconds_allowed;  // before it counts as hung and is killed
};

// The time a decoder may take on `seconds` of music.
double seconds_allowed(const prepare_options& options, double seconds) {
  return options.timeout * std::max(1.0, seconds / 60);
}

// What a probe or a version query may take: it reads a header, but on a busy
// machine even that may take a while, and a short --timeout for the decodes
// must not stop it.
constexpr double QUERY_SECONDS = 30;

double query_seconds_allowed(const prepare_options& options) {
  return std::max(QUERY_SECONDS, seconds_allowed(options, 0));
}

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
  if (!options.quiet) std::fprintf(stderr, "%s\n", printable(text, true).c_str());
}

std::string file_name(const std::string& path) { return text_of(path_of(path).filename()); }

// Runs the jobs, `parallel` at a time, the waiting one of highest priority
// first, announcing each as "STEP k/n input" (n = `total`). `then` is called
// with each job that ends well; it may add jobs, up to `capacity` in all, and
// a status from it stops the run. On the first failure of a decoder the other
// jobs are stopped and the failure is printed; a probe's failure is printed
// and the other probes go on, so that every bad input is named in one run
// (`refused` then holds the status to end with). A signal stops every job and
// returns PREPARE_INTERRUPTED.
int run_jobs(std::vector<job>& jobs, std::size_t capacity, std::size_t total, const prepare_options& options,
             run_guard& guard, int& refused, const std::function<int(std::size_t)>& then) {
  std::vector<child_process> children(capacity);
  std::vector<bool> started(capacity, false);
  guard.children = &children;
  std::map<std::string, std::size_t> announced;
  int status = PREPARE_OK;
  int running = 0;
  while (status == PREPARE_OK) {
    if (pending_signal() != 0) {
      status = PREPARE_INTERRUPTED;
      break;
    }
    std::size_t next = jobs.size();
    for (std::size_t k = 0; k < jobs.size(); ++k) {
      if (!started[k] && (next == jobs.size() || jobs[k].priority > jobs[next].priority)) next = k;
    }
    if (next < jobs.size() && running < options.jobs) {
      const job& j = jobs[next];
      if (j.step != nullptr) {
        progress(options, std::string(j.step) + " " + std::to_string(++announced[j.step]) + "/" +
                              std::to_string(total) + " " + file_name(j.input));
      }
      guard_file(guard, j.err);
      if (!j.out.empty()) guard_file(guard, j.out);
      started[next] = true;
      int error = 0;
      children[next].seconds_allowed = j.seconds_allowed;
      if (!start_child(j.program, j.args, j.out, j.err, children[next], error)) {
        complain(j.input, "cannot start " + j.program + ": " + system_reason(error));
        status = PREPARE_DECODER_FAILED;
        break;
      }
      ++running;
      continue;
    }
    if (running == 0) break;
    child_exit exit;
    const int ended = wait_any_child(children, exit);
    if (ended == WAIT_INTERRUPTED) {
      status = PREPARE_INTERRUPTED;
      break;
    }
    if (ended < 0) break;
    --running;
    const std::size_t k = static_cast<std::size_t>(ended);
    if (exit.code == 0 && exit.signal == 0) {
      status = then(k);
      continue;
    }
    if (exit.timed_out) {
      char limit[32];
      std::snprintf(limit, sizeof limit, "%g", jobs[k].seconds_allowed);
      complain(jobs[k].input,
               jobs[k].decoder + " ran longer than " + limit +
                   " s and was stopped: it hangs; if the machine is only slow, allow more with "
                   "--timeout SECONDS (per minute of music)");
      status = PREPARE_DECODER_FAILED;
      break;
    }
    const std::string how = exit.signal != 0 ? "was killed by signal " + std::to_string(exit.signal)
                                             : "failed with status " + std::to_string(exit.code);
    const std::string said = last_line(read_file(jobs[k].err));
    if (jobs[k].decoder == "ffprobe") {
      // ffprobe fails on what it cannot read: the input's fault, not the tool's.
      complain(jobs[k].input, "ffprobe cannot read it (" + (said.empty() ? how : said) +
                                  "); give an audio file that ffmpeg decodes");
      refused = PREPARE_INPUT_REFUSED;
      continue;
    }
    complain(jobs[k].input, jobs[k].decoder + " " + how + (said.empty() ? "" : ": " + said));
    status = jobs[k].failure;
  }
  for (child_process& child : children) stop_child(child);
  guard.children = nullptr;
  return status != PREPARE_OK ? status : refused;
}

// The decoded files' names: "reference.wav", then each input's name with its
// extension's dot made an underscore ("song.mp3" gives "song_mp3.wav"), made
// unique where two inputs share a name.
std::vector<std::string> decoded_names(const std::vector<std::string>& encoded) {
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

// The original must be lossless and stereo.
int check_original(const std::string& input, const probe_result& original) {
  if (!is_lossless_codec(original.codec)) {
    complain(input, "the original is lossy (" + original.codec +
                        "); give the lossless file the encoded files were made from (WAV, FLAC)");
    return PREPARE_INPUT_REFUSED;
  }
  if (original.channels != 2) {
    complain(input, "the original has " + std::to_string(original.channels) +
                        " channels; only stereo songs can be prepared");
    return PREPARE_INPUT_REFUSED;
  }
  return PREPARE_OK;
}

// An encoded file must be stereo and at the original's rate.
int check_encoded(const std::string& input, const probe_result& probe, const probe_result& original,
                  bool resample) {
  if (probe.channels != 2) {
    complain(input, "has " + std::to_string(probe.channels) +
                        " channels, not 2; encode the stereo original again (abchr-prepare never downmixes)");
    return PREPARE_INPUT_REFUSED;
  }
  // Opus always codes at 48 kHz, whatever rate it was given.
  if (probe.codec != "opus" && probe.sample_rate != original.sample_rate && !resample) {
    complain(input,
             "its sample rate is " + std::to_string(probe.sample_rate) + " Hz, the original's " +
                 std::to_string(original.sample_rate) +
                 " Hz; encode it again at the original's rate (lame: --resample " +
                 kilohertz(original.sample_rate) +
                 "), or pass --resample to accept a soxr resampling and the fractional delay it brings");
    return PREPARE_INPUT_REFUSED;
  }
  return PREPARE_OK;
}

// Whether the container tells the decoder how much delay to drop, so that the
// decoded music should start where the original's does. Opus's header always
// gives its pre-skip. An MP3 carries it only in LAME's header, which ffprobe
// shows as a start after 0; at low bitrates the first frame is too small to
// hold that header, and the delay stays. MP4's edit lists and Ogg's granule
// positions give a start; a bare ADTS stream gives none.
// Raw streams (MP2, AC-3, DTS, ADTS AAC in files of their own) carry no delay,
// though ffprobe gives them a start of 0.
bool carries_delay(const probe_result& probe) {
  if (probe.codec == "opus") return true;
  if (probe.codec == "mp3") return probe.start_time > 0;
  for (const char* raw : {"mp3", "ac3", "eac3", "dts", "aac", "mp2", "truehd", "mlp"}) {
    if (probe.container == raw) return false;
  }
  return probe.has_start;
}

// A decode's cost, to start the slowest first: the length of the music times
// what its decoder does per second of it. Opus is decoded and resampled; a
// lossless original is only copied.
double decode_cost(const probe_result& probe) {
  const double weight = probe.codec == "opus" ? 3 : is_lossless_codec(probe.codec) ? 0.2 : 1;
  return weight * (probe.duration > 0 ? probe.duration : 1);
}

void fill_stimulus(stimulus_entry& s, const std::string& input, const probe_result& probe,
                   const decode_command& command, const std::string& version) {
  s.input = input;
  s.codec = probe.codec;
  s.container = probe.container;
  s.bitrate = probe.bitrate;
  s.input_rate = probe.sample_rate;
  s.decoder = command.decoder;
  s.decoder_version = version;
  s.decoder_command = {command.program};
  s.decoder_command.insert(s.decoder_command.end(), command.args.begin(), command.args.end());
}

// Wrong music, an offset at the edge of the searched range, or a prediction
// missed: the first two refuse the song, the last is a warning.
int check_alignment(song_entry& song) {
  int status = PREPARE_OK;
  for (const stimulus_entry& s : song.stimuli) {
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

// 7.3 as "7.3", 7 as "7".
std::string decibels(double db) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", db);
  std::string t = text;
  if (t.size() > 2 && t.compare(t.size() - 2, 2, ".0") == 0) t.resize(t.size() - 2);
  return t;
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", seconds);
  return text;
}

// The decodes checked against their own probes and against the original:
// each bad one is named, and then the song is refused.
int check_decodes(wavmatch_run& run, const std::vector<probe_result>& probes,
                  const std::vector<std::string>& inputs) {
  int status = PREPARE_OK;
  const auto refuse = [&](std::size_t k, const std::string& text) {
    complain(inputs[k], text);
    status = PREPARE_INPUT_REFUSED;
  };
  wav_track& original = run.tracks[0];
  const double rate = original.sample_rate;
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    wav_track& track = run.tracks[k];
    const double decoded = track.frame_num / rate;
    // A cut file still plays what it holds; its header or its bitrate told
    // how long it was meant to be.
    if (probes[k].duration > 0 && decoded < TRUNCATED_SHARE * probes[k].duration - TRUNCATED_SLACK_SECONDS) {
      refuse(k, "decodes to " + seconds_text(decoded) + " of music, but it describes itself as " +
                    seconds_text(probes[k].duration) +
                    " long: the file is cut short; copy or encode it again");
      continue;
    }
    if (k == 0) continue;
    // Music that came earlier by more than the search reaches, or ends early.
    if (int64_t{track.frame_num} < int64_t{original.frame_num} + MIN_OFFSET) {
      refuse(k, "decodes to " + seconds_text(decoded) + " of music, the original to " +
                    seconds_text(original.frame_num / rate) +
                    ": it is cut short, or not made from this original; encode the whole original again");
      continue;
    }
    if (decodes_to_silence(track)) {
      refuse(k,
             "decodes to digital silence (every value 0); check the encoder's input and settings and "
             "encode it again");
      continue;
    }
    if (track.offset == 0 && track.score == 0 && decode_the_same(original, track)) {
      refuse(k,
             "decodes to the original's music value for value: it is the original or a lossless copy, "
             "not an encoded file; give the lossy encodings of " +
                 inputs[0]);
    }
  }
  return status;
}

}  // namespace

void complain(const std::string& path, const std::string& text) {
  // The message's own lines stay lines; a file name's control bytes are escaped.
  if (path.empty())
    std::fprintf(stderr, "abchr-prepare: %s\n", printable(text, true).c_str());
  else
    std::fprintf(stderr, "abchr-prepare: %s: %s\n", printable(path).c_str(), printable(text, true).c_str());
}

int prepare_song(const prepare_options& options, const serving_choices& serving, const std::string& folder,
                 const std::string& served, run_guard& guard, song_entry& song,
                 std::string& serving_warning) {
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
  // Each input is probed, checked and decoded as soon as it can be: a
  // decode needs its own description and the original's.
  const std::size_t n = inputs.size();
  const std::vector<std::string> names = decoded_names(options.encoded);
  std::vector<std::string> decoded;
  for (const std::string& name : names) decoded.push_back(work + "/" + name);
  std::vector<probe_result> probes(n);
  std::vector<decode_command> commands(n);
  std::vector<bool> probed(n, false);
  std::vector<bool> checked(n, false);
  bool original_refused = false;
  std::map<std::string, std::string> versions;       // decoder: its version
  std::map<std::string, std::string> version_files;  // decoder: where it writes its version
  std::vector<job> jobs;
  for (std::size_t k = 0; k < n; ++k) {
    const std::string stem = work + "/probe" + std::to_string(k);
    // Probes first: they are short, and every decode waits for one.
    jobs.push_back({found.ffprobe, probe_arguments(inputs[k]), stem + ".json", stem + ".err", inputs[k],
                    "ffprobe", "probing", 1e300, PREPARE_INPUT_REFUSED, query_seconds_allowed(options)});
  }
  const auto queue_decode = [&](std::size_t k) {
    commands[k] = k == 0 ? original_command(found, inputs[k], decoded[k])
                         : encoded_command(found, probes[k], inputs[k], decoded[k], probes[0].sample_rate,
                                           options.resample);
    guard_file(guard, decoded[k]);
    // The slowest first, so that no long decode starts last and runs alone.
    jobs.push_back({commands[k].program, commands[k].args, "", decoded[k] + ".err", inputs[k],
                    commands[k].decoder, "decoding", decode_cost(probes[k]), PREPARE_DECODER_FAILED,
                    seconds_allowed(options, probes[k].duration)});
    if (versions.count(commands[k].decoder) != 0 || version_files.count(commands[k].decoder) != 0) return;
    // ffmpeg beside ffprobe is of the same build, whose version ffprobe gave.
    if (commands[k].decoder == "ffmpeg" && !probes[0].prober_version.empty() &&
        path_of(found.ffmpeg).parent_path() == path_of(found.ffprobe).parent_path()) {
      versions["ffmpeg"] = probes[0].prober_version;
      return;
    }
    const std::string stem = work + "/version-" + commands[k].decoder;
    version_files[commands[k].decoder] = stem + ".txt";
    jobs.push_back({commands[k].program, version_arguments(commands[k].decoder), stem + ".txt", stem + ".err",
                    commands[k].program, commands[k].decoder, nullptr, -1, PREPARE_DECODER_FAILED,
                    query_seconds_allowed(options)});
  };
  // A refused input is named and the other inputs are still probed and
  // checked, so that one run names every bad file; nothing more is decoded.
  int refused = PREPARE_OK;
  const auto then = [&](std::size_t j) {
    if (j >= n) return static_cast<int>(PREPARE_OK);  // a decode or a version
    std::string problem;
    if (!parse_probe(read_file(jobs[j].out), probes[j], problem)) {
      complain(inputs[j], problem + "; give a file that ffmpeg can decode");
      refused = PREPARE_INPUT_REFUSED;
      return static_cast<int>(PREPARE_OK);
    }
    probed[j] = true;
    if (j == 0 && check_original(inputs[0], probes[0]) != PREPARE_OK) {
      refused = PREPARE_INPUT_REFUSED;
      original_refused = true;
    }
    if (!probed[0] || original_refused) return static_cast<int>(PREPARE_OK);
    for (std::size_t k = 0; k < n; ++k) {
      if (!probed[k] || checked[k]) continue;
      checked[k] = true;
      if (k > 0 && check_encoded(inputs[k], probes[k], probes[0], options.resample) != PREPARE_OK) {
        refused = PREPARE_INPUT_REFUSED;
        continue;
      }
      if (refused == PREPARE_OK) queue_decode(k);
    }
    return static_cast<int>(PREPARE_OK);
  };
  // n probes, n decodes and at most two decoders' versions.
  if (const int status = run_jobs(jobs, 2 * n + 2, n, options, guard, refused, then); status != PREPARE_OK) {
    return status;
  }
  for (const auto& [decoder, file] : version_files)
    versions[decoder] = version_from(decoder, read_file(file));
  const int rate = probes[0].sample_rate;

  song.name = text_of(path_of(options.original).stem());
  song.rate = rate;
  song.channels = 2;
  song.headroom_db = options.headroom_db;
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    const std::string& version = versions[commands[k].decoder];
    stimulus_entry& s = k == 0 ? song.reference : song.stimuli.emplace_back();
    fill_stimulus(s, inputs[k], probes[k], commands[k], version);
    if (k > 0 && carries_delay(probes[k])) s.predicted_offset = 0;
    if (k > 0 && probes[k].codec != "opus" && probes[k].sample_rate != rate) {
      song.warnings.push_back(inputs[k] + ": resampled from " + std::to_string(probes[k].sample_rate) +
                              " Hz to " + std::to_string(rate) +
                              " Hz by soxr, which adds a fractional delay");
    }
  }
  if (rate != WEIGHTING_RATE) {
    song.warnings.push_back("song " + song.name + " is not at 44.1 kHz but at " + std::to_string(rate) +
                            " Hz; the aligner's loudness weighting is made for 44100 Hz");
  }

  progress(options, "aligning " + std::to_string(inputs.size()) + " files");
  wavmatch_run run;
  std::vector<bool> silent;
  if (const int status = align_decoded(decoded, run, silent); status != 0) {
    complain(options.original, "the aligner refused the decoded files (its status " + std::to_string(status) +
                                   "); see its message above");
    return status == STATUS_OUT_OF_MEMORY ? PREPARE_OUT_OF_MEMORY : PREPARE_DECODER_FAILED;
  }
  song.common_frames = run.shortest_sample;
  song.initial_offset = run.tracks[0].initial_offset;
  for (std::size_t k = 1; k < inputs.size(); ++k) {
    const wav_track& track = run.tracks[k];
    stimulus_entry& s = song.stimuli[k - 1];
    s.offset = track.offset;
    s.gain = track.gain;
    s.gain_db = 20 * std::log10(track.gain);
    s.score = track.score;
    s.silent = silent[k];
  }
  if (const int status = check_decodes(run, probes, inputs); status != PREPARE_OK) return status;
  if (const int status = check_alignment(song); status != PREPARE_OK) return status;
  if (pending_signal() != 0) return PREPARE_INTERRUPTED;
  // The anchors are conditions like the others: named in the same draw, so
  // that their served names tell nothing, and made from the reference's
  // decode, whose input, decoder and format they keep.
  const std::vector<std::pair<const char*, double>> anchors =
      options.anchors ? std::vector<std::pair<const char*, double>>{{LOW_ANCHOR_CODEC, LOW_ANCHOR_HZ},
                                                                    {MID_ANCHOR_CODEC, MID_ANCHOR_HZ}}
                      : std::vector<std::pair<const char*, double>>{};
  for (const auto& anchor : anchors) {
    stimulus_entry& a = song.stimuli.emplace_back(song.reference);
    a.codec = anchor.first;
    a.bitrate = 0;
  }

  song.reference_scale_db = stimulus_scale_db(run, 0, options.headroom_db);
  folder_problem refusal;
  if (plan_serving(serving, song, serving_warning, refusal) != folder_status::ok) {
    complain(refusal.path, refusal.message);
    return PREPARE_CHECK_FAILED;
  }
  int64_t clipped_total = 0;
  std::string clipped;
  double needed_db = options.headroom_db;
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    stimulus_entry& s = k == 0 ? song.reference : song.stimuli[k - 1];
    const std::string path = served + "/" + s.name + ".wav";
    if (pending_signal() != 0) return PREPARE_INTERRUPTED;
    progress(options, "writing " + std::to_string(k + 1) + "/" + std::to_string(inputs.size()) + " " +
                          file_name(s.input));
    guard_file(guard, path);
    std::string problem;
    int clips = 0;
    std::array<double, 2> dc = {0, 0};
    const bool written =
        write_stimulus(run, static_cast<int>(k), options.headroom_db, song.served, path, clips, dc, problem);
    s.clips = clips;
    if (!written) {
      complain(path, "cannot write: " + problem);
      return PREPARE_OUTPUT_FAILED;
    }
    if (const double offset = std::max(std::abs(dc[0]), std::abs(dc[1])); offset > DC_WARNING) {
      char level[64];
      std::snprintf(level, sizeof level, "%.4f of full scale (%.1f dBFS)", offset, 20 * std::log10(offset));
      song.warnings.push_back("song " + song.name + ": " + s.input + " has a DC offset of " + level +
                              "; a codec that removes DC (Opus) then starts from another level than the "
                              "reference, a different step at each start of a loop; remove it from the "
                              "original (a high-pass at a few Hz) and encode again");
    }
    if (s.clips > 0) {
      const wav_track& track = run.tracks[k];
      const double peak =
          decoded_peak(run.tracks[k], track.offset - run.extremes.smallest_delay, run.shortest_sample);
      const double scale =
          std::pow(10.0, stimulus_scale_db(run, static_cast<int>(k), options.headroom_db) / 20);
      needed_db = std::max(needed_db, headroom_needed(peak * scale * 32768, options.headroom_db));
      clipped_total += s.clips;
      clipped += (clipped.empty() ? "" : ", ") + file_name(s.input) + " " + std::to_string(s.clips);
    }
  }
  for (std::size_t a = 0; a < anchors.size(); ++a) {
    stimulus_entry& s = song.stimuli[inputs.size() - 1 + a];
    const std::string path = served + "/" + s.name + ".wav";
    if (pending_signal() != 0) return PREPARE_INTERRUPTED;
    progress(options, "writing " + s.codec);
    std::string problem;
    guard_file(guard, path);
    int clips = 0;
    double peak = 0;
    if (!write_anchor(run, anchor_taps(anchors[a].second, rate), options.headroom_db, song.served, path,
                      clips, peak, problem)) {
      complain(path, "cannot write: " + problem);
      return PREPARE_OUTPUT_FAILED;
    }
    s.clips = clips;
    if (clips > 0) {
      needed_db = std::max(needed_db, headroom_needed(peak, options.headroom_db));
      clipped_total += clips;
      clipped += (clipped.empty() ? "" : ", ") + s.codec + " " + std::to_string(clips);
    }
  }
  if (clipped_total > 0) {
    complain(options.original, "stimuli would clip (values clamped: " + clipped +
                                   "); lower them all alike with --headroom " + decibels(needed_db) +
                                   ", which the highest peak needs");
    return PREPARE_CHECK_FAILED;
  }
  // Written one after another, the files' times would give the order of the
  // command line (and of the anchors) in any listing sorted by time: every
  // served file gets the same, in whole seconds, which every file system keeps.
  const auto now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  for (std::size_t k = 0; k <= song.stimuli.size(); ++k) {
    const std::string path =
        served + "/" + (k == 0 ? song.reference.name : song.stimuli[k - 1].name) + ".wav";
    if (int error = 0; !set_file_time(path, now, error)) {
      complain(path, "cannot set its time: " + system_reason(error));
      return PREPARE_OUTPUT_FAILED;
    }
  }
  return PREPARE_OK;
}
