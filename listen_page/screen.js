/* The screen: pages, keys and clicks, drawing. It drives the engine
   (engine.js) and keeps the session (session.js); it holds the data of one
   song at a time. */
"use strict";

var abchrListen = window.abchrListen || {};
window.abchrListen = abchrListen;

abchrListen.SIDES = ["A", "B", "C"];

abchrListen.start = function () {
  var ui = new abchrListen.Screen(document);
  abchrListen.screen = ui;
  ui.open();
};

abchrListen.Screen = function (doc) {
  this.doc = doc;
  this.test = null;
  this.state = null;
  this.context = null;
  this.engine = null;
  this.songIndex = -1;   // whose data the engine holds
  this.trial = null;     // the trial on screen: {plan, grades, moved, shown}
  this.dragFrom = null;
  this.timer = null;
  this.results = null;
};

abchrListen.Screen.prototype = {
  $: function (id) {
    return this.doc.getElementById(id);
  },

  show: function (id) {
    var self = this;
    ["refusal", "loading", "start", "trial", "end"].forEach(function (p) {
      self.$(p).hidden = p !== id;
    });
    this.doc.body.setAttribute("data-page", id);
  },

  refuse: function (text, advice) {
    if (this.engine) this.engine.dispose();
    this.engine = null;
    this.$("refusal-text").textContent = text;
    this.$("refusal-advice").textContent = advice;
    this.show("refusal");
  },

  refuseSong: function (problem) {
    var advice = "Please tell the person who runs the test. (Organiser: run abchr-prepare on the test " +
        "folder again so that it writes listen/ anew, and upload the whole of public/.)";
    if (problem.kind === "missing") {
      this.refuse("A file of this test is missing: " + problem.detail + ".", advice);
    } else if (problem.kind === "mismatch") {
      this.refuse("The versions of the music \"" + problem.detail +
          "\" differ in length or sample rate, so they cannot be compared in step.", advice);
    } else {
      this.refuse("A file of this test is damaged: " + problem.detail +
          ". It was cut short or changed after it was made.", advice);
    }
  },

  open: function () {
    var Context = window.AudioContext || window.webkitAudioContext;
    if (!Context) {
      this.refuse("This browser cannot play the test: it has no Web Audio.",
          "Please open the page in a current version of Firefox, Chrome, Edge or Safari.");
      return;
    }
    var test = abchrListen.registered.test;
    if (!test) {
      this.refuseSong({ kind: "missing", detail: "data/test.js" });
      return;
    }
    if (!test.songs || !test.songs.length || test.format !== "abchr-listen-test") {
      this.refuseSong({ kind: "damaged", detail: "data/test.js" });
      return;
    }
    this.test = test;
    this.Context = Context;
    this.bind();
    var saved = abchrListen.loadState(test);
    if (saved && saved.finished) {
      this.state = saved;
      this.showEnd();
      return;
    }
    if (saved) {
      this.state = saved;
      this.$("nickname").value = saved.nickname;
      this.$("resume-note").textContent = "You have graded " + saved.trials.length + " of " +
          saved.plan.length + " trials. \"Begin\" goes on where you stopped.";
      this.$("resume-note").hidden = false;
      this.$("restart").hidden = false;
      this.$("begin").textContent = "Go on with the test";
    }
    var first = saved ? this.nextPlan() : null;
    this.loadSong(first ? first.songIndex : 0, function () {});
    this.show("start");
  },

  nextPlan: function () {
    return this.state.plan[this.state.trials.length] || null;
  },

  // Makes the engine hold song k, and only it.
  loadSong: function (k, ready) {
    var self = this;
    if (this.songIndex === k && this.engine) {
      ready();
      return;
    }
    if (this.engine) this.engine.dispose();
    this.engine = null;
    this.songIndex = -1;
    this.loadingSong = k;
    abchrListen.readSong(this.test, k, function (problem, song) {
      if (self.loadingSong !== k) return;
      if (problem) {
        self.refuseSong(problem);
        return;
      }
      self.openContext(song.rate);
      self.engine = new abchrListen.Engine(self.context, song);
      self.engine.onEnded = function () { self.drawTransport(); };
      self.songIndex = k;
      self.frames = song.frames;
      self.rate = song.rate;
      ready();
    });
  },

  // An audio context at the stimuli's rate, or the browser's own where it
  // will not open one at that rate: then it resamples, and the page says so.
  openContext: function (rate) {
    if (this.context && this.contextAsked === rate) return;
    if (this.context) this.context.close();
    try {
      this.context = new this.Context({ sampleRate: rate });
    } catch (e) {
      this.context = new this.Context();
    }
    this.contextAsked = rate;
    if (this.state && !this.state.sample_rate) {
      this.state.sample_rate = rate;
      this.state.context_rate = this.context.sampleRate;
    }
    var note = this.$("rate-note");
    note.hidden = this.context.sampleRate === rate;
    note.textContent = "Your browser plays at " + this.context.sampleRate + " Hz, not at the music's " + rate +
        " Hz, so it resamples the music. The result file records this.";
  },

  bind: function () {
    var self = this;
    this.$("volume-play").addEventListener("click", function () { self.toggleVolume(); });
    this.$("begin").addEventListener("click", function () { self.begin(false); });
    this.$("restart").addEventListener("click", function () { self.begin(true); });
    abchrListen.SIDES.forEach(function (side) {
      self.$("side-" + side).addEventListener("click", function () { self.select(side); });
    });
    ["B", "C"].forEach(function (side) {
      self.$("grade-" + side).addEventListener("input", function () {
        self.setGrade(side, Number(self.$("grade-" + side).value));
      });
    });
    this.$("play").addEventListener("click", function () { self.togglePlay(); });
    this.$("loop").addEventListener("click", function () { self.toggleLoop(); });
    this.$("loop-start").addEventListener("click", function () { self.loopEdge("start"); });
    this.$("loop-end").addEventListener("click", function () { self.loopEdge("end"); });
    this.$("next").addEventListener("click", function () { self.finishTrial(); });
    this.$("download").addEventListener("click", function () { self.download(); });
    this.$("send").addEventListener("click", function () { self.send(); });
    var timeline = this.$("timeline");
    timeline.addEventListener("mousedown", function (e) { self.dragStart(e); });
    this.doc.addEventListener("mousemove", function (e) { self.dragMove(e); });
    this.doc.addEventListener("mouseup", function (e) { self.dragEnd(e); });
    this.doc.addEventListener("keydown", function (e) { self.key(e); });
  },

  toggleVolume: function () {
    var engine = this.engine;
    if (!engine) return;
    this.context.resume();
    var button = this.$("volume-play");
    if (engine.playing()) {
      engine.stop();
      button.textContent = "Play the reference";
    } else {
      engine.setSlots([0]);
      engine.setLoop(null);
      engine.seek(0);
      engine.play();
      button.textContent = "Stop";
    }
  },

  begin: function (again) {
    var nickname = this.$("nickname").value.trim();
    if (again || !this.state) {
      this.state = abchrListen.newState(this.test, nickname);
    } else {
      this.state.nickname = nickname;
    }
    if (this.context) {
      this.state.sample_rate = this.state.sample_rate || this.contextAsked;
      this.state.context_rate = this.state.context_rate || this.context.sampleRate;
    }
    abchrListen.saveState(this.test, this.state);
    if (this.engine) this.engine.stop();
    this.$("volume-play").textContent = "Play the reference";
    this.showTrial();
  },

  showTrial: function () {
    var plan = this.nextPlan();
    if (!plan) {
      this.state.finished = new Date().toISOString();
      abchrListen.saveState(this.test, this.state);
      this.showEnd();
      return;
    }
    var self = this;
    this.show("loading");
    this.loadSong(plan.songIndex, function () {
      if (self.context) self.context.resume();
      var condition = 1 + self.test.songs[plan.songIndex].stimuli.indexOf(plan.stimulus);
      // A is the reference; the hidden reference's side plays it too.
      var slots = plan.reference_side === "B" ? [0, 0, condition] : [0, condition, 0];
      self.engine.setSlots(slots);
      self.engine.setLoop(null);
      self.engine.seek(0);
      self.trial = { plan: plan, grades: { B: 5, C: 5 }, moved: { B: false, C: false }, shown: Date.now() };
      var count = self.state.plan.length;
      var done = self.state.trials.length;
      self.$("trial-count").textContent = "Trial " + (done + 1) + " of " + count;
      self.$("trial-song").textContent = plan.song;
      self.$("progress-fill").style.transform = "scaleX(" + done / count + ")";
      ["B", "C"].forEach(function (side) { self.drawGrade(side); });
      self.show("trial");
      self.drawSides();
      self.drawTransport();
      self.drawLoop();
      self.startTimer();
    });
  },

  select: function (side) {
    if (!this.trial || !this.engine) return;
    this.engine.select(abchrListen.SIDES.indexOf(side));
    this.drawSides();
  },

  selectedSide: function () {
    return abchrListen.SIDES[this.engine.selected];
  },

  setGrade: function (side, value) {
    if (!this.trial) return;
    var grade = Math.min(5, Math.max(1, abchrListen.roundGrade(value)));
    this.trial.grades[side] = grade;
    this.trial.moved[side] = true;
    this.drawGrade(side);
  },

  togglePlay: function () {
    if (!this.engine) return;
    this.context.resume();
    if (this.engine.playing()) this.engine.stop();
    else this.engine.play();
    this.drawTransport();
  },

  toggleLoop: function () {
    if (!this.engine) return;
    if (this.engine.loop) {
      this.lastLoop = this.engine.loop;
      this.engine.setLoop(null);
    } else {
      var rate = this.rate;
      var region = this.lastLoop;
      if (!region) {
        var from = this.engine.now();
        region = { start: from, end: from + 2 * rate };
      }
      this.engine.setLoop(region);
    }
    this.drawLoop();
  },

  // Sets one end of the loop where the music is now.
  loopEdge: function (which) {
    if (!this.engine) return;
    var here = this.engine.now();
    var loop = this.engine.loop || this.lastLoop || { start: 0, end: this.frames };
    var region = which === "start" ? { start: here, end: Math.max(loop.end, here) }
                                   : { start: Math.min(loop.start, here), end: here };
    if (which === "end" && region.end - region.start < abchrListen.MIN_LOOP * this.rate) {
      region.start = region.end - Math.ceil(abchrListen.MIN_LOOP * this.rate);
    }
    this.engine.setLoop(region);
    this.drawLoop();
  },

  frameOfMouse: function (e) {
    var box = this.$("timeline").getBoundingClientRect();
    var x = Math.min(1, Math.max(0, (e.clientX - box.left) / box.width));
    return Math.round(x * this.frames);
  },

  dragStart: function (e) {
    if (!this.engine) return;
    this.dragFrom = this.frameOfMouse(e);
    e.preventDefault();
  },

  dragMove: function (e) {
    if (this.dragFrom === null) return;
    var to = this.frameOfMouse(e);
    this.drawRegion(Math.min(this.dragFrom, to), Math.max(this.dragFrom, to));
  },

  // A click moves the music there; a drag of any length sets a loop.
  dragEnd: function (e) {
    if (this.dragFrom === null) return;
    var from = this.dragFrom;
    var to = this.frameOfMouse(e);
    this.dragFrom = null;
    if (Math.abs(to - from) < 0.05 * this.rate) {
      this.engine.seek(from);
      if (this.engine.loop && (from < this.engine.loop.start || from >= this.engine.loop.end)) {
        this.lastLoop = this.engine.loop;
        this.engine.setLoop(null);
        this.engine.seek(from);
      }
    } else {
      this.engine.setLoop({ start: Math.min(from, to), end: Math.max(from, to) });
    }
    this.drawLoop();
    this.drawTransport();
  },

  key: function (e) {
    if (e.ctrlKey || e.metaKey || e.altKey) return;
    var page = this.doc.body.getAttribute("data-page");
    if (page !== "trial" || e.target.id === "nickname") return;
    var k = e.key;
    var sides = { a: "A", b: "B", c: "C", 1: "A", 2: "B", 3: "C" };
    var lower = k.length === 1 ? k.toLowerCase() : k;
    var handled = true;
    if (sides[lower]) this.select(sides[lower]);
    else if (k === " ") this.togglePlay();
    else if (lower === "l") this.toggleLoop();
    else if (k === "[") this.loopEdge("start");
    else if (k === "]") this.loopEdge("end");
    else if (k === "Enter") this.finishTrial();
    else if (k === "ArrowUp" || k === "ArrowDown" || k === "PageUp" || k === "PageDown") {
      var side = this.selectedSide();
      if (side === "A") return;
      var step = (k === "ArrowUp" ? 0.1 : k === "ArrowDown" ? -0.1 : k === "PageUp" ? 1 : -1);
      this.setGrade(side, this.trial.grades[side] + step);
    } else handled = false;
    if (handled) e.preventDefault();
  },

  finishTrial: function () {
    if (!this.trial) return;
    var t = this.trial;
    var engine = this.engine;
    var record = {
      kind: "abchr",
      song: t.plan.song,
      stimulus: t.plan.stimulus,
      reference_side: t.plan.reference_side,
      grades: { B: t.grades.B, C: t.grades.C },
      moved: { B: t.moved.B, C: t.moved.C },
      seconds: Math.round((Date.now() - t.shown) / 100) / 10,
      plays: engine.plays,
      switches: engine.switches
    };
    engine.stop();
    this.trial = null;
    this.state.trials.push(record);
    abchrListen.saveState(this.test, this.state);
    this.showTrial();
  },

  startTimer: function () {
    var self = this;
    if (this.timer) return;
    var tick = function () {
      if (self.engine) self.engine.pump(self.context.currentTime + 1);
    };
    this.timer = window.setInterval(tick, 250);
    var frame = function () {
      self.drawPlayhead();
      window.requestAnimationFrame(frame);
    };
    window.requestAnimationFrame(frame);
  },

  drawSides: function () {
    var selected = this.selectedSide();
    abchrListen.SIDES.forEach(function (side) {
      var button = this.$("side-" + side);
      button.classList.toggle("active", side === selected);
      button.setAttribute("aria-pressed", side === selected ? "true" : "false");
    }, this);
    ["B", "C"].forEach(function (side) {
      this.$("grade-" + side).parentNode.parentNode.classList.toggle("active", side === selected);
    }, this);
  },

  drawGrade: function (side) {
    var grade = this.trial.grades[side];
    this.$("grade-" + side).value = String(grade);
    this.$("value-" + side).textContent = grade.toFixed(1);
  },

  drawTransport: function () {
    var playing = this.engine && this.engine.playing();
    this.$("play").innerHTML = playing ? "&#9632; Stop" : "&#9654; Play";
    this.$("play").classList.toggle("active", !!playing);
  },

  drawRegion: function (start, end) {
    var region = this.$("loop-region");
    region.hidden = false;
    region.style.left = (100 * start / this.frames) + "%";
    region.style.width = (100 * (end - start) / this.frames) + "%";
  },

  drawLoop: function () {
    var loop = this.engine && this.engine.loop;
    var button = this.$("loop");
    button.textContent = loop ? "Loop: on" : "Loop: off";
    button.setAttribute("aria-pressed", loop ? "true" : "false");
    button.classList.toggle("active", !!loop);
    if (loop) {
      this.drawRegion(loop.start, loop.end);
      this.$("loop-text").textContent = this.time(loop.start) + " \u2013 " + this.time(loop.end);
    } else {
      this.$("loop-region").hidden = true;
      this.$("loop-text").textContent = "";
    }
  },

  time: function (frame) {
    var s = frame / this.rate;
    var m = Math.floor(s / 60);
    var rest = (s - 60 * m).toFixed(1);
    return m + ":" + (rest < 10 ? "0" : "") + rest;
  },

  drawPlayhead: function () {
    if (!this.engine || this.doc.body.getAttribute("data-page") !== "trial") return;
    var frame = this.engine.now();
    var width = this.$("timeline").clientWidth;
    this.$("playhead").style.transform = "translateX(" + (width * frame / this.frames) + "px)";
    this.$("clock").textContent = this.time(frame) + " / " + this.time(this.frames);
  },

  showEnd: function () {
    if (this.engine) this.engine.dispose();
    this.engine = null;
    this.results = abchrListen.resultsJson(this.test, this.state, window.navigator.userAgent);
    this.show("end");
    // Sent once by itself; a reload of the end page after a failure tries again.
    if (this.test.results_url && !this.state.sent) this.send();
    else if (this.state.sent) this.$("send-status").hidden = true;
  },

  fileName: function () {
    var nick = (this.state.nickname || "listener").replace(/[^A-Za-z0-9_-]+/g, "_").slice(0, 40);
    return "results-" + nick + "-" + this.state.session_id.slice(0, 8) + ".json";
  },

  download: function () {
    var blob = new Blob([this.results], { type: "application/json" });
    var link = this.doc.createElement("a");
    link.href = URL.createObjectURL(blob);
    link.download = this.fileName();
    this.doc.body.appendChild(link);
    link.click();
    link.remove();
  },

  // Sends the file to the organiser's address. Plain text, so that the
  // browser sends it without asking the server first (no CORS preflight).
  send: function () {
    var self = this;
    var status = this.$("send-status");
    var again = this.$("send");
    status.hidden = false;
    status.className = "note";
    status.textContent = "Sending your results\u2026";
    again.hidden = true;
    var fail = function (why) {
      status.className = "note failure";
      status.textContent = "Your results could not be sent (" + why +
          "). Please download them with the button above and send the file yourself.";
      again.hidden = false;
    };
    if (!window.fetch) {
      fail("this browser cannot send them");
      return;
    }
    window.fetch(this.test.results_url, {
      method: "POST",
      headers: { "Content-Type": "text/plain;charset=UTF-8" },
      body: this.results
    }).then(function (response) {
      if (response.ok) {
        self.state.sent = true;
        abchrListen.saveState(self.test, self.state);
        status.className = "note success";
        status.textContent = "Your results have been sent. You may download a copy for yourself.";
      } else {
        fail("the server answered " + response.status);
      }
    }, function () { fail("no answer from the server"); });
  }
};
