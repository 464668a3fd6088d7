/* One listener's session: the order of the trials and the sides of the hidden
   reference, drawn from the session id; the grades given so far; the state
   kept in the browser's storage after every trial; and the result file. */
"use strict";

var abchrListen = window.abchrListen || {};
window.abchrListen = abchrListen;

abchrListen.RESULTS_FORMAT = "abchr-listen-results";
abchrListen.RESULTS_VERSION = 1;
abchrListen.STATE_VERSION = 1;

abchrListen.newSessionId = function () {
  var bytes = new Uint8Array(16);
  window.crypto.getRandomValues(bytes);
  var hex = "";
  for (var i = 0; i < bytes.length; i++) hex += (bytes[i] < 16 ? "0" : "") + bytes[i].toString(16);
  return hex;
};

/* Numbers in [0, 1) drawn from the session id's 128 bits with xoshiro128**,
   so that the same id always gives the same order. */
abchrListen.randomFrom = function (sessionId) {
  var s = [];
  for (var i = 0; i < 4; i++) s.push(parseInt(sessionId.substr(8 * i, 8), 16) >>> 0 || 0x9e3779b9);
  var rotl = function (x, k) { return (x << k) | (x >>> (32 - k)); };
  return function () {
    var result = Math.imul(rotl(Math.imul(s[1], 5), 7), 9) >>> 0;
    var t = s[1] << 9;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 11);
    return result / 4294967296;
  };
};

abchrListen.shuffle = function (items, random) {
  var a = items.slice();
  for (var i = a.length - 1; i > 0; i--) {
    var j = Math.floor(random() * (i + 1));
    var t = a[i];
    a[i] = a[j];
    a[j] = t;
  }
  return a;
};

/* The trials in the order this listener hears them. The songs come in a drawn
   order and each song's trials together, so that only one song's data is
   needed at a time; within a song the conditions come in a drawn order, and
   each trial's hidden reference is drawn to B or C. */
abchrListen.makePlan = function (test, sessionId) {
  var random = abchrListen.randomFrom(sessionId);
  var plan = [];
  var songs = abchrListen.shuffle(test.songs.map(function (s, k) { return k; }), random);
  songs.forEach(function (k) {
    var song = test.songs[k];
    abchrListen.shuffle(song.stimuli, random).forEach(function (name) {
      plan.push({ kind: "abchr", songIndex: k, song: song.song, stimulus: name,
                  reference_side: random() < 0.5 ? "B" : "C" });
    });
    // A MUSHRA page: the hidden reference among the conditions, in a drawn order.
    if (test.mushra) {
      plan.push({ kind: "mushra", songIndex: k, song: song.song,
                  order: abchrListen.shuffle(["reference"].concat(song.stimuli), random) });
    }
    // An ABX set of a number of trials fixed in advance, per condition.
    var planned = test.abx | 0;
    if (planned > 0) {
      abchrListen.shuffle(song.stimuli, random).forEach(function (name) {
        for (var i = 1; i <= planned; i++) {
          plan.push({ kind: "abx", songIndex: k, song: song.song, stimulus: name, trial: i, planned: planned,
                      x_is: random() < 0.5 ? "A" : "B" });
        }
      });
    }
  });
  return plan;
};

// What ties a saved state to the data it was made with.
abchrListen.fingerprint = function (test) {
  return test.folder_id + ":" + test.songs.map(function (s) {
    return s.song + "=" + ["reference"].concat(s.stimuli).map(function (n) { return s.sha256[n]; }).join(",");
  }).join(";");
};

abchrListen.storageKey = function (test) {
  return "abchr-listen/" + test.folder_id;
};

abchrListen.newState = function (test, nickname) {
  var id = abchrListen.newSessionId();
  return {
    version: abchrListen.STATE_VERSION,
    fingerprint: abchrListen.fingerprint(test),
    session_id: id,
    nickname: nickname,
    started: new Date().toISOString(),
    finished: null,
    sample_rate: 0,
    context_rate: 0,
    plan: abchrListen.makePlan(test, id),
    trials: []
  };
};

// The saved state of this test, or null (none, another version of the test,
// or storage that the browser refuses).
abchrListen.loadState = function (test) {
  try {
    var text = window.localStorage.getItem(abchrListen.storageKey(test));
    if (!text) return null;
    var state = JSON.parse(text);
    if (!state || state.version !== abchrListen.STATE_VERSION ||
        state.fingerprint !== abchrListen.fingerprint(test)) return null;
    return state;
  } catch (e) {
    return null;
  }
};

// false when the browser would not store it (private mode, full storage).
abchrListen.saveState = function (test, state) {
  try {
    window.localStorage.setItem(abchrListen.storageKey(test), JSON.stringify(state));
    return true;
  } catch (e) {
    return false;
  }
};

abchrListen.forgetState = function (test) {
  try {
    window.localStorage.removeItem(abchrListen.storageKey(test));
  } catch (e) {
    // Nothing kept, nothing to forget.
  }
};

abchrListen.resultsJson = function (test, state, userAgent) {
  var stimuli = {};
  test.songs.forEach(function (s) {
    ["reference"].concat(s.stimuli).forEach(function (n) { stimuli[s.song + "/" + n] = s.sha256[n]; });
  });
  var results = {
    format: abchrListen.RESULTS_FORMAT,
    version: abchrListen.RESULTS_VERSION,
    folder_id: test.folder_id,
    stimuli: stimuli,
    session_id: state.session_id,
    nickname: state.nickname,
    user_agent: userAgent,
    sample_rate: state.sample_rate,
    context_rate: state.context_rate,
    started: state.started,
    finished: state.finished,
    trials: state.trials
  };
  return JSON.stringify(results, null, 1) + "\n";
};

/* A grade as the scale shows it: one decimal, as a number. */
abchrListen.roundGrade = function (value) {
  return Math.round(Number(value) * 10) / 10;
};
