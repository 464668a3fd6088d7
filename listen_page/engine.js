/* The audio engine: plays a song's stimuli in lockstep on an audio context it
   is given, and switches between them at the same sample.

   Every stimulus has its own buffer source, all started at the same instant
   of the audio clock with the same offset, so that they cannot drift apart;
   each runs through its own gain, and only the chosen one's gain is 1. A
   switch lowers the old one's gain to 0 over FADE seconds along a raised
   cosine and only then raises the new one's: never a cross-fade, in which two
   stimuli would sound at once and mask their differences. Outside the fades
   every gain is exactly 0 or 1, so each sample played is the stimulus's
   sample as it is.

   A loop repeats a region of at least MIN_LOOP seconds; its sources wrap on
   their own (the same frame arithmetic for all), and the engine lowers and
   raises a master gain around each wrap, so that the jump does not click.
   Everything is scheduled on the audio clock; pump() schedules the wraps of
   the coming seconds and is called from a timer by the screen (and once, for
   the whole rendering, by a test with an OfflineAudioContext). */
"use strict";

var abchrListen = window.abchrListen || {};
window.abchrListen = abchrListen;

abchrListen.FADE = 0.005;
abchrListen.MIN_LOOP = 0.5;
// How far ahead of "now" a change is scheduled: later than the audio thread's
// current render quantum, so that no fade starts in the past.
abchrListen.LEAD = 0.03;

/* A raised cosine from 1 to 0 (out) or 0 to 1 (in), sampled finely enough
   that the gain's linear interpolation between points stays within 1e-4. */
abchrListen.fadeCurve = function (out) {
  var points = 257;
  var curve = new Float32Array(points);
  for (var i = 0; i < points; i++) {
    var x = i / (points - 1);
    curve[i] = out ? 0.5 * (1 + Math.cos(Math.PI * x)) : 0.5 * (1 - Math.cos(Math.PI * x));
  }
  curve[0] = out ? 1 : 0;
  curve[points - 1] = out ? 0 : 1;
  return curve;
};

/* A dip for a loop's wrap: out over the first half, in over the second. */
abchrListen.dipCurve = function () {
  var out = abchrListen.fadeCurve(true);
  var back = abchrListen.fadeCurve(false);
  var curve = new Float32Array(out.length + back.length - 1);
  curve.set(out, 0);
  curve.set(back.subarray(1), out.length);
  return curve;
};

/* A trial's sides (A, B, C) are slots, each with its own source and gain,
   that play buffers of the song: the hidden reference's slot plays the same
   buffer as A's, and a switch between them fades out and in like any other,
   so that no difference in the switch gives it away.

   song: {rate, channels, frames, data: [per stimulus: [Float32Array per
   channel]]}. */
abchrListen.Engine = function (context, song) {
  this.context = context;
  this.rate = song.rate;
  this.frames = song.frames;
  this.master = context.createGain();
  this.master.gain.value = 0;
  this.master.connect(context.destination);
  this.buffers = [];
  for (var k = 0; k < song.data.length; k++) {
    var buffer = context.createBuffer(song.channels, song.frames, song.rate);
    for (var c = 0; c < song.channels; c++) buffer.copyToChannel(song.data[k][c], c);
    this.buffers.push(buffer);
  }
  this.gains = [];
  this.setSlots(song.data.map(function (d, n) { return n; }));
  this.position = 0;      // frame where playback starts or stopped
  this.loop = null;       // {start, end} in frames
  this.sources = null;    // while playing
  this.startTime = 0;     // audio-clock time of startFrame
  this.startFrame = 0;
  this.switchFree = 0;    // when the last switch's fade-in ends
  this.dips = [];         // scheduled wrap dips: {start, end}
  this.wrapsUntil = 0;    // wraps before this time are scheduled
  this.fades = [];        // every fade scheduled: {start, end, kind, target}
  this.plays = 0;
  this.switches = 0;
  this.onEnded = null;
  this.outCurve = abchrListen.fadeCurve(true);
  this.inCurve = abchrListen.fadeCurve(false);
  this.dip = abchrListen.dipCurve();
};

abchrListen.Engine.prototype = {
  // Which buffer each slot plays; stops playback first. Slot 0 is heard.
  setSlots: function (slots) {
    var end = this.stop();
    this.gains.forEach(function (gain) { gain.disconnect(); });
    var self = this;
    this.slots = slots.slice();
    this.gains = slots.map(function (b, k) {
      var gain = self.context.createGain();
      gain.gain.value = k === 0 ? 1 : 0;
      gain.connect(self.master);
      return gain;
    });
    this.selected = 0;
    this.switchFree = end;
    this.plays = 0;
    this.switches = 0;
  },

  // A time on the audio clock at or after `when`, on a frame of the context.
  at: function (when) {
    var now = this.context.currentTime + abchrListen.LEAD;
    var t = when === undefined ? now : when;
    var rate = this.context.sampleRate;
    return Math.ceil(t * rate - 1e-6) / rate;
  },

  playing: function () {
    return this.sources !== null;
  },

  // The stimulus frame that sounds at audio-clock time t.
  frameAt: function (t) {
    if (!this.sources) return this.position;
    var f = this.startFrame + Math.max(0, Math.round((t - this.startTime) * this.rate));
    if (this.loop && f >= this.loop.end) {
      f = this.loop.start + (f - this.loop.end) % (this.loop.end - this.loop.start);
    }
    return Math.min(f, this.frames);
  },

  now: function () {
    return this.frameAt(this.context.currentTime);
  },

  play: function (when) {
    if (this.sources) return;
    var t = this.at(when);
    var from = this.position;
    if (this.loop && (from < this.loop.start || from >= this.loop.end)) from = this.loop.start;
    if (from >= this.frames) from = 0;
    var self = this;
    var sources = this.slots.map(function (b, k) {
      var source = self.context.createBufferSource();
      source.buffer = self.buffers[b];
      if (self.loop) {
        source.loop = true;
        source.loopStart = self.loop.start / self.rate;
        source.loopEnd = self.loop.end / self.rate;
      }
      source.connect(self.gains[k]);
      source.start(t, from / self.rate);
      return source;
    });
    sources[0].onended = function () {
      if (self.sources !== sources) return;
      self.sources = null;
      self.position = self.frames;
      if (self.onEnded) self.onEnded();
    };
    this.sources = sources;
    this.startTime = t;
    this.startFrame = from;
    this.dips = [];
    this.wrapsUntil = t;
    this.master.gain.setValueCurveAtTime(this.inCurve, t, abchrListen.FADE);
    this.fades.push({ start: t, end: t + abchrListen.FADE, kind: "in", target: "master" });
    this.plays++;
    this.pump(t + 1);
  },

  // Returns the time at which the sound has faded out.
  stop: function (when) {
    if (!this.sources) return this.at(when);
    var t = this.at(when);
    var fade = abchrListen.FADE;
    // Not inside a wrap's dip, nor during the start's fade-in.
    var busy = this.dips.concat([{ start: this.startTime, end: this.startTime + fade }]);
    busy.forEach(function (d) {
      if (d.start < t + fade && d.end > t) t = d.end;
    });
    this.master.gain.cancelScheduledValues(t);
    this.dips = this.dips.filter(function (d) { return d.end <= t; });
    this.fades = this.fades.filter(function (f) { return f.target !== "master" || f.start < t; });
    this.master.gain.setValueCurveAtTime(this.outCurve, t, fade);
    this.fades.push({ start: t, end: t + fade, kind: "out", target: "master" });
    var end = t + fade;
    this.position = this.frameAt(end);
    this.sources.forEach(function (source) { source.stop(end); });
    this.sources = null;
    return end;
  },

  // Makes stimulus k the one heard, at the same frame.
  select: function (k, when) {
    if (k === this.selected) return;
    var t = Math.max(this.at(when), this.switchFree);
    var fade = abchrListen.FADE;
    var old = this.gains[this.selected];
    var next = this.gains[k];
    old.gain.setValueCurveAtTime(this.outCurve, t, fade);
    next.gain.setValueCurveAtTime(this.inCurve, t + fade, fade);
    this.fades.push({ start: t, end: t + fade, kind: "out", target: this.selected });
    this.fades.push({ start: t + fade, end: t + 2 * fade, kind: "in", target: k });
    this.switchFree = t + 2 * fade;
    this.selected = k;
    if (this.sources) this.switches++;
  },

  // Moves to a frame; playback, if running, fades out and in again there.
  seek: function (frame, when) {
    frame = Math.max(0, Math.min(this.frames, Math.round(frame)));
    if (!this.sources) {
      this.position = frame;
      return;
    }
    var end = this.stop(when);
    this.position = frame;
    this.play(end);
  },

  // A region [start, end) in frames, widened to MIN_LOOP; null for none.
  setLoop: function (region, when) {
    var loop = null;
    if (region) {
      var least = Math.ceil(abchrListen.MIN_LOOP * this.rate);
      var start = Math.max(0, Math.min(Math.round(region.start), this.frames - least));
      var end = Math.min(this.frames, Math.max(Math.round(region.end), start + least));
      loop = { start: Math.max(0, start), end: end };
    }
    var was = this.sources !== null;
    var end2 = was ? this.stop(when) : this.at(when);
    var resume = this.position;
    this.loop = loop;
    if (loop && (resume < loop.start || resume >= loop.end)) resume = loop.start;
    this.position = resume;
    if (was) this.play(end2);
  },

  // Schedules the dips of the loop's wraps that fall before `horizon`.
  pump: function (horizon) {
    if (!this.sources || !this.loop) return;
    var fade = abchrListen.FADE;
    var period = (this.loop.end - this.loop.start) / this.rate;
    var first = this.startTime + (this.loop.end - this.startFrame) / this.rate;
    var n = Math.max(0, Math.ceil((this.wrapsUntil - first) / period - 1e-9));
    for (var w = first + n * period; w < horizon; n++, w = first + n * period) {
      var rate = this.context.sampleRate;
      var wrap = Math.round(w * rate) / rate;
      // A start right before the loop's end has no room for a dip.
      if (wrap - fade >= this.startTime + fade) {
        this.master.gain.setValueCurveAtTime(this.dip, wrap - fade, 2 * fade);
        this.dips.push({ start: wrap - fade, end: wrap + fade });
        this.fades.push({ start: wrap - fade, end: wrap, kind: "out", target: "master" });
        this.fades.push({ start: wrap, end: wrap + fade, kind: "in", target: "master" });
      }
    }
    this.wrapsUntil = Math.max(this.wrapsUntil, horizon);
  },

  dispose: function () {
    if (this.sources) this.sources.forEach(function (source) { source.stop(); });
    this.sources = null;
    this.master.disconnect();
    this.buffers = [];
  }
};
