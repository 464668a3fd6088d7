#!/usr/bin/env bash
# ESLint (Debian's) over the listening page's scripts; 77 (skipped) without it.
# Debian's eslint finds its modules under /usr/share/nodejs, which a Node.js
# from elsewhere does not search by itself; its default formatter needs a
# module that the package only recommends, so the plain one is used.
set -u
sources=$1
command -v eslint >/dev/null || {
  echo "skipped: no eslint"
  exit 77
}
# Run from the sources, whose paths the linter wants below its working folder.
cd "$sources" && NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH} eslint -f unix --no-eslintrc -c .eslintrc.json ./*.js
