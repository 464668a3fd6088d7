#!/usr/bin/env python3
"""Checks a listening-test folder as the front ends would load it.

    check_test_folder.py NODE NODE_MODULES TEST [HIDDEN...]

The configs are read by node/check_front_ends.js, run by NODE with the
front ends' parsers from NODE_MODULES, which checks them as the front ends
load them and hands them over as read. webmushra.yaml must hold a volume page, the comparison
pages inside lists that start with "random", and a finish page last. Every
path of it and of beaqlejs_config.js must name a file of the folder (URLs are
decoded, the folder's path prefix taken off). Each page must pass the rules of
webMUSHRA's validator: the same sample rate, length in samples and channel
count for the reference and the conditions, at most 12 conditions, at most
12 s per stimulus unless the page says strict: false; a mushra page never
lists the reference among its conditions. The object of beaqlejs_config.js
must parse as JSON, one test set per song with a "Reference". key.csv must
name every served file once, with the input of the song's record, its SHA-256
and the ids by which the configs name its pages and test set. Conditions
are listed in the order of their names (S1, S2 ... S10), never in the command
line's, which would tell a reader of a config which codec is which. No served
file name and no string of either config may contain any HIDDEN word (codec
names and input file names when the names are blind).

The served half, TEST/public/, is fetched as a listener would get it: served
over HTTP from 127.0.0.1 and walked through its directory listings. It must
hold the stimuli, the two configs and the listening page (listen/) and
nothing else: no key, report, folder settings or song record, no WAV chunk
beyond the format and the samples, and no HIDDEN word in any text it serves.
Prints what is wrong and exits 1, or exits 0.
"""
import base64
import csv
import functools
import hashlib
import html.parser
import http.server
import json
import os
import re
import struct
import subprocess
import sys
import threading
import urllib.parse
import urllib.request
import wave

problems = []


def problem(text):
    problems.append(text)


def strings_of(value):
    if isinstance(value, str):
        yield value
    elif isinstance(value, dict):
        for k, v in value.items():
            yield from strings_of(k)
            yield from strings_of(v)
    elif isinstance(value, list):
        for v in value:
            yield from strings_of(v)


class Links(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.links = []

    def handle_starttag(self, tag, attrs):
        self.links += [v for k, v in attrs if tag == "a" and k == "href"]


def fetched(public):
    """Every file that a plain web server of public/ hands out: path -> bytes."""
    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    handler = functools.partial(Quiet, directory=public)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    top = f"http://127.0.0.1:{server.server_address[1]}/"
    files, pending = {}, [""]
    try:
        while pending:
            path = pending.pop()
            with urllib.request.urlopen(top + path) as reply:
                body = reply.read()
            if path and not path.endswith("/"):
                files[urllib.parse.unquote(path)] = body
                continue
            links = Links()
            links.feed(body.decode("utf-8", "replace"))
            pending += [path + link for link in links.links if "/" not in link.rstrip("/")]
    finally:
        server.shutdown()
    return files


def check_served_half(public, hidden):
    files = fetched(public)
    # A web server answers listen/ with the page itself, not with a listing:
    # its files are read from the folder.
    for top, _, names in os.walk(os.path.join(public, "listen")):
        for name in names:
            path = os.path.join(top, name)
            with open(path, "rb") as f:
                files.setdefault(os.path.relpath(path, public).replace(os.sep, "/"), f.read())
    for path, body in sorted(files.items()):
        allowed = (path in ("webmushra.yaml", "beaqlejs_config.js") or path.startswith("listen/")
                   or (path.startswith("stimuli/") and path.endswith(".wav")))
        if not allowed:
            problem(f"public/{path}: served, but not a stimulus, a config or the listening page")
        if path.endswith(".wav"):
            # The canonical header and the samples: no LIST or other chunk that could name the input.
            if body[36:40] != b"data" or int.from_bytes(body[40:44], "little") != len(body) - 44:
                problem(f"public/{path}: holds more than the format and the samples")
            text = body[:44]
        elif re.fullmatch(r"listen/data/[0-9]+\.js", path):
            # A song's data script: its WAV files in base64, which must be the
            # served files themselves; the words are looked for outside them,
            # where base64 cannot spell them by chance.
            record = json.loads(body[body.index(b",") + 1:body.rindex(b")")])
            for name, blob in record["wav"].items():
                served = files.get(f"stimuli/{record['song']}/{name}.wav")
                if base64.b64decode(blob, validate=True) != served:
                    problem(f"public/{path}: {name} is not the served stimuli/{record['song']}/{name}.wav")
            record["wav"] = sorted(record["wav"])
            text = json.dumps(record, ensure_ascii=False).encode("utf-8")
        else:
            text = body
        for word in hidden:
            if word.encode("utf-8") in text.lower():
                problem(f"public/{path}: served, and contains {word}")


def in_name_order(names):
    names = list(names)
    return names == sorted(names, key=lambda n: (len(n), n))


def main():
    node, modules, folder = sys.argv[1:4]
    test = os.path.join(folder, "public")
    hidden = [w.lower() for w in sys.argv[4:]]
    checker = os.path.join(os.path.dirname(os.path.abspath(__file__)), "node", "check_front_ends.js")
    read = subprocess.run([node, checker, modules, folder], capture_output=True, text=True, encoding="utf-8")
    try:
        front_ends = json.loads(read.stdout)
    except ValueError:
        print(f"check_front_ends.js failed: {read.stdout}{read.stderr}")
        return 1
    problems.extend(front_ends["problems"])
    if front_ends["webmushra"] is None or front_ends["beaqlejs"] is None:
        print("\n".join(problems))
        return 1
    check_served_half(test, hidden)
    with open(os.path.join(folder, "folder.json"), encoding="utf-8") as f:
        prefix = json.load(f)["path_prefix"]
    if prefix and not prefix.endswith("/"):
        prefix += "/"

    def local(url):
        if not url.startswith(prefix):
            problem(f"{url}: does not start with the path prefix {prefix!r}")
            return None
        path = os.path.join(test, urllib.parse.unquote(url[len(prefix):], errors="strict"))
        if not os.path.isfile(path):
            problem(f"{url}: no such file in the folder")
            return None
        return path

    def audio(url):
        path = local(url)
        if path is None:
            return None
        with wave.open(path, "rb") as w:
            shape = (w.getframerate(), w.getnframes(), w.getnchannels())
            frame_bytes = w.getnchannels() * w.getsampwidth()
        # Fields that wave and sox both read past: the RIFF size, the byte
        # rate and the block align of the canonical 44-byte header.
        with open(path, "rb") as f:
            header = f.read(44)
        riff, byte_rate, block_align = (struct.unpack_from("<I", header, 4)[0],
                                        struct.unpack_from("<I", header, 28)[0],
                                        struct.unpack_from("<H", header, 32)[0])
        if riff != os.path.getsize(path) - 8:
            problem(f"{url}: RIFF size {riff}, the file holds {os.path.getsize(path) - 8} bytes after it")
        if byte_rate != shape[0] * frame_bytes or block_align != frame_bytes:
            problem(f"{url}: byte rate {byte_rate} and block align {block_align} for {frame_bytes}-byte frames")
        return shape

    config = front_ends["webmushra"]
    pages = config["pages"]
    if pages[0]["type"] != "volume" or pages[-1]["type"] != "finish":
        problem("the pages do not start with the volume page and end with the finish page")
    audio(pages[0]["stimulus"])
    comparison = []
    for block in pages[1:-1]:
        if not isinstance(block, list) or block[0] != "random":
            problem(f"a block of pages that does not start with random: {block!r:.80}")
            continue
        comparison += block[1:]
    last_of_song = {}
    page_of = {}  # a served file's path under public/, or a song's reference -> the page's id
    for page in comparison:
        where = f"page {page['id']}"
        for url in [page["reference"]] if page["type"] == "mushra" else page["stimuli"].values():
            page_of[(page["type"], urllib.parse.unquote(url[len(prefix):]))] = page["id"]
        if page["type"] == "bs1116":
            name = list(page["stimuli"])[0]
            if not in_name_order([last_of_song.get(page["reference"], ""), name]):
                problem(f"{where}: the bs1116 pages of a song are not in the order of their names")
            last_of_song[page["reference"]] = name
        elif not in_name_order(page["stimuli"]):
            problem(f"{where}: the conditions are not in the order of their names")
        if page["type"] not in ("bs1116", "mushra"):
            problem(f"{where}: type {page['type']}")
            continue
        reference = audio(page["reference"])
        conditions = list(page["stimuli"].values())
        if page["type"] == "bs1116" and len(conditions) != 1:
            problem(f"{where}: a bs1116 page of this test holds one condition")
        if page["reference"] in conditions:
            problem(f"{where}: the reference is listed among the conditions")
        if len(conditions) > 12:
            problem(f"{where}: {len(conditions)} conditions, more than 12")
        for url in conditions:
            found = audio(url)
            if reference and found:
                for what, a, b in zip(("sample rate", "length", "channels"), reference, found):
                    if a != b:
                        problem(f"{where}: {url} has another {what} than the reference ({b}, {a})")
        if reference and page.get("strict", True) and reference[1] > 12 * reference[0]:
            problem(f"{where}: longer than 12 s on a strict page")

    with open(os.path.join(test, "beaqlejs_config.js"), encoding="utf-8") as f:
        script = f.read()
    head, tail = "var TestConfig = ", ";\n"
    if not script.startswith(head) or not script.endswith(tail):
        problem("beaqlejs_config.js is not one assignment to TestConfig")
    # The object is plain JSON too, for readers other than a browser.
    if json.loads(script[len(head):-len(tail)]) != front_ends["beaqlejs"]:
        problem("beaqlejs_config.js: JSON reads another object than the script sets")
    beaqle = front_ends["beaqlejs"]
    for test_set in beaqle["Testsets"]:
        if "Reference" not in test_set["Files"]:
            problem(f"test set {test_set['Name']}: no Reference")
        if not in_name_order(n for n in test_set["Files"] if n != "Reference"):
            problem(f"test set {test_set['Name']}: the files are not in the order of their names")
        for url in test_set["Files"].values():
            local(url)

    records = {}
    songs = os.path.join(folder, "songs")
    for name in os.listdir(songs) if os.path.isdir(songs) else []:
        if name.endswith(".json") and not name.startswith("."):
            with open(os.path.join(songs, name), encoding="utf-8") as f:
                record = json.load(f)
            records[record["song"]] = record
    served = set()
    for root, _, files in os.walk(os.path.join(test, "stimuli")):
        for name in files:
            served.add(os.path.relpath(os.path.join(root, name), test).replace(os.sep, "/"))
            for word in hidden:
                if word in name.lower():
                    problem(f"served file {name} contains {word}")
    def unguarded(cell):
        # The key's guard against a spreadsheet's formulas: one more leading "'".
        rest = cell.lstrip("'")
        return cell[1:] if rest != cell and rest[:1] in ("=", "+", "-", "@") else cell

    with open(os.path.join(folder, "key.csv"), encoding="utf-8", newline="") as f:
        rows = list(csv.DictReader(f))
    for row in rows:
        if any(v[:1] in ("=", "+", "-", "@") for v in row.values()):
            problem(f"key.csv: a cell that a spreadsheet would run as a formula in {row}")
    rows = [{k: unguarded(v) for k, v in row.items()} for row in rows]
    # A test set's song is the folder of its reference; its shown name is markup.
    test_ids = {}
    for t in beaqle["Testsets"]:
        reference = local(t["Files"]["Reference"]) if "Reference" in t["Files"] else None
        if reference is not None:
            test_ids[os.path.relpath(os.path.dirname(reference), test).replace(os.sep, "/")] = t["TestID"]
    keyed = set()
    for row in rows:
        keyed.add(row["file"])
        if not os.path.isfile(os.path.join(test, row["file"])):
            problem(f"key.csv: {row['file']} names no file")
            continue
        with open(os.path.join(test, row["file"]), "rb") as f:
            ids = {"sha256": hashlib.sha256(f.read()).hexdigest(),
                   "webmushra_page": page_of.get(("bs1116", row["file"]), ""),
                   "webmushra_mushra_page": page_of.get(("mushra", os.path.dirname(row["file"]) + "/reference.wav"), ""),
                   "beaqlejs_test_id": test_ids.get(os.path.dirname(row["file"]))}
        if {k: row[k] for k in ids} != ids:
            problem(f"key.csv: {row['file']} has {[row[k] for k in ids]}, the files and configs say {list(ids.values())}")
        record = records.get(row["song"])
        if record is None:
            problem(f"key.csv: song {row['song']} has no record")
            continue
        inputs = {s["name"]: s["input"] for s in record["stimuli"]}
        inputs["reference"] = record["original"]
        if inputs.get(row["name"]) != row["input"]:
            problem(f"key.csv: {row['file']} maps to {row['input']}, the record says {inputs.get(row['name'])}")
    if keyed != served:
        problem(f"key.csv names {sorted(keyed ^ served)} but the folder does not serve them, or the reverse")

    for text in list(strings_of(config)) + list(strings_of(beaqle)):
        for word in hidden:
            if word in text.lower():
                problem(f"config string {text!r} contains {word}")

    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
