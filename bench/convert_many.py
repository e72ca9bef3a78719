#!/usr/bin/env python3
"""Files per second of the Python binding's convert_many at threads=1 and 2,
next to `lumetra batch -j 2`, on 16 copies of each of two 12 MP phone photos
(JPEG q90 with metadata, as both do by default); whole runs alternate and
each figure is the median of the rounds.
Usage: bench/convert_many.py [ROUNDS] (default 5). Needs ../shared/corpus."""

import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
PHOTOS = ["grid12mp-iphoneXR-thumb-exifMM.heic", "grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic"]
COPIES = 16

rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
corpus = ROOT.parent / "shared" / "corpus" / "heif"
for name in PHOTOS:
    if not (corpus / name).is_file():
        sys.exit(f"convert_many bench: {corpus / name} not found")
build = ROOT / "build"
subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
subprocess.run(["cmake", "--build", build, "-j", str(os.cpu_count() or 1), "--target", "morvanta-lumetra", "lumetra"],
               check=True, stdout=subprocess.DEVNULL)
os.environ["LUMETRA_LIBRARY"] = str(build / "libmorvanta-lumetra.so.1")
sys.path.insert(0, str(ROOT / "python"))
import lumetra  # noqa: E402  (after LUMETRA_LIBRARY names this build's library)


def fresh(out):
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir()


def many(threads, indir, out):
    fresh(out)
    pairs = [(src, out / (src.stem + ".jpg")) for src in sorted(indir.iterdir())]
    errors = lumetra.convert_many(pairs, threads=threads)
    if any(errors):
        sys.exit(f"convert_many failed: {errors}")


def batch(indir, out):
    fresh(out)
    subprocess.run([build / "lumetra", "batch", indir, out, "-j", "2"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


runs = {"convert_many threads=1": lambda i, o: many(1, i, o),
        "convert_many threads=2": lambda i, o: many(2, i, o),
        "lumetra batch -j 2": batch}
with tempfile.TemporaryDirectory() as work:
    work = pathlib.Path(work)
    for name in PHOTOS:
        indir, out = work / "in", work / "out"
        fresh(indir)
        for i in range(COPIES):
            shutil.copyfile(corpus / name, indir / f"photo{i:02d}.heic")
        seconds = {label: [] for label in runs}
        for _ in range(rounds):
            for label, run in runs.items():
                start = time.perf_counter()
                run(indir, out)
                seconds[label].append(time.perf_counter() - start)
                if len(list(out.iterdir())) != COPIES:
                    sys.exit(f"{label}: {len(list(out.iterdir()))} outputs, not {COPIES}")
        print(f"{name}, {COPIES} copies, median of {rounds}")
        for label, times in seconds.items():
            median = statistics.median(times)
            print(f"  {label:24s} {median:6.2f} s  {COPIES / median:5.2f} files/s"
                  f"  (runs {' '.join(f'{t:.2f}' for t in times)})")
