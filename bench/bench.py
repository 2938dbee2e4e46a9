#!/usr/bin/env python3
"""Times mathrast against the bare tool chain (the floor) and a peer.

For every formula of the corpus, in the same loop and interleaved:
  mathrast  the built binary with -o, end to end;
  floor     latex, dvips and gs with exactly mathrast's arguments, environment
            and input files, run back to back by a minimal /bin/sh script that
            is started the way mathrast is (what a perfect driver would cost);
  peer      the same document through latex and then
            dvipng -T tight -D 100 --depth -bg Transparent.
Then the instructions of mathrast's own process (callgrind, children not
traced), its peak resident memory, and how time and memory grow with -r and
-s. Prints a Markdown report; nothing here fails on a figure.
"""

import argparse
import datetime
import glob
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MKTEX_OFF = {"MKTEXPK": "0", "MKTEXTFM": "0", "MKTEXMF": "0"}


def read_corpus(path):
    jobs = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            name, options, formula = line.split("\t")
            jobs.append((name, options.split(), formula))
    return jobs


def option(options, flag, default):
    for i, word in enumerate(options[:-1]):
        if word == flag:
            return options[i + 1]
    return default


def document(preamble, environment, formula):
    return ("\\nonstopmode\n\\documentclass[12pt]{article}\n\\pagestyle{empty}\n"
            + preamble + "\n\\begin{document}\n\\begin{" + environment + "}\n."
            + formula + "\\end{" + environment + "}\n\\end{document}\n")


def trunc_div(a, b):
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q


def spawn(argv, cwd, env, stdin_data=None, stdout=subprocess.DEVNULL, stderr=None):
    """Starts one program without a shell and waits for it."""
    proc = subprocess.Popen(argv, cwd=cwd, env=env, stdout=stdout, stderr=stderr,
                            stdin=subprocess.PIPE if stdin_data is not None else subprocess.DEVNULL)
    if stdin_data is not None:
        proc.stdin.write(stdin_data.encode())
        proc.stdin.close()
    return proc.wait()


class Job:
    def __init__(self, binary, name, options, formula, root):
        self.binary, self.name, self.options, self.formula = binary, name, options, formula
        self.dir = os.path.join(root, name)
        os.makedirs(self.dir)
        self.preamble = option(options, "-p", "")
        self.environment = option(options, "-e", "displaymath")
        self.resolution = int(option(options, "-r", "100"))
        self.factor = int(option(options, "-s", "4"))
        # The floor's and the peer's own directories, with the document ready.
        self.floor_dir = os.path.join(self.dir, "floor")
        self.peer_dir = os.path.join(self.dir, "peer")
        for d in (self.floor_dir, self.peer_dir):
            os.makedirs(d)
            with open(os.path.join(d, "formula.tex"), "w", encoding="utf-8") as f:
                f.write(document(self.preamble, self.environment, formula))
        base = dict(os.environ, **MKTEX_OFF)
        self.latex_env = dict(base, openin_any="p", openout_any="p", shell_escape="f",
                              TEXINPUTS=".:" + self.dir + ":")
        self.latex_env.pop("TEXMFOUTPUT", None)
        self.dvips_env = dict(base, TEXINPUTS=".:" + self.dir + ":")
        self.dvips_env.pop("TEXMFOUTPUT", None)
        self.gs_env = dict(base, TMPDIR=self.floor_dir, TEMP=self.floor_dir)
        self.gs_args = self.prepare_gs()
        self.run_mathrast()  # fails early on a formula that does not render
        self.floor_script = os.path.join(self.floor_dir, "floor.sh")
        with open(self.floor_script, "w") as f:
            f.write(self.floor_text())

    def prepare_gs(self):
        """The gs words mathrast uses for this formula, from its bounding box."""
        d = self.floor_dir
        spawn(["latex", "formula.tex"], d, self.latex_env)
        spawn(["dvips", "-R2", "-q", "-E", "-o", "formula.ps", "formula.dvi"], d, self.dvips_env,
              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(os.path.join(d, "formula.ps"), "rb") as f:
            for line in f:
                if b"%BoundingBox" in line:
                    llx, lly, urx, ury = (int(v, 0) for v in line.split()[1:5])
                    break
        r, s = self.resolution, self.factor
        w = s * (trunc_div((urx - llx) * r, 72) + 1)
        h = s * (trunc_div((ury - lly) * r, 72) + 1)
        self.translate = "%d neg %d neg translate\n" % (llx, lly)
        return ["gs", "-dSAFER", "-sDEVICE=pngmono", "-sOutputFile=formula.ps.png",
                "-r%d" % (r * s), "-g%dx%d" % (w, h), "-q", "-", "formula.ps"]

    def floor_text(self):
        """The floor: one line per program, variables as shell prefixes (no
        extra process), the translate line as a here-document."""
        def q(word):
            return "'" + word.replace("'", "'\\''") + "'"

        def env(d):
            return "".join(k + "=" + q(d[k]) + " " for k in sorted(d) if os.environ.get(k) != d[k])

        return ("unset TEXMFOUTPUT\ncd " + q(self.floor_dir) + "\n"
                + env(self.latex_env) + "latex formula.tex < /dev/null > /dev/null\n"
                + env(self.dvips_env) + "dvips -R2 -q -E -o formula.ps formula.dvi > /dev/null 2>&1\n"
                + env(self.gs_env) + " ".join(q(w) for w in self.gs_args) + " >&2 <<'END'\n"
                + self.translate + "END\n")

    def mathrast_argv(self, extra=()):
        return [self.binary] + self.options + list(extra) + ["-o", "eq.png"]

    def run_mathrast(self, extra=(), env=None):
        start = time.perf_counter()
        code = spawn(self.mathrast_argv(extra), self.dir, env or os.environ,
                     stdin_data=self.formula)
        took = time.perf_counter() - start
        if code != 0:
            raise SystemExit("mathrast failed on %s" % self.name)
        return took

    def run_floor(self):
        start = time.perf_counter()
        spawn(["/bin/sh", self.floor_script], self.floor_dir, os.environ, stdin_data=self.formula)
        return time.perf_counter() - start

    def run_peer(self):
        d = self.peer_dir
        start = time.perf_counter()
        spawn(["latex", "formula.tex"], d, self.latex_env)
        spawn(["dvipng", "-T", "tight", "-D", "100", "--depth", "-bg", "Transparent",
               "formula.dvi"], d, self.latex_env)
        return time.perf_counter() - start

    def peak_rss_kib(self, preload, extra=()):
        record = os.path.join(self.dir, "rss.txt")
        if os.path.exists(record):
            os.unlink(record)
        env = dict(os.environ, LD_PRELOAD=preload, BENCH_PEAK_RSS_FILE=record)
        self.run_mathrast(extra, env)
        with open(record) as f:
            return int(f.read().split()[0])

    def instructions(self, trace_children):
        out = os.path.join(self.dir, "cg")
        for old in glob.glob(out + ".*"):
            os.unlink(old)
        argv = ["valgrind", "--tool=callgrind", "--trace-children=" + ("yes" if trace_children else "no"),
                "--callgrind-out-file=" + out + ".%p"] + self.mathrast_argv()
        spawn(argv, self.dir, os.environ, stdin_data=self.formula, stderr=subprocess.DEVNULL)
        own, total = None, 0
        for path in glob.glob(out + ".*"):
            with open(path) as f:
                text = f.read()
            m = re.search(r"^summary: (\d+)", text, re.M) or re.search(r"^totals: (\d+)", text, re.M)
            count = int(m.group(1)) if m else 0
            total += count
            cmd = re.search(r"^cmd:\s+(\S+)", text, re.M)
            if cmd and cmd.group(1) == self.binary:
                own = count
        return own, total


def version(argv):
    try:
        out = subprocess.run(argv, capture_output=True, text=True).stdout
        return out.splitlines()[0].strip() if out else "?"
    except OSError:
        return "not found"


def machine_stamp():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(l.split(":", 1)[1].strip() for l in f if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    mem = "?"
    try:
        with open("/proc/meminfo") as f:
            mem = "%.0f GiB" % (int(f.readline().split()[1]) / 1048576)
    except OSError:
        pass
    return "%s; %s cores; %s; Linux %s; %s; %s; Ghostscript %s; %s" % (
        cpu, os.cpu_count(), mem, platform.release(), version(["latex", "--version"]),
        version(["dvips", "--version"])[:30], version(["gs", "--version"]),
        version(["dvipng", "--version"]))


def hidpi_section(jobs, reps):
    """-x 2 and -x 3 against the same runs without -x, interleaved."""
    print("## High-density images (-x)\n")
    print("| formula | plain (ms) | -x 2 (ms) | -x 3 (ms) | -x 2 / plain | -x 3 / plain |")
    print("|---|---:|---:|---:|---:|---:|")
    ratios2, ratios3 = [], []
    for job in jobs[::4]:
        runs = {(): [], ("-x", "2"): [], ("-x", "3"): []}
        for extra in runs:
            job.run_mathrast(extra)  # warm
        for _ in range(reps):
            for extra, times in runs.items():
                times.append(job.run_mathrast(extra))
        plain, two, three = (statistics.median(t) for t in runs.values())
        ratios2.append(two / plain)
        ratios3.append(three / plain)
        print("| %s | %.1f | %.1f | %.1f | %.3f | %.3f |" % (
            job.name, plain * 1e3, two * 1e3, three * 1e3, two / plain, three / plain))
        sys.stdout.flush()
    print("| **median** | | | | **%.3f** | **%.3f** |\n" % (
        statistics.median(ratios2), statistics.median(ratios3)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--reps", type=int, default=5, help="timed runs per formula and program")
    parser.add_argument("--callgrind", type=int, default=3, help="formulas measured with callgrind")
    parser.add_argument("--only", help="run only the formulas whose name contains this")
    parser.add_argument("--hidpi-only", action="store_true",
                        help="run only the comparison of -x 2 and -x 3 with plain runs")
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)
    preload = os.path.join(os.path.dirname(binary), "peak_rss.so")

    jobs_spec = read_corpus(os.path.join(HERE, "formulas.tsv"))
    if args.only:
        jobs_spec = [j for j in jobs_spec if args.only in j[0]]
    root = tempfile.mkdtemp(prefix="mathrast-bench-")
    try:
        jobs = [Job(binary, n, o, f, root) for n, o, f in jobs_spec]
        if args.hidpi_only:
            hidpi_section(jobs, args.reps)
            return
        print("# mathrast benchmark\n")
        print("Machine: " + machine_stamp() + "  ")
        print("Date: %s; %d timed runs per program and formula, interleaved; times in ms (median)\n"
              % (datetime.date.today().isoformat(), args.reps))
        print("| formula | mathrast | floor | peer | mathrast/floor | mathrast/peer | peak RSS (KiB) |")
        print("|---|---:|---:|---:|---:|---:|---:|")
        floor_ratios, peer_ratios, m_all, f_all, p_all, rss_all = [], [], [], [], [], []
        for job in jobs:
            job.run_floor()  # warm the file cache
            job.run_mathrast()
            job.run_peer()
            m, fl, pe = [], [], []
            for _ in range(args.reps):
                m.append(job.run_mathrast())
                fl.append(job.run_floor())
                pe.append(job.run_peer())
            mm, fm, pm = statistics.median(m), statistics.median(fl), statistics.median(pe)
            rss = job.peak_rss_kib(preload)
            floor_ratios.append(mm / fm)
            peer_ratios.append(mm / pm)
            m_all.append(mm), f_all.append(fm), p_all.append(pm), rss_all.append(rss)
            print("| %s | %.1f | %.1f | %.1f | %.3f | %.3f | %d |" % (
                job.name, mm * 1e3, fm * 1e3, pm * 1e3, mm / fm, mm / pm, rss))
            sys.stdout.flush()
        print("| **median** | %.1f | %.1f | %.1f | **%.3f** | **%.3f** | %d |\n" % (
            statistics.median(m_all) * 1e3, statistics.median(f_all) * 1e3,
            statistics.median(p_all) * 1e3, statistics.median(floor_ratios),
            statistics.median(peer_ratios), statistics.median(rss_all)))

        if args.callgrind > 0 and shutil.which("valgrind"):
            print("## Instructions (callgrind)\n")
            print("| formula | mathrast's own process | whole run, children traced | own share |")
            print("|---|---:|---:|---:|")
            for job in jobs[: args.callgrind]:
                own, _ = job.instructions(False)
                own_traced, total = job.instructions(True)
                share = own_traced / total if own_traced and total else float("nan")
                print("| %s | %s | %s | %.2f%% |" % (
                    job.name, format(own, ","), format(total, ","), share * 100))
                sys.stdout.flush()
            print()

        probe = next((j for j in jobs if j.name == "integral_limits"), jobs[0])
        print("## Growth with -r and -s (%s)\n" % probe.name)
        print("| options | mathrast (ms) | peak RSS (KiB) |")
        print("|---|---:|---:|")
        settings = [["-r", str(r)] for r in (100, 200, 400, 800)] + \
                   [["-s", str(s)] for s in (1, 2, 4, 8)]
        for extra in settings:
            times = [probe.run_mathrast(extra) for _ in range(max(3, args.reps // 2))]
            rss = probe.peak_rss_kib(preload, extra)
            print("| %s | %.1f | %d |" % (" ".join(extra), statistics.median(times) * 1e3, rss))
            sys.stdout.flush()
        print()
        hidpi_section(jobs, args.reps)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
