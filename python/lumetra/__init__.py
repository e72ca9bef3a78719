"""Python binding for morvanta-lumetra (ctypes, no compiled extension).

Paths may be str, bytes or os.PathLike; they reach the library as the file
system's own bytes. Calls that fail raise LumetraError carrying the
library's last-error text. The binding is thread-safe: each thread has its
own last-error text and report, and ctypes releases the GIL during each
library call, so threads run conversions in parallel (see convert_many).
"""

import concurrent.futures
import ctypes
import ctypes.util
import json
import os

__all__ = [
    "LumetraError", "init", "cleanup", "last_error", "is_heic", "to_jpg", "to_png", "to_bmp",
    "to_image", "from_image", "info", "thumbnail", "exif", "batch", "convert", "convert_many",
    "KEEP_ICC", "KEEP_EXIF", "KEEP_XMP", "KEEP_METADATA", "UPRIGHT", "KEEP_DEPTH", "KEEP_HDR",
    "ALL_IMAGES", "WITH_AUX", "HDR_PNG", "info_detail", "convert_image",
]

KEEP_ICC = 0x01
KEEP_EXIF = 0x02
KEEP_XMP = 0x04
KEEP_METADATA = 0x07
UPRIGHT = 0x08
KEEP_DEPTH = 0x10
KEEP_HDR = 0x80
ALL_IMAGES = 0x100
WITH_AUX = 0x200
HDR_PNG = 0x400


class LumetraError(RuntimeError):
    """A library call failed; str(error) is the library's message."""


def _load():
    candidates = []
    if os.environ.get("LUMETRA_LIBRARY"):
        candidates.append(os.environ["LUMETRA_LIBRARY"])
    found = ctypes.util.find_library("morvanta-lumetra")
    if found:
        candidates.append(found)
    candidates.append("libmorvanta-lumetra.so.1")
    errors = []
    for name in candidates:
        try:
            return ctypes.CDLL(name)
        except OSError as exc:
            errors.append(f"{name}: {exc}")
    raise OSError("cannot load morvanta-lumetra: " + "; ".join(errors))


_lib = _load()

_c_path = ctypes.c_char_p
_SIGNATURES = {
    "lumetra_init": ([], ctypes.c_int),
    "lumetra_cleanup": ([], None),
    "lumetra_last_error": ([], ctypes.c_char_p),
    "lumetra_is_heic": ([_c_path], ctypes.c_int),
    "lumetra_to_jpg": ([_c_path, _c_path, ctypes.c_int], ctypes.c_int),
    "lumetra_to_png": ([_c_path, _c_path], ctypes.c_int),
    "lumetra_to_bmp": ([_c_path, _c_path], ctypes.c_int),
    "lumetra_to_image": ([_c_path, _c_path], ctypes.c_int),
    "lumetra_from_image": ([_c_path, _c_path, ctypes.c_int], ctypes.c_int),
    "lumetra_info": ([_c_path], ctypes.c_char_p),
    "lumetra_thumbnail": ([_c_path, _c_path], ctypes.c_int),
    "lumetra_exif": ([_c_path], ctypes.c_char_p),
    "lumetra_batch": ([_c_path, _c_path, ctypes.c_int, ctypes.c_int], ctypes.c_int),
    "lumetra_convert": ([_c_path, _c_path, ctypes.c_int, ctypes.c_int], ctypes.c_int),
    "lumetra_convert_image": ([_c_path, ctypes.c_int, _c_path, ctypes.c_int, ctypes.c_int], ctypes.c_int),
    "lumetra_info_detail": ([_c_path], ctypes.c_char_p),
}
for _name, (_args, _result) in _SIGNATURES.items():
    _fn = getattr(_lib, _name)
    _fn.argtypes = _args
    _fn.restype = _result


def _path(p):
    return os.fsencode(p)


def last_error():
    """The library's last-error text ("" after a successful call)."""
    return os.fsdecode(_lib.lumetra_last_error())


def _check(ok):
    if not ok:
        raise LumetraError(last_error())
    return True


def init():
    return _lib.lumetra_init() == 1


def cleanup():
    _lib.lumetra_cleanup()


def is_heic(path):
    """True when the file's first bytes say HEIF/HEIC. Never raises for bad paths."""
    return _lib.lumetra_is_heic(_path(path)) != 0


def to_jpg(src, dst, quality=90):
    return _check(_lib.lumetra_to_jpg(_path(src), _path(dst), int(quality)))


def to_png(src, dst):
    return _check(_lib.lumetra_to_png(_path(src), _path(dst)))


def to_bmp(src, dst):
    return _check(_lib.lumetra_to_bmp(_path(src), _path(dst)))


def to_image(src, dst):
    """Format by dst's extension: .jpg/.jpeg JPEG, .bmp BMP, else PNG."""
    return _check(_lib.lumetra_to_image(_path(src), _path(dst)))


def from_image(src, dst, quality=85):
    return _check(_lib.lumetra_from_image(_path(src), _path(dst), int(quality)))


def thumbnail(src, dst):
    return _check(_lib.lumetra_thumbnail(_path(src), _path(dst)))


def _report(text):
    if text is None:
        raise LumetraError(last_error())
    return json.loads(text.decode("utf-8"))


def info(path):
    """The primary image's facts as a dict (width, height, bit_depth, ...)."""
    return _report(_lib.lumetra_info(_path(path)))


def info_detail(path):
    """Every top-level image of the file with its transformations, colour
    profile, thumbnails, auxiliary images, gain map and metadata, the
    brands and whether a salvage read was needed, as a dict (docs/detail-schema.md
    describes its "schema" 1)."""
    return _report(_lib.lumetra_info_detail(_path(path)))


def exif(path):
    """The EXIF summary as a dict; {"ExifPresent": False} when there is none."""
    return _report(_lib.lumetra_exif(_path(path)))


def batch(in_dir, out_dir, png=False, quality=90):
    """Convert every HEIF file of in_dir; returns how many were converted."""
    count = _lib.lumetra_batch(_path(in_dir), _path(out_dir), 1 if png else 0, int(quality))
    if count < 0:
        raise LumetraError(last_error())
    return count


def _convert_args(quality=0, metadata=True, upright=True, deep=False, hdr=True, all_images=False, aux=False,
                  hdr_png=False):
    flags = ((KEEP_METADATA if metadata else 0) | (UPRIGHT if upright else 0) | (KEEP_DEPTH if deep else 0)
             | (KEEP_HDR if hdr else 0) | (ALL_IMAGES if all_images else 0) | (WITH_AUX if aux else 0)
             | (HDR_PNG if hdr_png else 0))
    return int(quality), flags


def convert(src, dst, quality=0, metadata=True, upright=True, deep=False, hdr=True, all_images=False, aux=False,
            hdr_png=False):
    """Faithful conversion by dst's extension (.jpg/.jpeg/.png/.bmp from HEIF,
    .heic/.heif/.hif/.avif from a raster file): keeps colour profile, EXIF and
    XMP unless metadata is False, turns raster sources upright by their EXIF
    Orientation unless upright is False, writes 16-bit PNG from deep HEIF
    files when deep is True, and writes a photo with an HDR gain map as an
    Ultra HDR JPEG unless hdr is False. hdr_png writes a .png of an HDR
    photo (gain map, PQ or HLG) as its HDR rendition in 16-bit BT.2100 PQ
    with cICP and cLLI chunks (an SDR photo: the ordinary PNG). all_images
    writes every top-level image as dst's stem + "-1", "-2", ... + its
    extension; aux writes each
    written image's auxiliary images (depth, mattes, gain map, ...) as
    greyscale PNG named its stem + "-" + kind + ".png"."""
    return _check(_lib.lumetra_convert(_path(src), _path(dst),
                                       *_convert_args(quality, metadata, upright, deep, hdr, all_images, aux,
                                                      hdr_png)))


def convert_image(src, dst, image=0, aux=None, quality=0, metadata=True, deep=False, hdr=True, hdr_png=False):
    """One picture of a HEIF file: top-level image `image` (file order, 0 the
    first), or its auxiliary image number `aux` (alpha not counted) as PNG."""
    selector = int(image) if aux is None else ((int(aux) + 1) << 16) | int(image)
    quality, flags = _convert_args(quality, metadata, True, deep, hdr, hdr_png=hdr_png)
    return _check(_lib.lumetra_convert_image(_path(src), selector, _path(dst), quality, flags & ~UPRIGHT))


def convert_many(pairs, threads=None, **options):
    """convert(src, dst, **options) for each (src, dst) pair, on `threads`
    threads (default os.cpu_count()). Returns a list in the order of pairs:
    None where the conversion succeeded, else its error text (the message
    convert would raise). Single failures never raise; unknown options and
    paths that are not str, bytes or os.PathLike raise TypeError before any
    file is converted."""
    quality, flags = _convert_args(**options)
    jobs = [(_path(src), _path(dst)) for src, dst in pairs]
    threads = (os.cpu_count() or 1) if threads is None else int(threads)
    if threads < 1:
        raise ValueError("threads must be at least 1")

    def one(job):
        return None if _lib.lumetra_convert(job[0], job[1], quality, flags) else last_error()

    if threads == 1 or len(jobs) <= 1:
        return [one(job) for job in jobs]
    with concurrent.futures.ThreadPoolExecutor(min(threads, len(jobs))) as pool:
        return list(pool.map(one, jobs))
