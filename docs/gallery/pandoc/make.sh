#!/usr/bin/env bash
# Converts page.md to index.html through pandoc and the mathrast filter, the
# images into math/ (1x and 2x), then photographs the page with headless
# Chromium as screenshot.png. page.css draws a red rule on the baseline of
# each paragraph's first line and of each display formula.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../../.." && pwd)
cd "$top"
./scripts/install-deps.sh
for tool in pandoc chromium; do
  if ! command -v "$tool" > /dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      pandoc chromium fonts-dejavu-core
    break
  fi
done
cmake -S . -B build-gallery -DCMAKE_BUILD_TYPE=Release -DMATHRAST_BUILD_TESTS=OFF > /dev/null
cmake --build build-gallery -j"$(nproc)" > /dev/null

cd "$here"
# Rendered anew, so that no image of an older page stays behind.
rm -rf math
MATHRAST="$top/build-gallery/mathrast" pandoc --filter "$top/integrations/pandoc/mathrast-filter" \
  --standalone --css page.css page.md -o index.html

"$here/../screenshot.sh" "$here/index.html" "$here/screenshot.png" 824,400
echo "Wrote $here/index.html, math/ and screenshot.png"
