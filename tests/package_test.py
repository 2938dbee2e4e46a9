#!/usr/bin/env python3
"""The Debian package: built with cpack into a temporary directory from this
build (CPACK, CPACK_CONFIG), then read with dpkg-deb. SOURCE_DIR is the
source tree, PACKAGE_VERSION the project's version. Exits with 77 (skipped)
when dpkg-deb is missing.
"""

import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get("SOURCE_DIR", "")
VERSION = os.environ.get("PACKAGE_VERSION", "")

DIRECTORY_MODE = "drwxr-xr-x"
# Every file of the package: (mode, path).
FILES = {
    ("-rwxr-xr-x", "./usr/bin/mathrast"),
    ("-rw-r--r--", "./usr/share/man/man1/mathrast.1.gz"),
    ("-rwxr-xr-x", "./usr/share/mathrast/pandoc/mathrast-filter"),
    ("-rw-r--r--", "./usr/share/doc/mathrast/copyright"),
    ("-rw-r--r--", "./usr/share/doc/mathrast/changelog.gz"),
}


def names(relation_field):
    """The package names of a Depends-like field."""
    return {re.split(r"[\s(:]", alternative.strip(), maxsplit=1)[0]
            for relation in relation_field.split(",") for alternative in relation.split("|")
            if alternative.strip()}


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="package-test-")
        subprocess.run([os.environ["CPACK"], "--config", os.environ["CPACK_CONFIG"], "-G", "DEB",
                        "-B", cls.work], cwd=cls.work, check=True, stdout=subprocess.DEVNULL)
        debs = [n for n in os.listdir(cls.work) if n.endswith(".deb")]
        assert len(debs) == 1, debs
        cls.deb = os.path.join(cls.work, debs[0])
        cls.root = os.path.join(cls.work, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def field(self, name):
        run = subprocess.run(["dpkg-deb", "-f", self.deb, name], stdout=subprocess.PIPE,
                             text=True, check=True)
        return run.stdout.rstrip("\n")

    def test_control_fields(self):
        architecture = subprocess.run(["dpkg", "--print-architecture"], stdout=subprocess.PIPE,
                                      text=True, check=True).stdout.strip()
        self.assertEqual(os.path.basename(self.deb), f"mathrast_{VERSION}_{architecture}.deb")
        for name, expected in [("Package", "mathrast"), ("Version", VERSION),
                               ("Architecture", architecture), ("Section", "graphics"),
                               ("Priority", "optional"), ("Homepage", "")]:
            with self.subTest(field=name):
                self.assertEqual(self.field(name), expected)
        for name, expected in [("Depends", {"libc6", "libpng16-16", "libgif7",
                                            "texlive-latex-base", "ghostscript"}),
                               ("Recommends", {"python3"}), ("Suggests", {"pandoc"})]:
            with self.subTest(field=name):
                self.assertEqual(names(self.field(name)), expected)
        self.assertRegex(self.field("Maintainer"), r"^[^<>]+ <[^@\s<>]+@[^@\s<>]+>$")
        synopsis, *extended = self.field("Description").split("\n")
        self.assertTrue(0 < len(synopsis) <= 80, synopsis)
        self.assertGreaterEqual(len(extended), 2)
        info = subprocess.run(["dpkg-deb", "--info", self.deb], stdout=subprocess.PIPE,
                              text=True, check=True).stdout
        self.assertRegex(info, r"\n\s+\d+ bytes,\s+\d+ lines\s+md5sums\s")

    def test_contents(self):
        listing = subprocess.run(["dpkg-deb", "--contents", self.deb], stdout=subprocess.PIPE,
                                 text=True, check=True).stdout.splitlines()
        files, directories = set(), []
        for line in listing:
            mode, owner, _size, _date, _time, path = line.split(None, 5)
            self.assertEqual(owner, "root/root", line)
            self.assertTrue(path.startswith("./usr/"), line)
            if mode.startswith("d"):
                directories.append((mode, path))
            else:
                files.add((mode, path))
        self.assertEqual(files, FILES)
        self.assertEqual({mode for mode, _ in directories}, {DIRECTORY_MODE})

    def test_files(self):
        def packed(path):
            return os.path.join(self.root, path)

        with open(os.path.join(SOURCE_DIR, "mathrast.1"), "rb") as f:
            manual = f.read()
        for name, expected_start in [("usr/share/man/man1/mathrast.1.gz", manual),
                                     ("usr/share/doc/mathrast/changelog.gz",
                                      f"mathrast ({VERSION}) ".encode())]:
            with self.subTest(file=name):
                with open(packed(name), "rb") as f:
                    raw = f.read()
                # gzip -9n: no name stored, no time stamp, best compression.
                self.assertEqual((raw[:3], raw[3] & 0x08, raw[4:8], raw[8]),
                                 (b"\x1f\x8b\x08", 0, b"\0\0\0\0", 2))
                self.assertTrue(gzip.decompress(raw).startswith(expected_start))
        with open(packed("usr/share/man/man1/mathrast.1.gz"), "rb") as f:
            self.assertEqual(gzip.decompress(f.read()), manual)

        with open(packed("usr/share/doc/mathrast/copyright"), encoding="utf-8") as f:
            copyright_text = f.read()
        for line in ("Upstream-Name: mathrast", "Files: *"):
            self.assertIn("\n" + line + "\n", copyright_text)
        self.assertRegex(copyright_text, r"\nCopyright: \d{4} .+\nLicense: \S+\n \S")

        with open(packed("usr/share/mathrast/pandoc/mathrast-filter"), "rb") as f, \
                open(os.path.join(SOURCE_DIR, "integrations/pandoc/mathrast-filter"), "rb") as g:
            self.assertEqual(f.read(), g.read())

        program = packed("usr/bin/mathrast")
        self.assertEqual(subprocess.run([program, "-h"], stdout=subprocess.DEVNULL).returncode, 0)
        if shutil.which("readelf"):
            sections = subprocess.run(["readelf", "-SW", program], stdout=subprocess.PIPE,
                                      text=True, check=True).stdout
            self.assertNotIn(".symtab", sections)
            self.assertNotIn(".debug_info", sections)
            self.assertNotIn(".comment", sections)

    def test_depends_covers_the_linked_libraries(self):
        if not shutil.which("dpkg-shlibdeps"):
            self.skipTest("dpkg-shlibdeps (dpkg-dev) is missing")
        tree = os.path.join(self.work, "shlibdeps")
        os.makedirs(os.path.join(tree, "debian"))
        with open(os.path.join(tree, "debian", "control"), "w") as f:
            f.write("Source: mathrast\n\nPackage: mathrast\nArchitecture: any\n")
        run = subprocess.run(["dpkg-shlibdeps", "-O", os.path.join(self.root, "usr/bin/mathrast")],
                             cwd=tree, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             text=True, check=True)
        found = names(run.stdout.strip().split("=", 1)[1])
        self.assertTrue(found)
        self.assertLessEqual(found, names(self.field("Depends")))


if __name__ == "__main__":
    if not shutil.which("dpkg-deb"):
        print("dpkg-deb is not installed: skipped")
        sys.exit(77)
    unittest.main(verbosity=2)
