"""lumetra.dask.convert_archive: a crash or a hang in a file's conversion
costs that file and never a worker; every other file converts."""

import logging
import os
import pathlib
import signal

import pytest

import lumetra
import lumetra.dask as archive
from test_lumetra import image_size, write_png

SIZES = [(48, 32), (40, 24)]


@pytest.fixture(scope="module")
def photos(tmp_path_factory):
    """HEIF bytes of each picture size."""
    tmp = tmp_path_factory.mktemp("photos")
    made = {}
    for width, height in SIZES:
        write_png(tmp / "src.png", width, height)
        assert lumetra.from_image(tmp / "src.png", tmp / "photo.heic", 80)
        made[(width, height)] = (tmp / "photo.heic").read_bytes()
    return made


@pytest.fixture
def deadline():
    """Fails the test instead of letting it hang."""
    def expired(*_):
        raise TimeoutError("the test ran past its deadline")
    previous = signal.signal(signal.SIGALRM, expired)
    signal.alarm(120)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


def rows(result):
    return result.to_dict("records") if hasattr(result, "to_dict") else result


def files_under(directory):
    return sorted(str(p.relative_to(directory)) for p in pathlib.Path(directory).rglob("*") if p.is_file())


def test_crash_and_hang_cost_one_file_each_and_no_worker(photos, tmp_path, deadline):
    distributed = pytest.importorskip("distributed")
    shim, tool = os.environ.get("LUMETRA_FAULT_SHIM"), os.environ.get("LUMETRA_TOOL")
    if not shim or not tool:
        pytest.skip("LUMETRA_FAULT_SHIM and LUMETRA_TOOL come from ctest")

    # (name under IN, picture size or None for other bytes, outcome, message;
    # a message ending in ": " is the start of the library's text)
    table = [
        ("a.heic", (48, 32), "converted", ""),
        ("b-CRASH.heic", (48, 32), "crashed", "crashed (signal 11)"),
        ("c.heic", (40, 24), "converted", ""),
        ("notes.txt", None, "skipped", "not HEIF"),
        ("missing.heic", "absent", "failed", "Failed to read HEIC file '{in}/missing.heic': "),
        ("sub/d-HANG.heic", (40, 24), "timed out", "timed out after 2 s"),
        ("sub/e.heic", (40, 24), "converted", ""),
        ("sub/e.hif", (48, 32), "failed", "skipped: {in}/sub/e.heic has the same output"),
        ("sub/deeper/f.heic", (48, 32), "converted", ""),
    ] + [(f"sub/g{i}.heic", SIZES[i % 2], "converted", "") for i in range(5)]
    indir, out = tmp_path / "in", tmp_path / "out"
    for name, size, _, _ in table:
        path = indir / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if size != "absent":
            path.write_bytes(photos[size] if size else b"plain text, not a picture")
    sources = [indir / name for name, *_ in table]
    expected_out = sorted(name.rsplit(".", 1)[0] + ".jpg" for name, _, outcome, _ in table if outcome == "converted")

    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1, dashboard_address=None,
                                  env={"LD_PRELOAD": shim}, silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster) as client:
        workers = client.run(os.getpid)
        assert len(workers) == 2

        got = rows(archive.convert_archive(client, sources, out, root=indir, timeout=2, group_size=3))
        assert [r["source"] for r in got] == [str(s) for s in sources]
        for (name, size, outcome, message), record in zip(table, got):
            message = message.format(**{"in": indir})
            assert record["output"] == str(out / name.rsplit(".", 1)[0]) + ".jpg"
            assert record["outcome"] == outcome, (name, record)
            if message.endswith(": "):
                assert record["message"].startswith(message), record
            else:
                assert record["message"] == message, record
            if outcome == "converted":
                assert image_size(record["output"]) == size, name
        # Nothing else written: no output of a failed file, no temporary file.
        assert files_under(out) == expected_out

        # A rerun resumes: written files stay as they are, the rest is tried again.
        def identity(name):  # a replaced file has a new inode
            st = os.stat(out / name)
            return st.st_ino, st.st_mtime_ns

        before = {name: identity(name) for name in expected_out}
        again = [s for s in sources if "HANG" not in s.name]
        got = rows(archive.convert_archive(client, again, out, root=indir, timeout=2, skip_existing=True))
        outcomes = {pathlib.Path(r["source"]).name: (r["outcome"], r["message"]) for r in got}
        assert outcomes["b-CRASH.heic"] == ("crashed", "crashed (signal 11)")
        assert outcomes["notes.txt"] == ("skipped", "not HEIF")
        for name in expected_out:
            assert outcomes[pathlib.Path(name).stem + ".heic"] == ("skipped", "exists")
            assert identity(name) == before[name]

        # No worker died, none was replaced.
        assert client.run(os.getpid) == workers
        assert set(client.scheduler_info()["workers"]) == set(workers) and len(cluster.workers) == 2


class SerialClient:
    """What convert_archive asks of a distributed.Client, run in this process."""

    def nthreads(self):
        return {"local": 1}

    def map(self, fn, groups, pure=True, **kwargs):
        return [fn(group, **kwargs) for group in groups]

    def gather(self, results):
        return results


FAKE_TOOL = """#!/bin/sh
# convert IN OUT [options]: answers as the tool would, by IN's name
case "$2" in
  *salvaged*) echo "$2: 3 hidden images dropped (Invalid input: No 'hvcC' box)" >&2 ;;
  *codec-noise*) echo "[hevc @ 0x5598] PPS changed between slices." >&2 ;;
  *refused*) echo "lumetra: noise" >&2; echo "$2: Failed to read HEIC file" >&2; exit 1 ;;
  *silent*) exit 3 ;;
  *abort*) kill -ABRT $$ ;;
  *) echo "$2: $(ulimit -d) $*" >&2; exit 1 ;;
esac
"""


def test_the_tools_answers_become_records(photos, tmp_path):
    tool = tmp_path / "fake-lumetra"
    tool.write_text(FAKE_TOOL)
    tool.chmod(0o755)
    (tmp_path / "in").mkdir()
    # (source name, options, outcome, message)
    table = [
        ("salvaged.heic", {}, "salvaged", "3 hidden images dropped (Invalid input: No 'hvcC' box)"),
        ("codec-noise.heic", {}, "converted", ""),
        ("refused.heic", {}, "failed", "Failed to read HEIC file"),
        ("silent.heic", {}, "failed", "crashed (exit 3)"),
        ("abort.heic", {"max_memory": 1 << 30}, "crashed", "crashed (signal 6)"),
        ("args.heic", {"quality": 70, "metadata": False, "max_memory": "1.5G"},
         "failed", "1572864 convert {in} {out} -q 70 --strip"),
        ("args.heic", {"hdr": False}, "failed", "unlimited convert {in} {out} --sdr"),
        ("args.heic", {"metadata": False, "hdr": False}, "failed", "unlimited convert {in} {out} --strip --sdr"),
        ("args.heic", {"to": "PNG", "max_memory": "64MiB"}, "failed", "65536 convert {in} {out}"),
        ("args.heic", {"to": "bmp"}, "failed", "unlimited convert {in} {out}"),
    ]
    for name, options, outcome, message in table:
        source = tmp_path / "in" / name
        source.write_bytes(photos[SIZES[0]])
        (record,) = rows(archive.convert_archive(SerialClient(), [source], tmp_path / "out", tool=tool, **options))
        output = tmp_path / "out" / (source.stem + "." + options.get("to", "jpg").lower())
        want = {"source": str(source), "output": str(output), "outcome": outcome,
                "message": message.format(**{"in": source, "out": output})}
        assert record == want

    # Refused before any work.
    source = tmp_path / "in" / "args.heic"
    for options, text in [({"to": "gif"}, "to must be one of"), ({"max_memory": "lots"}, "not a size"),
                          ({"max_memory": 0}, "must be positive"), ({"timeout": -1}, "must not be negative"),
                          ({"root": tmp_path / "elsewhere"}, "is not under root"),
                          ({"group_size": 0}, "at least 1")]:
        with pytest.raises(ValueError, match=text):
            archive.convert_archive(SerialClient(), [source], tmp_path / "out", tool=tool, **options)
    with pytest.raises(FileNotFoundError, match="lumetra tool not found"):
        archive.convert_archive(SerialClient(), [source], tmp_path / "out", tool=tmp_path / "nothing")
