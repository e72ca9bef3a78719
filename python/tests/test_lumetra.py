import os
import pathlib
import struct
import zlib

import pytest

import lumetra


def write_png(path, width, height):
    """A small RGB gradient PNG, written without any imaging library."""
    rows = b"".join(
        b"\x00" + bytes(v for x in range(width) for v in (x * 4 % 256, y * 5 % 256, 128))
        for y in range(height)
    )

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    pathlib.Path(path).write_bytes(
        b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


@pytest.fixture
def heif(tmp_path):
    png = tmp_path / "src.png"
    write_png(png, 48, 32)
    out = tmp_path / "photo.heic"
    assert lumetra.from_image(png, out, 80) is True
    return out


def test_round_trip_and_reports(heif, tmp_path):
    assert lumetra.is_heic(heif)
    assert lumetra.is_heic(str(heif))
    assert not lumetra.is_heic(tmp_path / "src.png")
    assert not lumetra.is_heic(tmp_path / "missing")

    assert lumetra.info(heif) == {
        "width": 48, "height": 32, "bit_depth": 8, "has_alpha": False, "has_thumbnail": False,
        "color_space": "YCbCr", "exif": False, "image_count": 1,
    }
    assert lumetra.exif(heif) == {"ExifPresent": False}

    for name in ("a.jpg", "a.png", "a.bmp"):
        assert lumetra.to_image(heif, tmp_path / name)
        assert (tmp_path / name).stat().st_size > 0
    assert lumetra.to_jpg(heif, tmp_path / "q.jpg", quality=40)
    assert lumetra.to_png(str(heif), str(tmp_path / "b.png"))
    assert lumetra.to_bmp(os.fsencode(heif), os.fsencode(tmp_path / "b.bmp"))
    assert lumetra.thumbnail(heif, tmp_path / "t.jpg")
    assert lumetra.last_error() == ""


def test_failures_raise_with_the_library_message(tmp_path):
    with pytest.raises(lumetra.LumetraError) as err:
        lumetra.to_png(tmp_path / "missing.heic", tmp_path / "x.png")
    assert str(err.value).startswith("Failed to read HEIC file '")
    assert not (tmp_path / "x.png").exists()

    with pytest.raises(lumetra.LumetraError, match="^Invalid null file path for lumetra_info$"):
        lumetra.info("")
    with pytest.raises(lumetra.LumetraError, match="can't fopen"):
        lumetra.from_image(tmp_path / "missing.png", tmp_path / "x.heic")
    with pytest.raises(lumetra.LumetraError, match="^Failed opening input directory$"):
        lumetra.batch(tmp_path / "nodir", tmp_path)


def test_batch_and_non_utf8_names(heif, tmp_path):
    indir = tmp_path / "in"
    outdir = tmp_path / "out"
    indir.mkdir()
    outdir.mkdir()
    (indir / "one.heic").write_bytes(heif.read_bytes())
    odd = os.path.join(os.fsencode(indir), b"caf\xe9.heic")  # not UTF-8
    with open(odd, "wb") as f:
        f.write(heif.read_bytes())
    (indir / "notes.txt").write_text("not an image")
    assert lumetra.batch(indir, outdir, png=True) == 2
    assert sorted(os.listdir(os.fsencode(outdir))) == [b"caf\xe9.png", b"one.png"]
    assert lumetra.info(odd)["width"] == 48


def test_state_calls():
    assert lumetra.init() is True
    lumetra.cleanup()
    assert lumetra.last_error() == ""


def test_convert_both_ways_and_its_failures(heif, tmp_path):
    jpg = tmp_path / "faithful.jpg"
    assert lumetra.convert(heif, jpg) is True
    assert jpg.read_bytes()[:2] == b"\xff\xd8"
    back = tmp_path / "back.heic"
    assert lumetra.convert(tmp_path / "src.png", back, quality=60, metadata=False, upright=False) is True
    assert lumetra.info(back)["width"] == 48
    with pytest.raises(lumetra.LumetraError, match="Unsupported output extension '.gif'"):
        lumetra.convert(heif, tmp_path / "x.gif")
    with pytest.raises(lumetra.LumetraError, match="Failed to read HEIC file"):
        lumetra.convert(tmp_path / "src.png", tmp_path / "x.jpg")
