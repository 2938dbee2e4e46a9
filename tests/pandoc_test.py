#!/usr/bin/env python3
"""End to end: the pandoc filter with Debian's pandoc and the built mathrast.

MATHRAST_BINARY names the built program, MATHRAST_FILTER the filter. Exits
with 77 (skipped) when pandoc is missing.
"""

import html
import html.parser
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

MATHRAST = os.environ.get("MATHRAST_BINARY", "")
FILTER = os.environ.get("MATHRAST_FILTER", "")
PANDOC = shutil.which("pandoc")

# Stands in for mathrast: keeps its arguments and jobs under the calls
# directory, one pair of files per start, then runs the real program.
RECORDER = """#!/bin/sh
PATH='{path}'
export PATH
calls='{calls}'
mkdir -p "$calls"
printf '%s\\n' '{label}' "$@" > "$calls/$$.args"
cat > "$calls/$$.jobs"
exec '{real}' "$@" < "$calls/$$.jobs"
"""

BROKEN = r"\nosuchmacro"
REALS = r"\mathbb{R}"  # needs amssymb, so it renders only if the options reach mathrast
ESCAPED = r"a<b\&c"
SQUARE = "x^2"
EULER = r"e^{i\pi}+1=0"

DOCUMENT = rf"""---
mathrast-options: -p '\usepackage{{amssymb}}'
mathrast-scale: 2
---
The reals ${REALS}$, a test ${ESCAPED}$ and a square ${SQUARE}$.

Euler's identity, set apart: $${EULER}$$ and the square again: ${SQUARE}$.

A formula that fails: ${BROKEN}$.
"""
# The same without the broken formula: every formula of it is in the cache.
GOOD_DOCUMENT = "\n".join(line for line in DOCUMENT.splitlines() if BROKEN not in line) + "\n"

# Put after the page's body: for each maths image, the baseline of its line
# (the bottom of an empty inline block set just before it), its box and its
# parent's box, as JSON in <pre id="layout">.
PROBE = """<script>
const boxes = [];
for (const img of document.querySelectorAll("img.math")) {
  const probe = document.createElement("span");
  probe.style.cssText = "display: inline-block; width: 0; height: 0; vertical-align: baseline;";
  img.parentNode.insertBefore(probe, img);
  const p = probe.getBoundingClientRect(), r = img.getBoundingClientRect();
  const parent = img.parentNode.getBoundingClientRect();
  boxes.push({alt: img.alt, style: img.getAttribute("style"), baseline: p.bottom,
              bottom: r.bottom, left: r.left, right: r.right,
              boxLeft: parent.left, boxRight: parent.right});
}
const pre = document.createElement("pre");
pre.id = "layout";
pre.textContent = JSON.stringify(boxes);
document.body.appendChild(pre);
</script>
"""


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")


def png_palette(path):
    """The PLTE chunk's colours as hex strings."""
    with open(path, "rb") as f:
        data = f.read()
    at = 8
    while at < len(data):
        length = int.from_bytes(data[at:at + 4], "big")
        kind = data[at + 4:at + 8]
        body = data[at + 8:at + 8 + length]
        if kind == b"PLTE":
            return [body[i:i + 3].hex().upper() for i in range(0, len(body), 3)]
        at += 12 + length
    return None


def lone_report(formula, *options):
    """What a lone run of mathrast reports for the formula."""
    with tempfile.TemporaryDirectory() as d:
        run = subprocess.run([MATHRAST, *options, "-o", os.path.join(d, "f.png")],
                             input=formula.encode(), stdout=subprocess.PIPE, check=True)
    pairs = re.findall(r'([A-Z]+)=(?:"([^"]*)"|(\S+))', run.stdout.decode())
    return {key: quoted or bare for key, quoted, bare in pairs}


class Page(html.parser.HTMLParser):
    """The <img> and <code> elements of a page; each img notes the style of
    the span it sits in."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.images, self.codes, self._spans, self._code = [], [], [], None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "img":
            a["_span_style"] = self._spans[-1] if self._spans else None
            self.images.append(a)
        elif tag == "span":
            self._spans.append(a.get("style"))
        elif tag == "code":
            self._code = {"class": a.get("class"), "text": ""}

    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)

    def handle_endtag(self, tag):
        if tag == "span" and self._spans:
            self._spans.pop()
        elif tag == "code" and self._code is not None:
            self.codes.append(self._code)
            self._code = None

    def handle_data(self, data):
        if self._code is not None:
            self._code["text"] += data


class FilterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.top = tempfile.mkdtemp(prefix="pandoc-test-")
        cls.real = os.path.abspath(MATHRAST)
        # One conversion of the document, copied by the tests that need its cache.
        cls.pristine = os.path.join(cls.top, "pristine")
        os.mkdir(cls.pristine)
        cls.write(cls.pristine, "doc.md", DOCUMENT)
        cls.write(cls.pristine, "good.md", GOOD_DOCUMENT)
        cls.first = cls.convert(cls.pristine, "doc.md", "-o", "doc.html")
        with open(os.path.join(cls.pristine, "doc.html"), encoding="utf-8") as f:
            cls.first_html = f.read()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.top)

    @staticmethod
    def write(directory, name, text):
        with open(os.path.join(directory, name), "w", encoding="utf-8") as f:
            f.write(text)

    @classmethod
    def recorder(cls, directory, label="recorder", real=None):
        path = os.path.join(directory, f"record-{label}")
        with open(path, "w") as f:
            f.write(RECORDER.format(calls=os.path.join(directory, "calls"), label=label,
                                    path=os.environ["PATH"],
                                    real=real or cls.real))
        os.chmod(path, 0o755)
        return path

    @staticmethod
    def calls(directory):
        """Each start of a recorder: (label, arguments, formulas of its jobs)."""
        calls_dir = os.path.join(directory, "calls")
        found = []
        for name in sorted(os.listdir(calls_dir)) if os.path.isdir(calls_dir) else []:
            if name.endswith(".args"):
                with open(os.path.join(calls_dir, name)) as f:
                    label, *arguments = f.read().splitlines()
                with open(os.path.join(calls_dir, name[:-5] + ".jobs")) as f:
                    formulas = [json.loads(line)["formula"] for line in f if line.strip()]
                found.append((label, arguments, formulas))
        return found

    @classmethod
    def convert(cls, directory, *arguments, env=None, filter_path=None):
        environment = dict(os.environ) if env is None else env
        if env is None:
            environment["MATHRAST"] = cls.real
        return subprocess.run([PANDOC, "--filter", filter_path or FILTER, *arguments],
                              cwd=directory, env=environment, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)

    def copy_of_pristine(self, name):
        directory = os.path.join(self.top, name)
        shutil.copytree(self.pristine, directory, copy_function=shutil.copy2)
        return directory

    def test_page_has_an_image_for_each_formula_and_code_for_the_broken_one(self):
        self.assertEqual(self.first.returncode, 0, self.first.stderr)
        self.assertIn(BROKEN, self.first.stderr)
        self.assertIn("! Undefined control sequence.", self.first.stderr)

        page = Page(self.first_html)
        self.assertEqual([(i["alt"], i["class"]) for i in page.images],
                         [(REALS, "math inline"), (ESCAPED, "math inline"),
                          (SQUARE, "math inline"), (EULER, "math display"),
                          (SQUARE, "math inline")])
        self.assertIn('alt="a&lt;b\\&amp;c"', self.first_html)
        self.assertEqual(page.codes, [{"class": "math error", "text": BROKEN}])

        for image in page.images:
            with self.subTest(formula=image["alt"]):
                self.assertRegex(image["src"], r"^math/[^/]+\.png$")
                path = os.path.join(self.pristine, image["src"])
                self.assertEqual(png_size(path), (int(image["width"]), int(image["height"])))
                centred = image["class"] == "math display"
                self.assertRegex(image["style"], r"^vertical-align: -?[0-9]+px; margin: 0;" +
                                 (" display: inline;$" if centred else "$"))
                stem = image["src"][:-len(".png")]
                self.assertEqual(image["srcset"], f"{stem}@2x.png 2x")
                self.assertEqual(png_size(os.path.join(self.pristine, f"{stem}@2x.png")),
                                 (2 * int(image["width"]), 2 * int(image["height"])))
                self.assertEqual(image["_span_style"] is not None and
                                 "text-align: center" in image["_span_style"] and
                                 "display: block" in image["_span_style"], centred)

        squares = [i["src"] for i in page.images if i["alt"] == SQUARE]
        self.assertEqual(squares[0], squares[1])
        one_x = [n for n in os.listdir(os.path.join(self.pristine, "math"))
                 if n.endswith(".png") and "@" not in n]
        self.assertEqual(len(one_x), 4)
        self.assertEqual([n for n in os.listdir(os.path.join(self.pristine, "math"))
                          if not n.endswith((".png", ".json"))], [])

        # The attributes are those of lone runs with the same options: the
        # README's values for the display formula, and -e math inline.
        euler = next(i for i in page.images if i["alt"] == EULER)
        self.assertEqual((euler["width"], euler["height"], euler["style"]),
                         ("80", "19", "vertical-align: -2px; margin: 0; display: inline;"))
        square = next(i for i in page.images if i["alt"] == SQUARE)
        lone = lone_report(SQUARE, "-p", r"\usepackage{amssymb}", "-e", "math")
        self.assertEqual((square["width"], square["height"], square["style"]),
                         (lone["WIDTH"], lone["HEIGHT"], lone["STYLE"]))

    def test_a_rebuild_renders_only_what_is_not_in_the_cache(self):
        directory = self.copy_of_pristine("rebuild")
        math_dir = os.path.join(directory, "math")
        before = {n: os.stat(os.path.join(math_dir, n)).st_mtime_ns for n in os.listdir(math_dir)}
        env = dict(os.environ, MATHRAST=self.recorder(directory))

        # The broken formula has no image to keep, so it is tried again alone.
        again = self.convert(directory, "doc.md", "-o", "again.html", env=env)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertIn("! Undefined control sequence.", again.stderr)
        self.assertEqual([c[2] for c in self.calls(directory)], [[BROKEN]])
        with open(os.path.join(directory, "again.html"), encoding="utf-8") as f:
            self.assertEqual(f.read(), self.first_html)

        shutil.rmtree(os.path.join(directory, "calls"))
        good = self.convert(directory, "good.md", "-o", "good.html", env=env)
        self.assertEqual(good.returncode, 0, good.stderr)
        self.assertEqual(good.stderr, "")
        self.assertEqual(self.calls(directory), [])
        with open(os.path.join(directory, "good.html"), encoding="utf-8") as f:
            self.assertEqual(len(Page(f.read()).images), 5)
        after = {n: os.stat(os.path.join(math_dir, n)).st_mtime_ns for n in os.listdir(math_dir)}
        self.assertEqual(after, before)

    def test_a_damaged_cache_costs_only_renders(self):
        page = Page(self.first_html)
        src = {i["alt"]: i["src"] for i in page.images}

        def garbage(d):
            self.write(d, "math/mathrast-index.json", '{"format": "mathrast-filter index 1", "ima')

        def foreign(d):
            self.write(d, "math/mathrast-index.json", json.dumps({"format": "another", "images": {}}))

        def no_image(d):
            os.unlink(os.path.join(d, src[SQUARE]))

        def no_2x_image(d):
            os.unlink(os.path.join(d, src[EULER][:-4] + "@2x.png"))

        def other_image(d):
            shutil.copyfile(os.path.join(d, src[EULER]), os.path.join(d, src[REALS]))

        everything = sorted([REALS, ESCAPED, SQUARE, EULER])
        cases = [("unreadable index", garbage, everything, True),
                 ("another program's index", foreign, everything, True),
                 ("image removed", no_image, [SQUARE], False),
                 ("2x image removed", no_2x_image, [EULER], False),
                 ("image of another size", other_image, [REALS], False)]
        for name, damage, rendered, warned in cases:
            with self.subTest(case=name):
                directory = self.copy_of_pristine(name.replace(" ", "-").replace("'", ""))
                damage(directory)
                env = dict(os.environ, MATHRAST=self.recorder(directory))
                run = self.convert(directory, "good.md", "-o", "good.html", env=env)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual("mathrast-index.json" in run.stderr, warned, run.stderr)
                self.assertEqual([sorted(c[2]) for c in self.calls(directory)], [rendered])
                with open(os.path.join(directory, "good.html"), encoding="utf-8") as f:
                    self.assertEqual(f.read(), self.html_of_good())
                # Repaired: the next run starts nothing.
                shutil.rmtree(os.path.join(directory, "calls"))
                self.convert(directory, "good.md", "-o", "good.html", env=env)
                self.assertEqual(self.calls(directory), [])

    def html_of_good(self):
        if not hasattr(self, "_good_html"):
            directory = self.copy_of_pristine("good-reference")
            run = self.convert(directory, "good.md", "-o", "good.html")
            self.assertEqual(run.returncode, 0, run.stderr)
            with open(os.path.join(directory, "good.html"), encoding="utf-8") as f:
                type(self)._good_html = f.read()
        return self._good_html

    def test_layout_in_chromium(self):
        # Pandoc's standalone page has its own style for maths; in a browser
        # every image must still stand on its line's baseline, lowered by the
        # depth of its report, and display images centred in their blocks.
        chromium = shutil.which("chromium")
        if not chromium:
            self.skipTest("chromium is not installed")
        directory = self.copy_of_pristine("layout")
        self.write(directory, "probe.html", PROBE)
        run = self.convert(directory, "good.md", "--standalone", "-M", "title=Layout",
                           "--include-after-body=probe.html", "-o", "page.html")
        self.assertEqual(run.returncode, 0, run.stderr)
        profile = os.path.join(directory, "profile")
        dom = subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                              "--no-first-run", "--disable-background-networking",
                              "--disable-component-update", "--disable-sync",
                              f"--user-data-dir={profile}", "--window-size=800,600", "--dump-dom",
                              "file://" + os.path.join(directory, "page.html")],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, check=True)
        found = re.search(r'<pre id="layout">(.*?)</pre>', dom.stdout, re.S)
        self.assertIsNotNone(found, dom.stdout[-2000:])
        boxes = json.loads(html.unescape(found[1]))
        self.assertEqual([b["alt"] for b in boxes], [REALS, ESCAPED, SQUARE, EULER, SQUARE])
        for box in boxes:
            with self.subTest(formula=box["alt"]):
                depth = -int(re.match(r"vertical-align: (-?[0-9]+)px", box["style"])[1])
                self.assertAlmostEqual(box["bottom"], box["baseline"] + depth, delta=0.5)
                if box["alt"] == EULER:
                    self.assertAlmostEqual((box["left"] + box["right"]) / 2,
                                           (box["boxLeft"] + box["boxRight"]) / 2, delta=1)

    def test_output_formats(self):
        # (format, whether Math becomes images); other formats must come out
        # as pandoc makes them without the filter.
        cases = [("html", True), ("html4", True), ("html5", True),
                 ("native", False), ("latex", False), ("markdown", False), ("plain", False),
                 ("docx", False)]
        for output_format, images in cases:
            with self.subTest(format=output_format):
                directory = os.path.join(self.top, "format-" + output_format)
                os.mkdir(directory)
                shutil.copytree(os.path.join(self.pristine, "math"), os.path.join(directory, "math"))
                self.write(directory, "good.md", GOOD_DOCUMENT)
                # A fixed date: docx stamps the time of its making.
                env = dict(os.environ, MATHRAST=self.recorder(directory), SOURCE_DATE_EPOCH="0")
                out = "out." + output_format
                run = self.convert(directory, "good.md", "-t", output_format, "-o", out, env=env)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(self.calls(directory), [])
                with open(os.path.join(directory, out), "rb") as f:
                    produced = f.read()
                if images:
                    self.assertEqual(len(Page(produced.decode()).images), 5)
                else:
                    subprocess.run([PANDOC, "good.md", "-t", output_format, "-o", "plain"],
                                   cwd=directory, env=env, check=True)
                    with open(os.path.join(directory, "plain"), "rb") as f:
                        self.assertEqual(produced, f.read())
                    self.assertNotIn(b"<img", produced)
        native = subprocess.run([PANDOC, "--filter", FILTER, "-t", "native"], input="$x^2$",
                                stdout=subprocess.PIPE, text=True, check=True, cwd=self.top)
        self.assertIn('Math InlineMath "x^2"', native.stdout)
        self.assertFalse(os.path.exists(os.path.join(self.top, "math")))

    def test_epub_packs_the_images(self):
        directory = self.copy_of_pristine("epub")
        env = dict(os.environ, MATHRAST=self.recorder(directory))
        run = self.convert(directory, "good.md", "-M", "title=T", "-o", "book.epub", env=env)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(self.calls(directory), [])
        with zipfile.ZipFile(os.path.join(directory, "book.epub")) as book:
            text = "".join(book.read(n).decode() for n in book.namelist() if n.endswith("ch001.xhtml"))
            images = Page(text).images
            self.assertEqual([i["alt"] for i in images], [REALS, ESCAPED, SQUARE, EULER, SQUARE])
            for image in images:
                self.assertNotIn("srcset", image)  # the 2x images are not in the book
                data = book.read(os.path.normpath(os.path.join("EPUB/text", image["src"])))
                self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
                self.assertEqual((int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")),
                                 (int(image["width"]), int(image["height"])))

    def test_metadata(self):
        # (name, metadata lines, pandoc arguments, check of the one image)
        def palette(d, image):
            self.assertEqual(set(png_palette(os.path.join(d, image["src"]))), {"1F4E79"})

        def gif(d, image):
            self.assertRegex(image["src"], r"^math/[^/]+\.gif$")
            with open(os.path.join(d, image["src"]), "rb") as f:
                self.assertEqual(f.read(6), b"GIF89a")

        def nested_dir(d, image):
            self.assertRegex(image["src"], r"^img/eq/[^/]+\.png$")
            self.assertTrue(os.path.isfile(os.path.join(d, "img/eq/mathrast-index.json")))

        def triple(d, image):
            stem = image["src"][:-len(".png")]
            self.assertEqual(image["srcset"], f"{stem}@3x.png 3x")
            self.assertEqual(png_size(os.path.join(d, stem + "@3x.png")),
                             (3 * int(image["width"]), 3 * int(image["height"])))

        def rendered(d, image):
            pass  # the image's being there is the check

        cases = [
            ("option list", ['mathrast-options: ["-c", "1F4E79"]'], [], palette),
            ("string from the command line", [], ["-M", "mathrast-options=-f gif"], gif),
            ("nested directory", ["mathrast-dir: img/eq"], [], nested_dir),
            ("scale 3", ["mathrast-scale: 3"], [], triple),
            # The formula needs the preamble: the quotes, made typographic
            # by pandoc's Markdown, still make one word of it, blank included.
            ("quoted words", ["mathrast-options: -c 1F4E79 -p '\\usepackage{amsmath}"
                              " \\usepackage{amssymb}'"], [], palette),
            # A backslash outside quotes is the TeX one, not a shell escape.
            ("bare words", ["mathrast-options: -p \\usepackage{amssymb}"], [], rendered),
        ]
        for name, meta, arguments, check in cases:
            with self.subTest(case=name):
                directory = os.path.join(self.top, "meta-" + name.replace(" ", "-"))
                os.mkdir(directory)
                formula = r"\mathbb{Z}" if "words" in name else "y"
                self.write(directory, "m.md", "---\n" + "\n".join(meta + ["title: M"]) +
                           f"\n---\nSee ${formula}$.\n")
                run = self.convert(directory, "m.md", *arguments, "-o", "m.html")
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(run.stderr, "")
                with open(os.path.join(directory, "m.html"), encoding="utf-8") as f:
                    images = Page(f.read()).images
                self.assertEqual([i["alt"] for i in images], [formula])
                check(directory, images[0])

    def test_which_mathrast_runs(self):
        # (MATHRAST, a mathrast on PATH, a build/mathrast in the filter's
        # tree) -> which one runs, or the error.
        cases = [("recorder", True, True, "environment"),
                 (None, True, True, "path"),
                 (None, False, True, "build"),
                 (None, False, False, "cannot find the mathrast program"),
                 ("/nonexistent/mathrast", True, True, "MATHRAST is set to '/nonexistent/mathrast'"),
                 ("/bin/false", True, True, "/bin/false -B gave no results (status 1)")]
        for number, (variable, on_path, built, expected) in enumerate(cases):
            with self.subTest(MATHRAST=variable, on_path=on_path, built=built):
                directory = os.path.join(self.top, f"lookup-{number}")
                tree = os.path.join(directory, "tree")
                filter_dir = os.path.join(tree, "integrations", "pandoc")
                bin_dir = os.path.join(directory, "bin")
                os.makedirs(filter_dir)
                os.makedirs(bin_dir)
                filter_copy = os.path.join(filter_dir, "mathrast-filter")
                shutil.copy2(FILTER, filter_copy)
                # Only pandoc and python3 on PATH, so that no installed
                # mathrast is found.
                os.symlink(PANDOC, os.path.join(bin_dir, "pandoc"))
                os.symlink(sys.executable, os.path.join(bin_dir, "python3"))
                if on_path:
                    os.rename(self.recorder(directory, "path"), os.path.join(bin_dir, "mathrast"))
                if built:
                    os.makedirs(os.path.join(tree, "build"))
                    os.rename(self.recorder(directory, "build"), os.path.join(tree, "build", "mathrast"))
                env = {k: v for k, v in os.environ.items() if k != "MATHRAST"}
                env["PATH"] = bin_dir
                if variable == "recorder":
                    env["MATHRAST"] = self.recorder(directory, "environment")
                elif variable:
                    env["MATHRAST"] = variable
                self.write(directory, "z.md", "Just $z$.\n")
                run = self.convert(directory, "z.md", "-o", "z.html", env=env, filter_path=filter_copy)
                if expected in ("environment", "path", "build"):
                    self.assertEqual(run.returncode, 0, run.stderr)
                    self.assertEqual([c[0] for c in self.calls(directory)], [expected])
                else:
                    self.assertNotEqual(run.returncode, 0)
                    self.assertIn(expected, run.stderr)
                    self.assertEqual(self.calls(directory), [])
                    self.assertEqual(len(re.findall("^mathrast-filter:", run.stderr, re.M)), 1, run.stderr)


if __name__ == "__main__":
    if not PANDOC:
        print("pandoc is not installed: skipped (scripts/install-deps.sh --tests installs it)")
        sys.exit(77)
    if not os.access(MATHRAST, os.X_OK) or not os.path.isfile(FILTER):
        print("MATHRAST_BINARY and MATHRAST_FILTER must name the program and the filter")
        sys.exit(1)
    unittest.main(verbosity=2)
