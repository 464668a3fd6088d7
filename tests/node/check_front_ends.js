// Reads a test folder's configs as the front ends do and checks them:
//
//   node check_front_ends.js NODE_MODULES TEST
//
// webmushra.yaml with yamljs (the parser that webMUSHRA bundles), walked the
// way webMUSHRA builds its pages: an item of "pages" is a page, or a list
// whose first item "random" makes the rest shuffled pages; each page an
// object with a type. beaqlejs_config.js run as a script in Node's vm, as the
// browser runs it, for its TestConfig. Every served file of public/stimuli/
// must appear in every config (the song's own anchors only on mushra pages),
// every URL must name a served file, and no text that either front end
// inserts as HTML may hold markup. Prints one JSON object: the problems and
// both configs as read, for check_test_folder.py. Exits 1 on a problem.
"use strict";
const fs = require("fs");
const path = require("path");
const vm = require("vm");

const [modules, test] = process.argv.slice(2);
const YAML = require(path.join(modules, "yamljs"));
const publicDir = path.join(test, "public");
const problems = [];
const problem = (text) => problems.push(text);

// A text that the front end inserts as HTML: no raw "<" or ">", no "&" that
// starts no character reference, and, references decoded as a browser
// decodes them, the name it should show where one is given.
const markup = /[<>]|&(?!(#[0-9]+|#x[0-9a-fA-F]+|[a-zA-Z][a-zA-Z0-9]*);)/;
const named = { amp: "&", lt: "<", gt: ">", quot: '"', apos: "'" };
const reference = (whole, ref) =>
  ref[0] !== "#" ? named[ref] ?? whole : String.fromCodePoint(Number(ref[1] === "x" ? "0" + ref.slice(1) : ref.slice(1)));
function html(where, text, name) {
  if (typeof text !== "string") return problem(`${where}: not a text`);
  if (markup.test(text)) problem(`${where}: markup in ${JSON.stringify(text)}`);
  const shown = text.replace(/&(#x[0-9a-fA-F]+|#[0-9]+|[a-zA-Z]+);/g, reference);
  if (name !== undefined && shown !== name) problem(`${where}: shows ${JSON.stringify(shown)}, not ${JSON.stringify(name)}`);
}

const settings = JSON.parse(fs.readFileSync(path.join(test, "folder.json"), "utf8"));
const prefix = settings.path_prefix && !settings.path_prefix.endsWith("/") ? settings.path_prefix + "/" : settings.path_prefix;

// The served file of a URL, relative to public/, or null.
function served(where, url) {
  if (typeof url !== "string" || !url.startsWith(prefix)) {
    problem(`${where}: ${JSON.stringify(url)} is not a URL below ${JSON.stringify(prefix)}`);
    return null;
  }
  let file;
  try {
    file = decodeURIComponent(url.slice(prefix.length));
  } catch (e) {
    problem(`${where}: ${url} is not percent-encoded UTF-8`);
    return null;
  }
  if (!fs.statSync(path.join(publicDir, file), { throwIfNoEntry: false })?.isFile()) {
    problem(`${where}: ${url} names no file of the folder`);
    return null;
  }
  return file;
}

const files = [];
(function walk(dir) {
  for (const e of fs.readdirSync(path.join(publicDir, dir), { withFileTypes: true })) {
    if (e.isDirectory()) walk(path.join(dir, e.name));
    else files.push(path.join(dir, e.name).split(path.sep).join("/"));
  }
})("stimuli");
const anchors = new Set();
const recorded = new Set();  // the songs' names as their records hold them
const songs = path.join(test, "songs");
for (const name of fs.existsSync(songs) ? fs.readdirSync(songs) : []) {
  if (!name.endsWith(".json") || name.startsWith(".")) continue;
  const record = JSON.parse(fs.readFileSync(path.join(songs, name), "utf8"));
  recorded.add(record.song);
  for (const s of record.stimuli) {
    if (s.codec.startsWith("anchor-")) anchors.add(`stimuli/${record.song}/${s.name}.wav`);
  }
}
// The song of a page, whose name the page shows: that of its reference, stimuli/SONG/reference.wav.
function songOf(where, file) {
  const song = file?.split("/")[1];
  if (file && !recorded.has(song)) problem(`${where}: plays ${file}, of no song recorded`);
  return recorded.has(song) ? song : undefined;
}
const title = path.basename(path.resolve(test));

// Every served file, anchors aside unless `withAnchors`, and nothing else.
function covers(what, listed, withAnchors) {
  const wanted = files.filter((f) => withAnchors || !anchors.has(f));
  const missing = wanted.filter((f) => !listed.has(f));
  const extra = [...listed].filter((f) => !wanted.includes(f));
  if (missing.length) problem(`${what}: does not list ${missing.join(", ")}`);
  if (extra.length) problem(`${what}: lists ${extra.join(", ")}, which it should not`);
}

let webmushra = null;
try {
  webmushra = YAML.parse(fs.readFileSync(path.join(publicDir, "webmushra.yaml"), "utf8"));
} catch (e) {
  problem(`webmushra.yaml: yamljs cannot read it: ${e.message}`);
}
if (webmushra) {
  html("webmushra.yaml testname", webmushra.testname, title);
  const pages = [];
  if (!Array.isArray(webmushra.pages)) problem("webmushra.yaml: no list of pages");
  for (const item of Array.isArray(webmushra.pages) ? webmushra.pages : []) {
    if (Array.isArray(item)) {
      if (item[0] !== "random") problem(`webmushra.yaml: a list of pages that does not start with "random"`);
      if (item.length < 2) problem(`webmushra.yaml: a "random" list without pages`);
      pages.push(...item.slice(1));
    } else {
      pages.push(item);
    }
  }
  const listed = { bs1116: new Set(), mushra: new Set() };
  for (const [i, page] of pages.entries()) {
    // What webMUSHRA answers with "Type not specified.": a page that is not an object of a known type.
    if (page === null || typeof page !== "object" || !["volume", "bs1116", "mushra", "finish"].includes(page.type)) {
      problem(`webmushra.yaml: page ${i + 1} is not a page of a known type: ${JSON.stringify(page)?.slice(0, 80)}`);
      continue;
    }
    const where = `webmushra.yaml page ${page.id ?? page.type}`;
    html(`${where} content`, page.content);
    if (page.type === "volume") served(`${where} stimulus`, page.stimulus);
    if (page.type !== "bs1116" && page.type !== "mushra") {
      html(`${where} name`, page.name);
      continue;
    }
    const files = [page.reference, ...Object.values(page.stimuli ?? {})].map((url) => served(where, url));
    if (files.length < 2) problem(`${where}: no stimuli`);
    for (const file of files) if (file) listed[page.type].add(file);
    html(`${where} name`, page.name, songOf(where, files[0]));
  }
  if (pages[pages.length - 1]?.type !== "finish" || pages[pages.length - 1].showErrors !== true) {
    problem("webmushra.yaml: the last page is not a finish page that shows errors");
  }
  covers("webmushra.yaml's bs1116 pages", listed.bs1116, false);
  if (settings.mushra_pages) covers("webmushra.yaml's mushra pages", listed.mushra, true);
}

let beaqlejs = null;
try {
  const context = {};
  vm.runInNewContext(fs.readFileSync(path.join(publicDir, "beaqlejs_config.js"), "utf8"), context);
  beaqlejs = context.TestConfig;
} catch (e) {
  problem(`beaqlejs_config.js: does not run: ${e.message}`);
}
if (beaqlejs) {
  html("beaqlejs_config.js TestName", beaqlejs.TestName, title);
  const listed = new Set();
  if (!Array.isArray(beaqlejs.Testsets)) problem("beaqlejs_config.js: no list of Testsets");
  for (const set of Array.isArray(beaqlejs.Testsets) ? beaqlejs.Testsets : []) {
    const where = `beaqlejs_config.js test set ${set.TestID}`;
    if (typeof set.Files?.Reference !== "string") problem(`${where}: no Reference`);
    const files = Object.entries(set.Files ?? {}).map(([name, url]) => [name, served(where, url)]);
    for (const [, file] of files) if (file) listed.add(file);
    html(`${where} Name`, set.Name, songOf(where, Object.fromEntries(files).Reference));
  }
  covers("beaqlejs_config.js", listed, false);
}

process.stdout.write(JSON.stringify({ problems, webmushra, beaqlejs }) + "\n");
process.exit(problems.length ? 1 : 0);
