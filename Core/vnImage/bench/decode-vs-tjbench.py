#!/usr/bin/env python3
"""Tile decode beside libjpeg-turbo's own tjbench, on the same tiles, in one run.

Makes sample photos (MakeSampleJpegs, with camera-like grain), cuts 256 x 256 tiles
from them and writes one synthetic tile (vnImage_bench --cut-tiles), then for every
tile and round runs tjbench and vnImage_bench one after the other, both pinned to one
core, the order swapped from round to round and the tiles taken from a different first
one each round. vnImage_bench times the viewer's decode (a new bitmap, the tile's shape
required) and its own baseline (the library's API driven as tjbench drives it) in one
process, in three repetitions each, interleaved at random; their medians count. Per tile it prints the medians over the
rounds, and ratios of speed: tjbench's time over ours (at least 0.95 is the aim), both
as the ratio of the medians and as the median of each round's ratio (a round's two runs
follow each other, so they share the machine's load), and the baseline's time over
ours. Every figure is wall-clock time, as tjbench gives it.

Needs tjbench (Debian package libjpeg-turbo-progs, which scripts/install-deps.sh
installs) and a build with benchmarks (scripts/build.sh build/release, or the
targets vnImage_bench and MakeSampleJpegs).

  decode-vs-tjbench.py [--build build/release] [--cpu 3] [--rounds 5] [--seconds 1]
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

PIXELS = 256 * 256


def run(cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def tjbench_us(cpu, tile, seconds):
    out = run(["taskset", "-c", str(cpu), "tjbench", tile, "-nowrite", "-quiet",
               "-benchtime", str(seconds), "-warmup", str(seconds / 4)])
    # The last table row ends with the decode's megapixels per second.
    rows = [line.split() for line in out.splitlines() if line.strip()]
    return PIXELS / float(rows[-1][-1])


def ours_us(cpu, bench, tile, seconds):
    out = run(["taskset", "-c", str(cpu), bench, "--tile=" + tile, "--benchmark_filter=^BM_DecodeTileFile",
               "--benchmark_min_time=%g" % (seconds / 3), "--benchmark_repetitions=3",
               "--benchmark_enable_random_interleaving=true", "--benchmark_format=json"])
    times = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        assert b["time_unit"] == "ns", b
        times[b["run_name"].split("/")[0]] = b["real_time"] / 1000.0
    return times["BM_DecodeTileFile"], times["BM_DecodeTileFileLibjpegBaseline"]


def load():
    return " ".join("%.1f" % x for x in os.getloadavg())


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="build/release", help="the build folder")
    ap.add_argument("--cpu", type=int, default=3, help="the core both run on")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--seconds", type=float, default=1.0, help="timed seconds of each measurement")
    ap.add_argument("--photos", type=int, default=6, help="sample photos to cut tiles from (two each)")
    args = ap.parse_args()

    if shutil.which("tjbench") is None:
        sys.exit("tjbench is missing: install libjpeg-turbo-progs (scripts/install-deps.sh)")
    bench = os.path.join(args.build, "Core/vnImage/vnImage_bench")
    make_photos = os.path.join(args.build, "App/Tilvex/Tilvexgen/MakeSampleJpegs")
    for program in (bench, make_photos):
        if not os.access(program, os.X_OK):
            sys.exit(program + " is missing: build vnImage_bench and MakeSampleJpegs first")

    work = tempfile.mkdtemp(prefix="decode-vs-tjbench.")
    try:
        photos, tiles = os.path.join(work, "photos"), os.path.join(work, "tiles")
        os.makedirs(os.path.join(photos, "more"))
        os.makedirs(tiles)
        run([make_photos, photos, str(args.photos), "4"])
        photo_files = sorted(os.path.join(d, f) for d, _, fs in os.walk(photos) for f in fs if f.endswith(".jpg"))
        run([bench, "--cut-tiles=" + tiles] + photo_files)
        names = sorted(os.listdir(tiles), key=lambda n: (n != "synthetic.jpg", n))

        print("Pinned to core %d, %d rounds of %g s each, load %s" % (args.cpu, args.rounds, args.seconds, load()))
        results = {n: {"tjbench": [], "ours": [], "baseline": []} for n in names}
        for r in range(args.rounds):
            for n in names[r % len(names):] + names[:r % len(names)]:
                tile = os.path.join(tiles, n)
                steps = ["tjbench", "ours"] if r % 2 == 0 else ["ours", "tjbench"]
                for step in steps:
                    if step == "tjbench":
                        results[n]["tjbench"].append(tjbench_us(args.cpu, tile, args.seconds))
                    else:
                        ours, baseline = ours_us(args.cpu, bench, tile, args.seconds)
                        results[n]["ours"].append(ours)
                        results[n]["baseline"].append(baseline)
            print("  round %d done, load %s" % (r + 1, load()), flush=True)

        print()
        print("Medians in microseconds per 256 x 256 tile; ratios of speed (their time over ours)")
        print("%-22s %9s %9s %9s %12s %12s %12s" % ("tile", "tjbench", "ours", "baseline", "vs tjbench",
                                                    "per round", "vs baseline"))
        ratios, paired = [], []
        for n in names:
            res = results[n]
            tj, ours, base = (statistics.median(res[k]) for k in ("tjbench", "ours", "baseline"))
            per_round = statistics.median(t / o for t, o in zip(res["tjbench"], res["ours"]))
            ratios.append(tj / ours)
            paired.append(per_round)
            print("%-22s %9.1f %9.1f %9.1f %12.3f %12.3f %12.3f" % (n, tj, ours, base, tj / ours, per_round,
                                                                    base / ours))
        print("Ratio to tjbench: lowest %.3f, median %.3f; per round: lowest %.3f, median %.3f (aim: 0.95 or more)"
              % (min(ratios), statistics.median(ratios), min(paired), statistics.median(paired)))
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
