// The carriage-return replay on logs held in memory: known cases fed in
// blocks of every small size, and random logs checked against a plain model
// that keeps the line as a list of characters.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "logsweep_model.h"
#include "replay_in_memory.h"

namespace {

using namespace std::string_literals;

// Replays `log` cut into blocks of `block_size` bytes (0: all at once).
std::string replay_in_blocks(const std::string& log, std::size_t block_size) {
  if (block_size == 0) return replay_log(log);
  line_replay line;
  std::string lines;
  for (std::size_t at = 0; at < log.size(); at += block_size) {
    replay_block(line, std::string_view(log).substr(at, block_size), lines);
  }
  replay_end(line, lines);
  return lines;
}

struct replay_case {
  const char* name;
  std::string log;
  std::string lines;
};

std::string repeat(const std::string& text, std::size_t count) {
  std::string repeated;
  for (std::size_t i = 0; i < count; ++i) repeated += text;
  return repeated;
}

const std::string long_text(10000, 'a');

const std::vector<replay_case> REPLAY_CASES = {
    {"empty log gives one empty line", "", "\n"},
    {"final line feed gives an extra empty line", "one\ntwo\n", "one\ntwo\n\n"},
    {"last line without line feed is kept", "one\ntwo", "one\ntwo\n"},
    {"carriage return does not clear the line", "abc\rX", "Xbc\n"},
    {"shorter percentage leaves a stale sign", "100%\r50%", "50%%\n"},
    {"CR LF lines pass unchanged", "one\r\ntwo\r\n", "one\ntwo\n\n"},
    {"line ending in CR keeps its text", "kept\r", "kept\n"},
    {"progress redraws keep the last state", "0%\r10%\r55%\r100%\ndone\n", "100%\ndone\n\n"},
    {"text after CR overwrites and extends", "ab\rXYZ", "XYZ\n"},
    {"repeated returns without text", "abc\r\r\rd", "dbc\n"},
    {"other control bytes are copied", "a\tb\bc\x1b[0m", "a\tb\bc\x1b[0m\n"},
    {"zero bytes are kept", "a\0b\rX"s, "X\0b\n"s},
    {"zero byte overwritten", "a\0b\r\0\0"s, "\0\0b\n"s},
    {"a line longer than 4095 bytes is whole", long_text + "\rX",
     std::string(1, 'X').append(long_text, 1) + "\n"},
    {"two-byte characters overwritten by one", "\xC3\xA9t\xC3\xA9\rX", "Xt\xC3\xA9\n"},
    {"one-byte characters overwritten by two", "abc\r\xC3\xA9",
     "\xC3\xA9"
     "bc\n"},
    {"block bar overwritten by percentage", "\xE2\x96\x88\xE2\x96\x88\xE2\x96\x91\r50%", "50%\n"},
    {"four-byte character takes one position", "\xF0\x9F\x98\x80z\rab", "ab\n"},
    {"lone lead byte takes one position", "\xC3z\rab", "ab\n"},
    {"stray continuation byte takes one position", "\xA9z\rX", "Xz\n"},
    {"cut sequence gives one position per byte", "\xE2\x96z\rXY", "XYz\n"},
    {"sequence cut by CR", "\xE2\x96\rX", "X\x96\n"},
    {"sequence cut by LF", "\xE2\x96\nz", "\xE2\x96\nz\n"},
    {"sequence cut by end of log", "ab\xF0\x9F", "ab\xF0\x9F\n"},
    {"overlong form is two positions", "\xC0\xAF\rX", "X\xAF\n"},
    {"overlong three-byte form", "\xE0\x80\xAF\rX", "X\x80\xAF\n"},
    {"surrogate is three positions", "\xED\xA0\x80\rX", "X\xA0\x80\n"},
    {"above U+10FFFF is four positions", "\xF4\x90\x80\x80\rX", "X\x90\x80\x80\n"},
    {"F5 is never a lead", "\xF5\x80\rX", "X\x80\n"},
    {"highest code point is one position", "\xF4\x8F\xBF\xBFz\rX", "Xz\n"},
    {"lone lead and continuation both overwritten", "X\xA9\r\xC3\rab", "ab\n"},
    {"lone lead before continuation stays one position", "X\xA9\r\xC3\rb", "b\xA9\n"},
    // An earlier redraw of the same bytes but one: the second byte after E0,
    // ED, F0 or F4 decides whether a character or lone bytes stand there.
    {"E0 with a second byte too low", "\r\xE0\x80\x80\r\xE0\xA0\x80", "\xE0\xA0\x80\x80\x80\n"},
    {"ED with a surrogate second byte", "\r\xED\xA0\x80\r\xED\x9F\xBF", "\xED\x9F\xBF\xA0\x80\n"},
    {"F0 with a second byte too low", "\r\xF0\x80\x80\x80\r\xF0\x90\x80\x80",
     "\xF0\x90\x80\x80\x80\x80\x80\n"},
    {"F4 with a second byte too high", "\r\xF4\x90\x80\x80\r\xF4\x8F\xBF\xBF",
     "\xF4\x8F\xBF\xBF\x90\x80\x80\n"},
    {"growing characters over a long tail", std::string(3000, 'x') + "\r" + repeat("\xC3\xA9", 600),
     repeat("\xC3\xA9", 600) + std::string(2400, 'x') + "\n"},
    {"shrinking characters over a long tail", repeat("\xE2\x96\x88", 3000) + "\r" + std::string(600, 'x'),
     std::string(600, 'x') + repeat("\xE2\x96\x88", 2400) + "\n"},
};

TEST(LogsweepReplay, KnownLogsInAnyBlockSize) {
  for (const replay_case& c : REPLAY_CASES) {
    for (std::size_t block_size : {0, 1, 2, 3, 5, 8, 64}) {
      EXPECT_EQ(replay_in_blocks(c.log, block_size), c.lines) << c.name << ", blocks of " << block_size;
    }
  }
}

// Pieces that random logs are made of: text, characters of every length,
// control bytes and every kind of ill-formed sequence.
const std::vector<std::string> PIECES = {
    "a",
    "b",
    "cd",
    "0123456789",
    "\r",
    "\r",
    "\r",
    "\n",
    "\0"s,
    "\xC3\xA9",
    "\xE2\x96\x88",
    "\xF0\x9F\x98\x80",
    "\xC3",
    "\xA9",
    "\xE2\x96",
    "\xF0\x9F\x98",
    "\xC0\xAF",
    "\xED\xA0\x80",
    "\xF4\x90\x80\x80",
    "\xFF",
};

TEST(LogsweepReplay, MatchesCharacterModelOnRandomLogs) {
  std::mt19937 random(20261207);
  for (int round = 0; round < 3000; ++round) {
    std::string log;
    const std::size_t pieces = random() % 400;
    for (std::size_t i = 0; i < pieces; ++i) log += PIECES[random() % PIECES.size()];
    const std::size_t block_size = random() % 9;
    ASSERT_EQ(replay_in_blocks(log, block_size), model_replay(log)) << "round " << round;
  }
}

// Progress redraws: each state repeats the one before with a piece changed,
// added or taken away, so most of each redraw equals what it overwrites.
// Well-formed text only: the line never needs to record where its
// characters begin.
const std::vector<std::string> TEXT_PIECES = {
    "a", "b", "cd", "0123456789abcdef", "\xC3\xA9", "\xE2\x96\x88", "\xE2\x96\x91", "\xF0\x9F\x98\x80",
};

TEST(LogsweepReplay, MatchesCharacterModelOnRandomRedraws) {
  std::mt19937 random(51);
  for (int round = 0; round < 2000; ++round) {
    const std::vector<std::string>& pieces = round % 4 == 0 ? PIECES : TEXT_PIECES;
    std::string log;
    std::vector<std::string> state(random() % 30, "a");
    for (std::string& piece : state) piece = pieces[random() % pieces.size()];
    for (std::size_t redraw = random() % 40; redraw > 0; --redraw) {
      const std::string& piece = pieces[random() % pieces.size()];
      const std::size_t at = state.empty() ? 0 : random() % state.size();
      switch (random() % 3) {
        case 0:
          if (!state.empty()) state[at] = piece;
          break;
        case 1:
          state.insert(state.begin() + static_cast<std::ptrdiff_t>(at), piece);
          break;
        default:
          if (!state.empty()) state.erase(state.begin() + static_cast<std::ptrdiff_t>(at));
      }
      log += "\r";
      for (const std::string& p : state) log += p;
    }
    const std::size_t block_size = random() % 3 == 0 ? 0 : 1 + random() % 70;
    ASSERT_EQ(replay_in_blocks(log, block_size), model_replay(log)) << "round " << round;
  }
}

// Long runs of redraws as progress bars make them: each redraw is the one
// before with one byte changed (often into a byte that plays another part in
// UTF-8, or breaks a character), a piece added or a byte taken away. Most
// redraws keep the length of the one after them, some keep it but decode into
// another number of characters.
const std::string CHANGED_BYTES = "5 #\x80\x8F\x90\x9F\xA0\xBF\xC3\xE0\xE2\xED\xF0\xF4\xFF"s + '\0';

TEST(LogsweepReplay, MatchesCharacterModelOnLongRedrawRuns) {
  std::mt19937 random(1207);
  for (int round = 0; round < 400; ++round) {
    std::string log;
    for (std::size_t lines = 1 + random() % 3; lines > 0; --lines) {
      std::string redraw;
      for (std::size_t i = random() % 40; i > 0; --i) redraw += PIECES[random() % PIECES.size()];
      std::erase(redraw, '\r');
      std::erase(redraw, '\n');
      for (std::size_t redraws = random() % 300; redraws > 0; --redraws) {
        const std::size_t change = random() % 10;
        const std::size_t at = redraw.empty() ? 0 : random() % redraw.size();
        if (change < 6 && !redraw.empty()) {
          redraw[at] = CHANGED_BYTES[random() % CHANGED_BYTES.size()];
        } else if (change < 8) {
          redraw.insert(at, TEXT_PIECES[random() % TEXT_PIECES.size()]);
        } else if (!redraw.empty()) {
          redraw.erase(at, 1);
        }
        log += "\r" + redraw;
      }
      log += random() % 2 == 0 ? "\n" : "\r\n";
    }
    const std::size_t block_sizes[] = {0, 1, 3, 7, 64, 1000, 4096};
    const std::size_t block_size = block_sizes[random() % std::size(block_sizes)];
    ASSERT_EQ(replay_in_blocks(log, block_size), model_replay(log)) << "round " << round;
  }
}

}  // namespace
