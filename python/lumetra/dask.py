"""Converting a photo archive on a Dask cluster with the isolation of
`lumetra batch`: every file is converted by the `lumetra` tool in a child
process of the worker, so a decoder crash or hang costs that one file and
never the worker (nor the other tasks it runs).

Dask itself is not imported here: convert_archive only needs a
distributed.Client. Paths must mean the same file on every worker (a
shared file system), and every worker needs this package and the tool.
"""

import os
import re
import shutil
import subprocess

import lumetra

__all__ = ["convert_archive", "find_tool"]

# Measured (bench/dask_archive.py): a task costs a worker thread 3 ms, a
# file 7-9 ms (72 x 72), 80 ms (1.4 MP), 500 ms (12 MP) in its child; 16
# files a task keep scheduling near 2 % of the work even for the tiniest.
GROUP_SIZE = 16
# Enough groups per worker thread that a slow group does not leave the
# others idle at the end.
GROUPS_PER_THREAD = 4

_FORMATS = {"jpg": ".jpg", "jpeg": ".jpeg", "png": ".png", "bmp": ".bmp"}
_SIZE = re.compile(r"^\s*(\d+(?:\.\d+)?)\s*([KMGT]?)(?:i?B)?\s*$", re.IGNORECASE)


def _memory_bytes(size):
    """Bytes of 1234, "512M", "2G" or "1.5GiB" (powers of 1024)."""
    if size is None:
        return None
    if isinstance(size, int) and not isinstance(size, bool):
        value = size
    else:
        match = _SIZE.match(str(size))
        if not match:
            raise ValueError(f"max_memory: not a size: {size!r}")
        value = int(float(match.group(1)) * 1024 ** " KMGT".index(match.group(2).upper() or " "))
    if value <= 0:
        raise ValueError(f"max_memory must be positive: {size!r}")
    return value


def find_tool(tool=None):
    """The `lumetra` tool: tool, else $LUMETRA_TOOL, else on PATH, else
    beside the loaded library (a build directory)."""
    for candidate in (tool, os.environ.get("LUMETRA_TOOL")):
        if candidate:
            found = shutil.which(os.fspath(candidate))
            if not found:
                raise FileNotFoundError(f"lumetra tool not found or not executable: {candidate}")
            return found
    found = shutil.which("lumetra")
    if found:
        return found
    library_dir = os.path.dirname(getattr(lumetra._lib, "_name", "") or "")
    beside = os.path.join(library_dir, "lumetra") if library_dir else ""
    if beside and os.access(beside, os.X_OK):
        return beside
    raise FileNotFoundError("lumetra tool not found: set LUMETRA_TOOL or put it on PATH")


def _record(source, output, outcome, message=""):
    return {"source": source, "output": output, "outcome": outcome, "message": message}


def _remove_abandoned_temp_files(output):
    # The tool's safe output writes ".<name>.lumetra-XXXXXX" beside the
    # target; a killed child can leave one behind.
    target = os.path.realpath(output)
    directory, stem = os.path.dirname(target), "." + os.path.basename(target) + ".lumetra-"
    try:
        names = os.listdir(directory)
    except OSError:
        return
    for name in names:
        if name.startswith(stem):
            try:
                os.remove(os.path.join(directory, name))
            except OSError:
                pass


def _message(stderr, source, own_line_only=False):
    """The tool's one line about source, without the "source: " prefix.

    After a success only that line counts: a codec may have written its own
    (FFmpeg's HEVC decoder, before libde265 took over)."""
    text = stderr.decode("utf-8", "replace").strip()
    prefix = source + ": "
    for line in text.splitlines():
        if line.startswith(prefix):
            return line[len(prefix):]
    return "" if own_line_only else text.replace("\n", " ")


def _convert_one(tool, source, output, options):
    if options["skip_existing"] and os.path.exists(output):
        return _record(source, output, "skipped", "exists")
    if os.path.exists(source):  # else the tool says what is wrong
        if not lumetra.is_heic(source):
            return _record(source, output, "skipped", "not HEIF")
        if os.path.exists(output) and os.path.samefile(source, output):
            return _record(source, output, "failed", "skipped: the output would overwrite the input")
    os.makedirs(os.path.dirname(output) or ".", exist_ok=True)

    command = [tool, "convert", source, output]
    if options["quality"]:
        command += ["-q", str(options["quality"])]
    if not options["metadata"]:
        command.append("--strip")
    if not options["hdr"]:
        command.append("--sdr")
    if options["max_memory"]:
        # RLIMIT_DATA, as `lumetra batch --max-memory` (the address space also
        # holds untouched codec reservations); set by a shell, as preexec_fn is
        # not safe in a worker's threaded process.
        command = ["/bin/sh", "-c", 'ulimit -d "$0" && exec "$@"', str(options["max_memory"] // 1024)] + command
    timeout = options["timeout"] or None
    child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        _, stderr = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        _remove_abandoned_temp_files(output)
        return _record(source, output, "timed out", f"timed out after {timeout:g} s")

    code = child.returncode
    if code == 0:
        warning = _message(stderr, source, own_line_only=True)
        return _record(source, output, "salvaged" if warning else "converted", warning)
    if code < 0:
        _remove_abandoned_temp_files(output)
        return _record(source, output, "crashed", f"crashed (signal {-code})")
    message = _message(stderr, source)
    return _record(source, output, "failed", message or f"crashed (exit {code})")


def _convert_group(jobs, options):
    """Runs on a worker: the group's files one after the other."""
    tool = find_tool(options["tool"])
    return [_convert_one(tool, source, output, options) for source, output in jobs]


def _plan(sources, out_dir, root, suffix):
    """(source, output) pairs mirroring root's tree under out_dir, and
    refusals for outputs another source already takes."""
    sources = [os.path.abspath(os.fsdecode(s)) for s in sources]
    if root is None:
        root = os.path.commonpath([os.path.dirname(s) for s in sources]) if sources else os.sep
    root, out_dir = os.path.abspath(os.fsdecode(root)), os.path.abspath(os.fsdecode(out_dir))
    pairs, taken = [], {}
    for source in sources:
        relative = os.path.relpath(source, root)
        if relative == os.pardir or relative.startswith(os.pardir + os.sep):
            raise ValueError(f"{source} is not under root {root}")
        output = os.path.join(out_dir, os.path.splitext(relative)[0] + suffix)
        first = taken.setdefault(output, source)
        pairs.append((source, output, None if first == source else f"skipped: {first} has the same output"))
    return pairs


def _as_table(records):
    try:
        import pandas
    except ImportError:
        return records
    return pandas.DataFrame.from_records(records, columns=["source", "output", "outcome", "message"])


def convert_archive(client, sources, out_dir, *, root=None, to="jpg", quality=0, metadata=True, hdr=True,
                    timeout=300, max_memory=None, skip_existing=False, tool=None, group_size=None):
    """Converts HEIF files on the workers of a distributed.Client.

    Outputs mirror root's tree (default: the sources' common directory)
    under out_dir, as "<name>.<to>" (jpg, jpeg, png or bmp). quality 0 is
    the tool's default; metadata=False strips ICC, EXIF and XMP; hdr=False
    writes plain JPEGs where a photo has an HDR gain map (the tool's
    --sdr) instead of Ultra HDR JPEGs. timeout
    (seconds, 0 or None for none) and max_memory (bytes or "2G": the
    child's data size, RLIMIT_DATA) bound each file. skip_existing skips files whose
    output exists, so a rerun resumes.

    Returns one record per source, in order: source and output (absolute
    paths), outcome
    ("converted", "salvaged", "skipped", "failed", "crashed" or
    "timed out") and message (what `lumetra batch` prints after the file's
    name, "not HEIF" or "exists" for skipped files, "" for converted ones);
    a pandas DataFrame when pandas is installed, else a list of dicts.
    """
    suffix = _FORMATS.get(str(to).lower().lstrip("."))
    if suffix is None:
        raise ValueError(f"to must be one of {', '.join(_FORMATS)}: {to!r}")
    if timeout is not None and timeout < 0:
        raise ValueError("timeout must not be negative")
    options = {"quality": int(quality), "metadata": bool(metadata), "hdr": bool(hdr), "timeout": timeout,
               "max_memory": _memory_bytes(max_memory), "skip_existing": bool(skip_existing), "tool": tool}

    pairs = _plan(sources, out_dir, root, suffix)
    jobs = [(source, output) for source, output, refusal in pairs if refusal is None]
    if group_size is not None and int(group_size) < 1:
        raise ValueError("group_size must be at least 1")
    if group_size is None:
        threads = max(1, sum(client.nthreads().values()))
        group_size = max(1, min(GROUP_SIZE, len(jobs) // (threads * GROUPS_PER_THREAD)))
    group_size = int(group_size)
    groups = [jobs[i:i + group_size] for i in range(0, len(jobs), group_size)]
    futures = client.map(_convert_group, groups, options=options, pure=False)
    done = iter(record for group in client.gather(futures) for record in group)
    records = [_record(source, output, "failed", refusal) if refusal else next(done)
               for source, output, refusal in pairs]
    return _as_table(records)
