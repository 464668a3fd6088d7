#!/usr/bin/env bash
# Installs, where missing, what building and testing need on a Debian machine:
# the toolchain, GoogleTest, and the real codecs, sox and terminal the
# end-to-end tests compare against, the linter, browser and driver that
# check the listening page, and Node.js and npm, which install and run the
# front ends' parsers; arguments name more packages. Without root or apt-get
# it changes nothing; tests whose tools are then missing report themselves
# skipped.
set -u
packages=(cmake make g++ libgtest-dev nlohmann-json3-dev libutfcpp-dev libboost-math-dev python3-scipy python3-yaml nodejs npm tmux lame eslint chromium chromium-driver python3-selenium mpg123 vorbis-tools opus-tools ffmpeg sox "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" && continue
  # npm also comes with Node.js from elsewhere than Debian, and conflicts with Debian's then.
  [ "$p" = npm ] && command -v npm >/dev/null && continue
  missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
  echo "install-deps: missing ${missing[*]} (not root, not installing)" >&2
  exit 0
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
  echo "install-deps: apt-get failed; tests that need ${missing[*]} will be skipped" >&2
exit 0
