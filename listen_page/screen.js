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
    ["refusal", "loading", "start", "trial", "abx-score", "end"].forEach(function (p) {
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
    Array.prototype.forEach.call(this.doc.querySelectorAll(".side[data-slot]"), function (button) {
      button.addEventListener("click", function () { self.selectSlot(Number(button.getAttribute("data-slot"))); });
    });
    ["A", "B"].forEach(function (side) {
      self.$("answer-" + side).addEventListener("click", function () { self.answer(side); });
    });
    this.$("abx-continue").addEventListener("click", function () { self.showTrial(); });
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
      var stimuli = self.test.songs[plan.songIndex].stimuli;
      var buffer = function (name) { return name === "reference" ? 0 : 1 + stimuli.indexOf(name); };
      var count = self.state.plan.length;
      var done = self.state.trials.length;
      self.$("trial-count").textContent = (plan.kind === "abx" ? "ABX " + plan.trial + " of " + plan.planned +
          " \u2013 " : "") + "Trial " + (done + 1) + " of " + count;
      self.$("trial-song").textContent = plan.song;
      self.$("progress-fill").style.transform = "scaleX(" + done / count + ")";
      ["abchr", "mushra", "abx"].forEach(function (kind) { self.$("board-" + kind).hidden = kind !== plan.kind; });
      self.trial = { plan: plan, grades: {}, moved: {}, answer: null, shown: Date.now() };
      if (plan.kind === "mushra") {
        self.engine.setSlots([0].concat(plan.order.map(buffer)));
        self.buildMushra(plan.order);
      } else if (plan.kind === "abx") {
        var other = buffer(plan.stimulus);
        self.engine.setSlots([0, other, plan.x_is === "A" ? 0 : other]);
        self.drawAnswer();
      } else {
        // A is the reference; the hidden reference's side plays it too.
        self.engine.setSlots(plan.reference_side === "B" ? [0, 0, buffer(plan.stimulus)]
                                                         : [0, buffer(plan.stimulus), 0]);
        self.trial.grades = { B: 5, C: 5 };
        self.trial.moved = { B: false, C: false };
        ["B", "C"].forEach(function (side) { self.drawGrade(side); });
      }
      self.engine.setLoop(null);
      self.engine.seek(0);
      self.show("trial");
      self.drawSides();
      self.drawTransport();
      self.drawLoop();
      self.startTimer();
    });
  },

  selectSlot: function (k) {
    if (!this.trial || !this.engine || k >= this.engine.slots.length) return;
    this.engine.select(k);
    this.drawSides();
  },

  selectedSide: function () {
    return abchrListen.SIDES[this.engine.selected];
  },

  setGrade: function (side, value) {
    if (!this.trial || this.trial.plan.kind !== "abchr") return;
    var grade = Math.min(5, Math.max(1, abchrListen.roundGrade(value)));
    this.trial.grades[side] = grade;
    this.trial.moved[side] = true;
    this.drawGrade(side);
  },

  // One column per version: its button, a slider of 0 to 100, its value.
  buildMushra: function (order) {
    var self = this;
    var columns = this.$("mushra-columns");
    columns.textContent = "";
    var column = function (slot, label) {
      var box = self.doc.createElement("div");
      box.className = "column";
      var button = self.doc.createElement("button");
      button.type = "button";
      button.className = "side";
      button.setAttribute("data-slot", String(slot));
      var letter = self.doc.createElement("span");
      letter.className = "letter";
      letter.textContent = label;
      button.appendChild(letter);
      button.addEventListener("click", function () { self.selectSlot(slot); });
      box.appendChild(button);
      columns.appendChild(box);
      return box;
    };
    column(0, "Ref");
    order.forEach(function (name, i) {
      var box = column(i + 1, String(i + 1));
      var holder = self.doc.createElement("div");
      holder.className = "slider-box";
      var slider = self.doc.createElement("input");
      slider.type = "range";
      slider.min = "0";
      slider.max = "100";
      slider.step = "1";
      slider.value = "0";
      slider.className = "grade";
      slider.id = "mushra-" + (i + 1);
      slider.setAttribute("aria-label", "Grade of " + (i + 1));
      slider.addEventListener("input", function () { self.setScore(i + 1, Number(slider.value)); });
      holder.appendChild(slider);
      box.appendChild(holder);
      var value = self.doc.createElement("output");
      value.className = "value";
      value.id = "mushra-value-" + (i + 1);
      value.textContent = "0";
      box.appendChild(value);
      self.trial.grades[name] = 0;
      self.trial.moved[name] = false;
    });
  },

  // A MUSHRA grade of the version in slot k (1 ...).
  setScore: function (k, value) {
    if (!this.trial || this.trial.plan.kind !== "mushra" || k < 1) return;
    var name = this.trial.plan.order[k - 1];
    var score = Math.min(100, Math.max(0, Math.round(value)));
    this.trial.grades[name] = score;
    this.trial.moved[name] = true;
    this.$("mushra-" + k).value = String(score);
    this.$("mushra-value-" + k).textContent = String(score);
  },

  answer: function (side) {
    if (!this.trial || this.trial.plan.kind !== "abx") return;
    this.trial.answer = side;
    this.drawAnswer();
  },

  drawAnswer: function () {
    var answer = this.trial.answer;
    ["A", "B"].forEach(function (side) {
      this.$("answer-" + side).classList.toggle("active", answer === side);
      this.$("answer-" + side).setAttribute("aria-pressed", answer === side ? "true" : "false");
    }, this);
    this.$("next").disabled = !answer;
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
    var lower = k.length === 1 ? k.toLowerCase() : k;
    var kind = this.trial ? this.trial.plan.kind : "";
    var slots = kind === "abx" ? { a: 0, b: 1, x: 2 }
              : kind === "mushra" ? { r: 0, a: 0 } : { a: 0, b: 1, c: 2, 1: 0, 2: 1, 3: 2 };
    var step = { ArrowUp: 1, ArrowDown: -1, PageUp: 10, PageDown: -10 }[k];
    var handled = true;
    if (slots[lower] !== undefined) this.selectSlot(slots[lower]);
    else if (kind === "mushra" && /^[1-9]$/.test(k)) this.selectSlot(Number(k));
    else if (k === " ") this.togglePlay();
    else if (lower === "l") this.toggleLoop();
    else if (k === "[") this.loopEdge("start");
    else if (k === "]") this.loopEdge("end");
    else if (k === "Enter") this.finishTrial();
    else if (kind === "abx" && (k === "ArrowLeft" || k === "ArrowRight")) this.answer(k === "ArrowLeft" ? "A" : "B");
    else if (step && kind === "mushra") {
      var name = this.trial.plan.order[this.engine.selected - 1];
      if (name) this.setScore(this.engine.selected, this.trial.grades[name] + step);
    } else if (step && kind === "abchr") {
      var side = this.selectedSide();
      if (side !== "A") this.setGrade(side, this.trial.grades[side] + step / 10);
    } else handled = false;
    if (handled) e.preventDefault();
  },

  finishTrial: function () {
    if (!this.trial) return;
    var t = this.trial;
    var plan = t.plan;
    if (plan.kind === "abx" && !t.answer) return;
    var engine = this.engine;
    var seconds = Math.round((Date.now() - t.shown) / 100) / 10;
    var record;
    if (plan.kind === "abx") {
      record = { kind: "abx", song: plan.song, stimulus: plan.stimulus, trial: plan.trial, planned: plan.planned,
                 x_is: plan.x_is, answer: t.answer, correct: t.answer === plan.x_is, seconds: seconds };
    } else {
      record = { kind: plan.kind, song: plan.song };
      if (plan.kind === "abchr") {
        record.stimulus = plan.stimulus;
        record.reference_side = plan.reference_side;
      }
      record.grades = t.grades;
      record.moved = t.moved;
      record.seconds = seconds;
      record.plays = engine.plays;
      record.switches = engine.switches;
    }
    engine.stop();
    this.trial = null;
    this.$("next").disabled = false;
    this.state.trials.push(record);
    abchrListen.saveState(this.test, this.state);
    if (plan.kind === "abx" && plan.trial === plan.planned) {
      // The score of a set only once it is over, so that it cannot steer the answers.
      var set = this.state.trials.slice(-plan.planned);
      var right = set.filter(function (r) { return r.correct; }).length;
      this.$("abx-score-text").textContent = "You told X correctly in " + right + " of " + plan.planned + " trials.";
      this.show("abx-score");
      return;
    }
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
    var selected = this.engine.selected;
    var board = this.$("board-" + this.trial.plan.kind);
    Array.prototype.forEach.call(board.querySelectorAll(".side[data-slot]"), function (button) {
      var on = Number(button.getAttribute("data-slot")) === selected;
      button.classList.toggle("active", on);
      button.setAttribute("aria-pressed", on ? "true" : "false");
      var column = button.parentNode;
      if (column.classList.contains("column")) column.classList.toggle("active", on);
    });
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
