#!/usr/bin/env bash
# screenshot.sh PAGE OUT WIDTH,HEIGHT [SCALE]: headless Chromium's picture of
# the local page PAGE (an absolute path) in a window of WIDTH x HEIGHT CSS
# pixels, at SCALE device pixels per CSS pixel (default 1), into OUT. A fresh
# profile each time, so that nothing of an earlier run is reused.
set -euo pipefail
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --hide-scrollbars --user-data-dir="$profile" --window-size="$3" \
  --force-device-scale-factor="${4:-1}" --screenshot="$2" "file://$1" 2> /dev/null
