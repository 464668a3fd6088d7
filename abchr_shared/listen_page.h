// The test folder's own listening page, TEST/public/listen/:
//
//   listen/index.html, listen.css, *.js    the page (listen_page_files.h)
//   listen/data/test.js     the folder's id, where results go, and each song:
//                           its served names, their SHA-256, its data file
//   listen/data/<n>.js      song n (in the folder's order): its served files
//                           in base64, under their served names
//
// A page opened from a folder (file://) may run scripts beside it but may
// not fetch files, so every data file is a script that calls the page's
// abchrListen.registerTest or registerSong. Nothing in listen/ names a codec,
// an input or anything else of the key: the served names are blind, and the
// served files of a song are all of one length, so their base64 texts are
// too.
#pragma once

#include <string>

#include "folder_summary.h"
#include "listening_folder.h"

constexpr const char* LISTEN_FOLDER = "listen";
constexpr const char* LISTEN_DATA_FOLDER = "data";
// The codec of the MUSHRA pages' anchors in a song's record ("anchor-3.5kHz").
constexpr const char* ANCHOR_CODEC_PREFIX = "anchor-";

// What the page knows of the folder besides its settings.
struct listen_choices {
  std::string folder_id;
};

// Writes the page and its data into `into` (new and empty) for every song of
// `contents`. The files of song `new_song` lie in `new_song_folder`, those of
// the others in `stimuli`/<song>/. Every served file is read for the data
// files; their SHA-256 go into `hashes` as well, for the key.
folder_status write_listen_page(const folder_contents& contents, const listen_choices& choices,
                                const std::string& stimuli, const std::string& new_song,
                                const std::string& new_song_folder, const std::string& into,
                                served_hashes& hashes, folder_problem& problem);
