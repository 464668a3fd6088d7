/* The test's data as its script files deliver it, and the stimuli's WAV bytes
   read by the page itself, not by the browser's decoder (which would resample
   them to the sound card's rate and may dither or clip).

   A page opened from a folder (file://) cannot fetch files, so each data file
   is a script that hands its contents to a function of this page:
     data/test.js   abchrListen.registerTest({...the folder and its songs...})
     data/<n>.js    abchrListen.registerSong(n, {song, wav: {name: base64}}) */
"use strict";

var abchrListen = window.abchrListen || {};
window.abchrListen = abchrListen;

abchrListen.registered = { test: null, songs: {} };

abchrListen.registerTest = function (test) {
  abchrListen.registered.test = test;
};

abchrListen.registerSong = function (number, data) {
  abchrListen.registered.songs[number] = data;
};

/* Loads data/<n>.js as a script. calls back (null, data) or (message). A file
   that is missing fails to load; one that is cut short or garbled loads but
   never registers its song. */
abchrListen.loadSongData = function (number, path, done) {
  var script = document.createElement("script");
  var finish = function (message) {
    script.onload = null;
    script.onerror = null;
    script.remove();
    var data = abchrListen.registered.songs[number];
    delete abchrListen.registered.songs[number];
    if (message) done(message);
    else if (!data || typeof data !== "object" || !data.wav) done("damaged");
    else done(null, data);
  };
  script.onload = function () { finish(null); };
  script.onerror = function () { finish("missing"); };
  script.src = path;
  document.head.appendChild(script);
};

abchrListen.base64Bytes = function (text) {
  var binary;
  try {
    binary = window.atob(text);
  } catch (e) {
    return null;
  }
  var bytes = new Uint8Array(binary.length);
  for (var i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
};

/* A RIFF WAVE file of 16-bit PCM: {rate, channels, frames, data: [Float32Array
   per channel]} with each sample exactly its integer / 32768, or null. Chunks
   other than "fmt " and "data" are stepped over, each padded to an even size. */
abchrListen.parseWav = function (bytes) {
  if (!bytes || bytes.length < 12) return null;
  var view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  var tag = function (at) {
    return String.fromCharCode(bytes[at], bytes[at + 1], bytes[at + 2], bytes[at + 3]);
  };
  if (tag(0) !== "RIFF" || tag(8) !== "WAVE") return null;
  var format = null;
  var at = 12;
  while (at + 8 <= bytes.length) {
    var id = tag(at);
    var size = view.getUint32(at + 4, true);
    var body = at + 8;
    if (id === "fmt ") {
      if (size < 16 || body + 16 > bytes.length) return null;
      format = {
        code: view.getUint16(body, true),
        channels: view.getUint16(body + 2, true),
        rate: view.getUint32(body + 4, true),
        bits: view.getUint16(body + 14, true)
      };
      // WAVE_FORMAT_EXTENSIBLE carries the real format's code in its GUID.
      if (format.code === 0xfffe && size >= 40) format.code = view.getUint16(body + 24, true);
    } else if (id === "data") {
      if (!format || format.code !== 1 || format.bits !== 16 || format.channels < 1 || format.rate < 1) {
        return null;
      }
      if (body + size > bytes.length) return null;
      var frames = Math.floor(size / (2 * format.channels));
      var data = [];
      for (var c = 0; c < format.channels; c++) data.push(new Float32Array(frames));
      for (var f = 0, p = body; f < frames; f++) {
        for (c = 0; c < format.channels; c++, p += 2) data[c][f] = view.getInt16(p, true) / 32768;
      }
      return { rate: format.rate, channels: format.channels, frames: frames, data: data };
    }
    at = body + size + (size & 1);
  }
  return null;
};

/* SHA-256 of the bytes as lowercase hex, through the browser's own digest;
   calls back with null where the browser offers none (an insecure origin). */
abchrListen.sha256Hex = function (bytes, done) {
  var subtle = window.crypto && window.crypto.subtle;
  if (!subtle) {
    done(null);
    return;
  }
  subtle.digest("SHA-256", bytes).then(function (digest) {
    var hex = "";
    var all = new Uint8Array(digest);
    for (var i = 0; i < all.length; i++) hex += (all[i] < 16 ? "0" : "") + all[i].toString(16);
    done(hex);
  }, function () { done(null); });
};

/* Reads one song's data: every stimulus parsed and checked against the hash
   that the test lists for it. Calls back (null, {rate, channels, frames,
   names, data: [per stimulus: [Float32Array per channel]]}) or (problem) where
   problem is {kind: "missing" | "damaged" | "mismatch", detail}. */
abchrListen.readSong = function (test, index, done) {
  var song = test.songs[index];
  abchrListen.loadSongData(index + 1, song.data, function (message, raw) {
    if (message) {
      done({ kind: message, detail: song.data });
      return;
    }
    if (raw.song !== song.song) {
      done({ kind: "damaged", detail: song.data });
      return;
    }
    var names = ["reference"].concat(song.stimuli);
    var parsed = [];
    var pending = names.length;
    var failed = false;
    var fail = function (problem) {
      if (!failed) done(problem);
      failed = true;
    };
    names.forEach(function (name, k) {
      var bytes = typeof raw.wav[name] === "string" ? abchrListen.base64Bytes(raw.wav[name]) : null;
      var wav = abchrListen.parseWav(bytes);
      if (!wav) {
        fail({ kind: "damaged", detail: song.data });
        return;
      }
      parsed[k] = wav;
      abchrListen.sha256Hex(bytes, function (hex) {
        if (failed) return;
        if (hex !== null && hex !== song.sha256[name]) {
          fail({ kind: "damaged", detail: song.data });
          return;
        }
        if (--pending > 0) return;
        var first = parsed[0];
        for (var i = 1; i < parsed.length; i++) {
          if (parsed[i].rate !== first.rate || parsed[i].frames !== first.frames ||
              parsed[i].channels !== first.channels) {
            fail({ kind: "mismatch", detail: song.song });
            return;
          }
        }
        done(null, {
          rate: first.rate,
          channels: first.channels,
          frames: first.frames,
          names: names,
          data: parsed.map(function (w) { return w.data; })
        });
      });
    });
  });
};
