#!/usr/bin/env python3
"""lumetra.dask.convert_archive on a 2-worker LocalCluster (1 thread each)
against `lumetra batch -j 2`: files per second on 48 copies of a 12 MP
phone photo (JPEG, metadata kept, as both do by default), whole runs
alternating, medians of the rounds. Then what a Dask task costs (empty
tasks) against the work of a group, and convert_archive by group size on a
1.4 MP and a 72 x 72 photo against the same child processes on a plain
2-thread pool.
Usage: bench/dask_archive.py [ROUNDS] [BUILD_DIR] (default 5, build).
Needs ../shared/corpus and python3-distributed."""

import concurrent.futures
import logging
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "corpus" / "heif"
BIG = CORPUS / "grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic"
# (label, photo, copies, group sizes)
SMALL = [("1.4 MP", CORPUS / "nokia-single-1440x960-thumb-noexif.heic", 48, (1, 2, 4, 8)),
         ("72 x 72", CORPUS / "noalpha-72x72-thumb64.heic", 192, (1, 4, 8, 16))]
COPIES = 48

rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
build = ROOT / (sys.argv[2] if len(sys.argv) > 2 else "build")
for photo in [BIG] + [row[1] for row in SMALL]:
    if not photo.is_file():
        sys.exit(f"dask bench: {photo} not found")
subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
subprocess.run(["cmake", "--build", build, "-j", str(os.cpu_count() or 1), "--target", "morvanta-lumetra", "lumetra"],
               check=True, stdout=subprocess.DEVNULL)
os.environ["LUMETRA_LIBRARY"] = str(build / "libmorvanta-lumetra.so.1")
os.environ["LUMETRA_TOOL"] = str(build / "lumetra")
os.environ["PYTHONPATH"] = str(ROOT / "python")  # for the workers
sys.path.insert(0, str(ROOT / "python"))

import distributed  # noqa: E402
import lumetra.dask as archive  # noqa: E402


def copies(work, photo, count=COPIES):
    folder = work / photo.stem
    folder.mkdir()
    for i in range(count):
        shutil.copyfile(photo, folder / f"photo{i:02d}.heic")
    return folder, sorted(folder.iterdir())


def timed(run, out):
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir()
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def checked(records):
    bad = [r for r in records if r["outcome"] != "converted"]
    if bad:
        sys.exit(f"dask bench: {bad[0]}")


def pool_run(sources, out):
    """The same children as convert_archive, two at a time, no scheduler."""
    tool, options = archive.find_tool(), {"quality": 0, "metadata": True, "timeout": 300, "max_memory": None,
                                          "skip_existing": False}
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        checked(list(pool.map(lambda s: archive._convert_one(tool, str(s), str(out / (s.stem + ".jpg")), options),
                              sources)))


def empty_task_ms(client, tasks=400):
    """Wall time per task of tasks that do nothing, per worker thread."""
    groups = [[(f"/archive/photo{i:06d}-{j}.heic", f"/out/photo{i:06d}-{j}.jpg") for j in range(4)]
              for i in range(tasks)]
    start = time.perf_counter()
    client.gather(client.map(len, groups, pure=False))
    return (time.perf_counter() - start) * 1000 / tasks * sum(client.nthreads().values())


def main():
    with tempfile.TemporaryDirectory() as tmp, \
            distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1, dashboard_address=None,
                                     silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster) as client:
        work = pathlib.Path(tmp)
        out = work / "out"
        big_dir, big = copies(work, BIG)
        tool = os.environ["LUMETRA_TOOL"]

        def batch(folder):
            return lambda: subprocess.run([tool, "batch", folder, out, "-j", "2"], check=True, capture_output=True)

        def dask(sources, group_size=None):
            return lambda: checked(archive.convert_archive(client, sources, out, group_size=group_size))

        runs = {"batch": batch(big_dir), "dask": dask(big)}
        times = {name: [] for name in runs}
        for _ in range(rounds):
            for name, run in runs.items():
                times[name].append(timed(run, out))
        b, d = statistics.median(times["batch"]), statistics.median(times["dask"])
        print(f"{COPIES} x 12 MP, median of {rounds}:")
        print(f"  lumetra batch -j 2           {b:6.2f} s  {COPIES / b:5.2f} files/s")
        print(f"  convert_archive, 2 workers   {d:6.2f} s  {COPIES / d:5.2f} files/s  ratio dask/batch {d / b:.2f}")

        task_ms = statistics.median(empty_task_ms(client) for _ in range(rounds))
        print(f"one empty task costs a worker thread {task_ms:.1f} ms (median of {rounds})")
        for label, photo, count, group_sizes in SMALL:
            _, small = copies(work, photo, count)
            runs = {"pool": lambda: pool_run(small, out)}
            for g in group_sizes:
                runs[f"group {g}"] = dask(small, g)
            times = {name: [] for name in runs}
            for _ in range(rounds):
                for name, run in runs.items():
                    times[name].append(timed(run, out))
            pool = statistics.median(times["pool"])
            file_ms = pool * 1000 * 2 / count
            print(f"{count} x {label}, median of {rounds}: one file {file_ms:.0f} ms in a worker thread")
            print(f"  thread pool of 2, no Dask    {pool:6.2f} s  {count / pool:6.2f} files/s")
            for g in group_sizes:
                t = statistics.median(times[f"group {g}"])
                print(f"  convert_archive, group {g:<2}   {t:6.2f} s  {count / t:6.2f} files/s  "
                      f"{100 * (t / pool - 1):+5.1f} % against the pool; a task "
                      f"{100 * task_ms / (g * file_ms):4.1f} % of its group's work")


if __name__ == "__main__":
    main()
