#!/usr/bin/env python3
"""Batch benchmark: mathrast -B against lone runs of the same jobs and a peer.

The corpus is bench/formulas.tsv, made into N distinct jobs (each formula,
then the same with "+1", "+2", ... appended). In one run, side by side:
  batch     mathrast -B on all N jobs;
  lone      mathrast -o for each job, one after another (or a sample of them);
  peer      the same formulas as pages of ONE latex run, then ONE
            dvipng -T tight -D 100 --depth -bg Transparent run;
then where the batch's time goes (latex, dvips, gs on a shared document of
the same pages, the rest being mathrast's own work), and the batch's peak
resident memory at N and at --growth jobs. Prints Markdown.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ENV = dict(os.environ, MKTEXPK="0", MKTEXTFM="0", MKTEXMF="0")


def corpus(count):
    rows = []
    with open(os.path.join(HERE, "formulas.tsv"), encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line and not line.startswith("#"):
                name, options, formula = line.split("\t")
                rows.append((name, options.split(), formula))
    jobs = []
    k = 0
    while len(jobs) < count:
        for name, options, formula in rows:
            if len(jobs) == count:
                break
            text = formula if k == 0 else "%s+%d" % (formula, k)
            jobs.append({"formula": text, "output": "img/%s-%d.png" % (name, k),
                         "options": options, "id": len(jobs)})
        k += 1
    return jobs


def run_batch(binary, jobs, work, preload=None):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "img"))
    data = "".join(json.dumps(j) + "\n" for j in jobs).encode()
    env = dict(ENV)
    record = os.path.join(work, "rss.txt")
    if preload:
        env.update(LD_PRELOAD=preload, BENCH_PEAK_RSS_FILE=record)
    start = time.perf_counter()
    p = subprocess.run([binary, "-B"], input=data, cwd=work, env=env, capture_output=True)
    took = time.perf_counter() - start
    results = [json.loads(l) for l in p.stdout.splitlines()]
    failed = sum(1 for r in results if r["status"] != 0)
    rss = int(open(record).read().split()[0]) if preload else None
    return took, len(results), failed, rss


def run_lone(binary, jobs, work):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "img"))
    start = time.perf_counter()
    for j in jobs:
        subprocess.run([binary] + j["options"] + ["-o", j["output"]], input=j["formula"].encode(),
                       cwd=work, env=ENV, capture_output=True)
    return time.perf_counter() - start


def option(words, flag, default):
    for i, w in enumerate(words[:-1]):
        if w == flag:
            return words[i + 1]
    return default


def shared_document(jobs):
    # The peer gets each job's own environment, and the union of preambles.
    preambles = sorted({option(j["options"], "-p", "") for j in jobs})
    text = "\\nonstopmode\n\\documentclass[12pt]{article}\n\\pagestyle{empty}\n"
    text += "\n".join(preambles) + "\n\\begin{document}\n"
    for i, j in enumerate(jobs):
        env = option(j["options"], "-e", "displaymath")
        text += ("\\setcounter{page}{%d}\\setcounter{equation}{0}\n\\begin{%s}\n.%s\\end{%s}\n"
                 "\\clearpage\n" % (i + 1, env, j["formula"], env))
    return text + "\\end{document}\n"


def timed(argv, cwd, extra_env=None):
    start = time.perf_counter()
    subprocess.run(argv, cwd=cwd, env=dict(ENV, **(extra_env or {})), capture_output=True)
    return time.perf_counter() - start


def peer_and_stages(jobs, work):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    with open(os.path.join(work, "formula.tex"), "w", encoding="utf-8") as f:
        f.write(shared_document(jobs))
    latex = timed(["latex", "formula.tex"], work)
    dvipng = timed(["dvipng", "-q", "-T", "tight", "-D", "100", "--depth", "-bg", "Transparent",
                    "-o", "peer%d.png", "formula.dvi"], work)
    # The box pass, as the batch runs it: every font resident, none copied.
    start = time.perf_counter()
    map_path = subprocess.run(["kpsewhich", "-format=map", "psfonts.map"], env=ENV,
                              capture_output=True, text=True).stdout.strip()
    with open(map_path, encoding="latin-1") as f, \
            open(os.path.join(work, "resident.map"), "w", encoding="latin-1") as out:
        for line in f:
            out.write(line if line.lstrip()[:1] in ("%", "*", "#", ";", "")
                      else " ".join(w for w in line.split() if not w.startswith("<")) + "\n")
    lookup = time.perf_counter() - start
    dvips = lookup + timed(["dvips", "-R2", "-q", "-E", "-i", "-S", "1", "-u", "resident.map",
                            "-o", "page", "formula.dvi"], work, {"TEXFONTMAPS": "."})
    dvips_all = timed(["dvips", "-R2", "-q", "-t", "unknown", "-o", "formula.ps", "formula.dvi"], work)
    pages = sorted(n for n in os.listdir(work) if n.startswith("page"))
    table = "/mr@pages [\n"
    for name in pages:
        with open(os.path.join(work, name), "rb") as f:
            head = f.read(4096).decode("latin-1")
        box = [int(v) for v in head.split("%%BoundingBox:")[1].split("\n")[0].split()]
        w = 4 * ((box[2] - box[0]) * 100 // 72 + 1)
        h = 4 * ((box[3] - box[1]) * 100 // 72 + 1)
        table += "[%r %r %d %d]\n" % (w * 72 / 400, h * 72 / 400, box[0], box[1])
    # One pass over the one file, each page placed from the table as the
    # batch does (which makes two such passes: the image and the mark).
    with open(os.path.join(work, "pages.ps"), "w") as f:
        f.write(table + "] def /mr@n 0 def /bop-hook { mr@pages mr@n get aload pop /mr@n mr@n 1 add def"
                " 4 2 roll 2 array astore << exch /PageSize exch >> setpagedevice"
                " neg exch neg exch translate } def\n")
    argv = ["gs", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pngmono", "-sOutputFile=out%d.png",
            "-r400", "-q", "-f", "pages.ps", "-f", "formula.ps"]
    gs = timed(argv, work)
    return latex, dvipng, dvips + dvips_all, 2 * gs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--jobs", type=int, default=400)
    parser.add_argument("--growth", type=int, default=2000)
    parser.add_argument("--lone-sample", type=int, default=0,
                        help="time lone runs of only this many jobs (0: all)")
    parser.add_argument("--preload", help="peak_rss.so, for the batch's peak memory")
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)
    if args.preload:
        args.preload = os.path.abspath(args.preload)
    root = tempfile.mkdtemp(prefix="mathrast-batch-bench-")
    try:
        jobs = corpus(args.jobs)
        run_batch(binary, jobs[:40], os.path.join(root, "warm"))
        batch, done, failed, rss = run_batch(binary, jobs, os.path.join(root, "batch"), args.preload)
        sample = jobs[: args.lone_sample] if args.lone_sample else jobs
        lone = run_lone(binary, sample, os.path.join(root, "lone"))
        latex, dvipng, dvips, gs = peer_and_stages(jobs, os.path.join(root, "peer"))
        peer = latex + dvipng
        batch_rate = done / batch
        lone_rate = len(sample) / lone
        peer_rate = len(jobs) / peer
        print("# mathrast batch benchmark\n")
        print("%d distinct jobs from bench/formulas.tsv (%d failed in the batch); lone runs timed on %d "
              "of them; one run, side by side.\n" % (len(jobs), failed, len(sample)))
        print("| road | jobs/s | vs lone runs |")
        print("|---|---:|---:|")
        print("| `mathrast -B` | %.1f | **%.1f×** |" % (batch_rate, batch_rate / lone_rate))
        print("| `mathrast -o` per job (lone runs) | %.1f | 1.0× |" % lone_rate)
        print("| peer: one latex run + one `dvipng -T tight -D 100 --depth -bg Transparent` run | %.1f | %.1f× |"
              % (peer_rate, peer_rate / lone_rate))
        print()
        own = max(0.0, batch - (latex + dvips + gs) / 2)
        print("Where the batch's time goes (the same pages as one shared run; the batch runs two "
              "such pieces at once, so the wall time is about half of their sum):\n")
        print("| step | whole run (ms) | per job (ms) |")
        print("|---|---:|---:|")
        for name, seconds in (("latex", latex), ("dvips -E -i (boxes) and dvips (one file)", dvips),
                              ("gs, both passes over all pages (twice one timed pass)", gs)):
            print("| %s | %.0f | %.2f |" % (name, seconds * 1e3, seconds * 1e3 / len(jobs)))
        print("| mathrast's own work and waiting (batch wall time less half the three) | %.0f | %.2f |"
              % (own * 1e3, own * 1e3 / len(jobs)))
        print()
        if args.preload:
            growth, gdone, gfailed, grss = run_batch(binary, corpus(args.growth),
                                                     os.path.join(root, "growth"), args.preload)
            print("| jobs | batch time (s) | jobs/s | peak RSS of mathrast (KiB) |")
            print("|---:|---:|---:|---:|")
            print("| %d | %.1f | %.1f | %d |" % (len(jobs), batch, batch_rate, rss))
            print("| %d | %.1f | %.1f | %d |" % (gdone, growth, gdone / growth, grss))
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
