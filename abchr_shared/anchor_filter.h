// The low-pass anchors of a MUSHRA test (ITU-R BS.1534): the reference with
// everything above 3.5 kHz (the low anchor) or 7 kHz (the mid anchor)
// removed. Made from the aligned, loudness-matched reference by a linear-phase
// filter, so that an anchor starts at the same instant as the reference, is
// as long, and differs from it only in its bandwidth.
//
// The filter is a Kaiser-windowed sinc of odd length 2M+1, symmetric about
// tap M. Its delay of M frames is taken back: output frame n is centred on
// input frame n, and frames outside the signal count as 0.
//
// "Cut-off" here is the stopband edge, the stricter of the two readings: every
// frequency from the cut-off up is at least ANCHOR_STOPBAND_DB down. The
// passband (within about 0.003 dB) ends ANCHOR_TRANSITION of the cut-off
// below it, and the -6 dB point lies halfway.
#pragma once

#include <cstdint>
#include <vector>

// The anchors' codec names, as the record, key.csv and the analysis know them.
constexpr const char* LOW_ANCHOR_CODEC = "anchor-3.5kHz";
constexpr const char* MID_ANCHOR_CODEC = "anchor-7kHz";
constexpr double LOW_ANCHOR_HZ = 3500;
constexpr double MID_ANCHOR_HZ = 7000;

// The attenuation the taps are designed for: 10 dB beyond the 60 dB that the
// stopband must show, for the 16-bit rounding and the window's ripple.
constexpr double ANCHOR_STOPBAND_DB = 70;
// The transition band as a share of the cut-off: 350 Hz below 3.5 kHz, 700 Hz
// below 7 kHz (593 and 297 taps at 48 kHz).
constexpr double ANCHOR_TRANSITION = 0.1;

// The 2M+1 taps for a cut-off at `rate`, summing to 1 (a gain of 1 at 0 Hz).
// A cut-off at or above half the rate leaves nothing to remove: one tap of 1.
std::vector<double> anchor_taps(double cutoff_hz, double rate);

// Frames [first, first + out.size()) of one channel `x` filtered by the taps,
// centred (the delay taken back), with x taken as 0 outside its frames.
void lowpass_frames(const std::vector<float>& x, const std::vector<double>& taps, int64_t first,
                    std::vector<double>& out);
