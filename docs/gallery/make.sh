#!/usr/bin/env bash
# Renders a few formulas with several options, each with its twice-as-dense
# image (-x 2), writes index.html, which sets them inline in running text with
# the report line's attributes (srcset included), and takes screenshots of
# that page with headless Chromium: screenshot.png at one device pixel per CSS
# pixel, screenshot@2x.png at two, where the browser picks the 2x images.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
cd "$top"
./scripts/install-deps.sh
if ! command -v chromium > /dev/null; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends chromium fonts-dejavu-core
fi
cmake -S . -B build-gallery -DCMAKE_BUILD_TYPE=Release -DMATHRAST_BUILD_TESTS=OFF > /dev/null
cmake --build build-gallery -j"$(nproc)" > /dev/null
mathrast="$top/build-gallery/mathrast"

mkdir -p "$here/img"
cd "$here"
# render NAME FORMULA [OPTION]...: writes img/NAME and img/NAME@2x, prints an
# <img> tag.
render() {
  local name=$1 formula=$2
  shift 2
  local attributes
  attributes=$(printf '%s' "$formula" | "$mathrast" "$@" -x 2 -o "img/$name")
  local alt=${formula//&/&amp;}
  alt=${alt//\"/&quot;}
  alt=${alt//</&lt;}
  printf '<img src="img/%s" alt="%s" %s>' "$name" "$alt" "$attributes"
}

gauss=$(render gauss.png '\int_{-\infty}^{\infty} e^{-x^2}\,dx=\sqrt{\pi}')
euler=$(render euler.png 'e^{i\pi}+1=0')
inline_x=$(render x.png 'x')
inline_y=$(render y.png 'y')
fraction=$(render fraction.png '\frac{a}{b}')
sum_opaque=$(render sum-opaque.png '\sum_{k=1}^{n}k=\frac{n(n+1)}{2}' -t)
blue=$(render blue.png '\nabla\cdot\vec{E}=\frac{\rho}{\varepsilon_0}' -c 1F4E79)
white=$(render white.png 'a^2+b^2=c^2' -c FFFFFF)
gif=$(render quadratic.gif 'x=\frac{-b\pm\sqrt{b^2-4ac}}{2a}' -f gif -b FFFFFF)
gif_dark=$(render dark.gif '\oint_C \mathbf{F}\cdot d\mathbf{r}' -f gif -c FFFFFF -b 202020)
large=$(render gauss-200dpi.png '\int_{-\infty}^{\infty} e^{-x^2}\,dx=\sqrt{\pi}' -r 200)
large_g=$(render g-200dpi.png 'g_{\mu\nu}' -r 200)
zoom=$(render zoom.png '\sqrt{\alpha^2+\beta^2}')

cat > "$here/index.html" <<HTML
<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>mathrast gallery</title>
<style>
  body { margin: 24px 32px; width: 820px; background: #fdfdf8; color: #111;
         font: 16.67px/1.6 "DejaVu Serif", serif; }
  h1 { font-size: 22px; margin: 0 0 8px; }
  h2 { font: bold 13px "DejaVu Sans", sans-serif; margin: 18px 0 4px; color: #555; }
  p { margin: 4px 0; }
  .grey { background: #a0a0a0; padding: 6px 10px; }
  .dark { background: #202020; color: #eee; padding: 6px 10px; }
  .large { font-size: 33.33px; line-height: 1.4; }
  .zoom { zoom: 4; image-rendering: pixelated; line-height: 1.5; }
  .rule { display: inline-block; width: 0; height: 0; vertical-align: baseline; position: relative; }
  .rule::after { content: ""; position: absolute; left: 0; top: 0; width: 150px;
                 border-top: 1px solid rgba(230, 30, 30, 0.75); }
  code { font: 13px "DejaVu Sans Mono", monospace; }
</style>
</head>
<body>
<h1>mathrast: formulas set in running text</h1>
<h2>default: transparent PNG, 100 dpi, 4&times; oversampling; a 2&times; image in srcset</h2>
<p>The Gaussian integral $gauss is the reason the normal density integrates
to one, and Euler's identity $euler ties five constants together. Short
symbols sit on the line: $inline_x and $inline_y, as does a fraction such as
$fraction in the middle of a sentence.</p>
<h2>-t: opaque, paper in the background colour (default A0A0A0) on a matching page</h2>
<p class="grey">Summing the first n integers gives $sum_opaque, as Gauss is said to have found.</p>
<h2>-c 1F4E79: a foreground colour; and -c FFFFFF on a dark page</h2>
<p>Gauss's law $blue relates the field to the charge density.</p>
<p class="dark">Transparency keeps the edges smooth on any page: $white.</p>
<h2>-f gif: 256 colours ramping to the background, index 255 transparent</h2>
<p>The roots $gif of a quadratic, and on a dark page:</p>
<p class="dark">a circulation $gif_dark around a closed curve (-b 202020).</p>
<h2>-r 200, with the text at twice the size</h2>
<p class="large">Again $large, and the metric $large_g.</p>
<h2>magnified four times: antialiased edges, and the baseline (red) shared by text and image</h2>
<p class="zoom"><span class="rule"></span>Lx $zoom yL</p>
</body>
</html>
HTML

shot="$here/screenshot.sh"
"$shot" "$here/index.html" "$here/screenshot.png" 884,830 1
"$shot" "$here/index.html" "$here/screenshot@2x.png" 884,830 2
# The same screen with the srcset attributes taken out: 1x images, stretched.
sed 's/ SRCSET="[^"]*"//' "$here/index.html" > "$here/index-1x.html"
"$shot" "$here/index-1x.html" "$here/screenshot-1x-images@2x.png" 884,830 2
rm "$here/index-1x.html"

# The same stretch of both 2x screenshots, side by side: the text is sharp in
# both; the 1x images are stretched, the 2x ones are not.
cat > "$here/compare.html" <<'HTML'
<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><style>
  body { margin: 16px; background: #fff; font: 14px "DejaVu Sans", sans-serif; }
  figure { display: inline-block; margin: 0 12px 0 0; }
  .crop { width: 560px; height: 128px; border: 1px solid #ccc; image-rendering: pixelated;
          background-repeat: no-repeat; background-size: 1768px auto; background-position: -400px -196px; }
</style></head><body>
<figure><div class="crop" style="background-image: url(screenshot-1x-images@2x.png)"></div>
<figcaption>without srcset: the 1x image, stretched on a 2x screen</figcaption></figure>
<figure><div class="crop" style="background-image: url(screenshot@2x.png)"></div>
<figcaption>with srcset: the 2x image from -x 2</figcaption></figure>
</body></html>
HTML
"$shot" "$here/compare.html" "$here/comparison.png" 1240,200
rm "$here/compare.html" "$here/screenshot-1x-images@2x.png"
echo "Wrote $here/index.html, screenshot.png, screenshot@2x.png and comparison.png"
