import os
import pathlib
import shutil
import struct
import threading
import zlib

import pytest

import lumetra


def gradient(width, height):
    return [bytes(v for x in range(width) for v in (x * 4 % 256, y * 5 % 256, 128)) for y in range(height)]


def write_png(path, width, height):
    """A small RGB gradient PNG, written without any imaging library."""
    rows = b"".join(b"\x00" + row for row in gradient(width, height))

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
    assert lumetra.convert(tmp_path / "src.png", tmp_path / "x.jpg") is True
    assert (tmp_path / "x.jpg").read_bytes()[:2] == b"\xff\xd8"
    (tmp_path / "not-an-image.txt").write_bytes(b"not an image\n")
    with pytest.raises(lumetra.LumetraError, match="Failed loading source image"):
        lumetra.convert(tmp_path / "not-an-image.txt", tmp_path / "x.png")


def read_png(path):
    """(width, height, rows of RGB/RGBA bytes) of an 8-bit PNG, decoded here."""
    data = pathlib.Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat = 8, b""
    while pos < len(data):
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + size]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour in (2, 6) and interlace == 0
        elif kind == b"IDAT":
            idat += body
        pos += 12 + size
    bpp = 3 if colour == 2 else 4
    raw, stride, rows, prev = zlib.decompress(idat), width * bpp, [], bytes(width * bpp)
    for y in range(height):
        filt, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            paeth = a if pa <= pb and pa <= pc else b if pb <= pc else c
            line[i] = (line[i] + (0, a, b, (a + b) // 2, paeth)[filt]) & 0xFF
        rows.append(bytes(line))
        prev = line
    return width, height, rows


def image_size(path):
    """(width, height) from a PNG's IHDR or a JPEG's SOF segment."""
    data = pathlib.Path(path).read_bytes()
    if data[:8] == b"\x89PNG\r\n\x1a\n":
        return struct.unpack(">II", data[16:24])
    assert data[:2] == b"\xff\xd8"
    pos = 2
    while True:
        assert data[pos] == 0xFF
        marker, size = struct.unpack(">BH", data[pos + 1:pos + 4])
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            height, width = struct.unpack(">HH", data[pos + 5:pos + 9])
            return width, height
        pos += 2 + size


def exif_app1(make, model):
    """A JPEG APP1 segment with a big-endian EXIF block: Make, Model, Orientation 1."""
    strings = [(0x010F, make.encode() + b"\0"), (0x0110, model.encode() + b"\0")]
    data_at = 8 + 2 + 12 * 3 + 4
    ifd, data = b"", b""
    for tag, value in strings:
        ifd += struct.pack(">HHII", tag, 2, len(value), data_at + len(data))
        data += value
    ifd += struct.pack(">HHIHH", 0x0112, 3, 1, 1, 0)
    body = b"Exif\0\0MM\0\x2a" + struct.pack(">IH", 8, 3) + ifd + b"\0\0\0\0" + data
    return b"\xff\xe1" + struct.pack(">H", len(body) + 2) + body


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    """A plain 48 x 32 HEIF, a 200 x 168 one with EXIF and a thumbnail, a PNG."""
    tmp = tmp_path_factory.mktemp("sources")
    write_png(tmp / "raster.png", 48, 32)
    assert lumetra.from_image(tmp / "raster.png", tmp / "plain.heic", 80)
    write_png(tmp / "big.png", 200, 168)
    assert lumetra.from_image(tmp / "big.png", tmp / "big.heic", 95)
    assert lumetra.convert(tmp / "big.heic", tmp / "big.jpg", quality=95)
    jpg = (tmp / "big.jpg").read_bytes()
    (tmp / "exif.jpg").write_bytes(jpg[:2] + exif_app1("Morvanta", "Model 200") + jpg[2:])
    assert lumetra.convert(tmp / "exif.jpg", tmp / "exif.heic", quality=80)
    return {"plain": tmp / "plain.heic", "exif": tmp / "exif.heic", "raster": tmp / "raster.png",
            "missing": tmp / "missing.heic"}


def test_convert_many_equals_single_calls(sources, tmp_path):
    # (source, output, picture size or a fragment of the failure text)
    table = [
        ("plain", "plain.jpg", (48, 32)),
        ("exif", "exif.png", (200, 168)),
        ("missing", "missing.jpg", "Failed to read HEIC file '" + str(sources["missing"]) + "'"),
        ("exif", "exif.jpg", (200, 168)),
        ("plain", "plain.gif", "Unsupported output extension '.gif'"),
        ("plain", "plain.png", (48, 32)),
        ("raster", "raster.jpg", (48, 32)),
        ("exif", "nodir/exif.png", "Failed writing"),
        ("exif", "exif.jpeg", (200, 168)),
    ] * 3
    pairs = [(sources[src], tmp_path / f"{i}-{out}") for i, (src, out, _) in enumerate(table)]
    with pytest.raises(TypeError):
        lumetra.convert_many(pairs, threads=4, qualty=80)
    assert not any(dst.exists() for _, dst in pairs)

    single = []
    for src, dst in pairs:
        try:
            lumetra.convert(src, dst)
            single.append((None, dst.read_bytes()))
            dst.unlink()
        except lumetra.LumetraError as err:
            single.append((str(err), None))

    assert lumetra.convert_many(pairs, threads=4) == [error for error, _ in single]
    for (_, out, expected), (_, dst), (error, data) in zip(table, pairs, single):
        if isinstance(expected, str):
            assert expected in error and not dst.exists()
            continue
        assert dst.read_bytes() == data
        assert image_size(dst) == expected
        if out.endswith(".png"):
            width, height, rows = read_png(dst)
            want = gradient(width, height)
            diff = sum(abs(a - b) for row, ref in zip(rows, want) for a, b in zip(row, ref))
            assert diff / (width * height * 3) < 8, out  # lossy HEVC (and JPEG on the way to "exif")


def test_threads_keep_their_own_errors_and_reports(sources, tmp_path):
    # (call, source, output extension or None, what the single-threaded run
    # must show: picture size, report entries, or a fragment of the failure)
    table = [
        ("convert", "exif", ".jpg", (200, 168)),
        ("info", "exif", None, {"width": 200, "height": 168, "exif": True, "has_thumbnail": True}),
        ("convert", "missing", ".jpg", "Failed to read HEIC file '{missing}': "),
        ("exif", "exif", None, {"ExifPresent": True, "Make": "Morvanta", "Model": "Model 200"}),
        ("thumbnail", "exif", ".png", (160, 134)),
        ("convert", "plain", ".tga", "Unsupported output extension '.tga'"),
        ("info", "plain", None, {"width": 48, "height": 32, "exif": False, "has_thumbnail": False}),
        ("exif", "raster", None, "Failed reading HEIC file for EXIF"),
        ("convert", "plain", ".png", (48, 32)),
        ("exif", "plain", None, {"ExifPresent": False}),
        ("thumbnail", "plain", ".jpg", (48, 32)),
        ("info", "missing", None, "Failed reading HEIC file for info: "),
    ]
    threads = 8

    def run(worker):
        """Each worker starts at its own row and names its own missing file."""
        records = []
        for step in range(len(table)):
            call, src, ext, _ = table[(worker + step) % len(table)]
            path = tmp_path / f"missing-{worker}.heic" if src == "missing" else sources[src]
            out = tmp_path / f"w{worker}" / f"{step}{ext}"
            try:
                if ext is None:
                    value = getattr(lumetra, call)(path)
                else:
                    getattr(lumetra, call)(path, out)
                    value = out.read_bytes()
                records.append((value, lumetra.last_error()))
            except lumetra.LumetraError as err:
                records.append((str(err), lumetra.last_error()))
        return records

    for worker in range(threads):
        (tmp_path / f"w{worker}").mkdir()
    expected = [run(worker) for worker in range(threads)]
    for worker, records in enumerate(expected):
        for step, (value, error) in enumerate(records):
            call, src, ext, want = table[(worker + step) % len(table)]
            if isinstance(want, str):
                assert want.format(missing=tmp_path / f"missing-{worker}.heic") in value and value == error
            elif isinstance(want, dict):
                assert {key: value[key] for key in want} == want and error == ""
            else:
                out = tmp_path / f"w{worker}" / f"{step}{ext}"
                assert image_size(out) == want and error == "", (call, src, ext)
        shutil.rmtree(tmp_path / f"w{worker}")
        (tmp_path / f"w{worker}").mkdir()

    got, failures = [None] * threads, []
    start = threading.Barrier(threads)

    def worker_main(worker):
        try:
            start.wait()
            got[worker] = run(worker)
        except BaseException as exc:  # a thread's exception would not reach pytest
            failures.append((worker, exc))

    workers = [threading.Thread(target=worker_main, args=(worker,)) for worker in range(threads)]
    for thread in workers:
        thread.start()
    for thread in workers:
        thread.join()
    assert failures == []
    for worker in range(threads):
        assert got[worker] == expected[worker], worker


CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus" / "heif"


def mpf_images(jpeg):
    """(offset, length) of each MP entry of a JPEG's big-endian MPF index."""
    at = jpeg.find(b"MPF\x00MM\x00\x2a")
    if at < 0:
        return []
    tiff = at + 4
    entries = tiff + 8 + 2 + 3 * 12 + 4
    return [struct.unpack(">III", jpeg[entries + 16 * i: entries + 16 * i + 12])[1:][::-1] for i in range(2)]


@pytest.mark.skipif(not (CORPUS / "grid12mp-iphone12promax-thumb-gainmap-irot270-exifMM.heic").exists(),
                    reason="no corpus")
def test_hdr_photo_keeps_its_gain_map_unless_asked_not_to(tmp_path):
    src = CORPUS / "grid12mp-iphone12promax-thumb-gainmap-irot270-exifMM.heic"
    assert lumetra.convert(src, tmp_path / "hdr.jpg") is True
    assert lumetra.convert(src, tmp_path / "sdr.jpg", hdr=False) is True
    hdr, sdr = (tmp_path / "hdr.jpg").read_bytes(), (tmp_path / "sdr.jpg").read_bytes()
    (primary_offset, primary_length), (map_offset, map_length) = mpf_images(hdr)
    tiff = hdr.find(b"MPF\x00") + 4
    assert primary_offset == 0 and primary_length + map_length == len(hdr)
    assert hdr[tiff + map_offset: tiff + map_offset + 2] == b"\xff\xd8"
    assert b"hdrgm:GainMapMax" in hdr[primary_length:]
    assert mpf_images(sdr) == [] and b"hdrgm" not in sdr


def png_chunks(path):
    """(type, data) of every chunk of a PNG file, in order."""
    data = pathlib.Path(path).read_bytes()
    at, chunks = 8, []
    while at + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        chunks.append((kind.decode("latin-1"), data[at + 8:at + 8 + length]))
        at += 12 + length
    return chunks


HDR_PHOTO = CORPUS / "grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic"


# (source, bit depth of the PNG, its cICP payload or None for the ordinary PNG)
@pytest.mark.parametrize("source, depth, cicp", [
    ("plain", 8, None),  # an SDR photo: the ordinary PNG, no error
    ("hdr photo", 16, b"\x09\x10\x00\x01"),
])
def test_hdr_png(sources, tmp_path, source, depth, cicp):
    if source == "hdr photo" and not HDR_PHOTO.exists():
        pytest.skip("no corpus")
    src = HDR_PHOTO if source == "hdr photo" else sources[source]
    out = tmp_path / "hdr.png"
    assert lumetra.convert(src, out, hdr_png=True) is True
    assert png_size(out)[2] == depth
    chunks = png_chunks(out)
    names = [kind for kind, _ in chunks]
    if cicp is None:
        assert "cICP" not in names and "cLLI" not in names
        assert lumetra.convert(src, tmp_path / "sdr.png") is True
        assert out.read_bytes() == (tmp_path / "sdr.png").read_bytes()
        return
    first_idat = names.index("IDAT")
    assert dict(chunks)["cICP"] == cicp and names.index("cICP") < first_idat
    assert names.index("cLLI") < first_idat
    assert not {"iCCP", "sRGB", "gAMA"} & set(names)
    max_cll, max_fall = struct.unpack(">II", dict(chunks)["cLLI"])
    assert 203 * 10000 < max_cll <= 10000 * 10000 and 0 < max_fall < max_cll


def png_size(path):
    data = pathlib.Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24]) + (data[24], data[25])


def test_every_picture_and_the_detailed_report(heif, tmp_path):
    detail = lumetra.info_detail(heif)
    short = lumetra.info(heif)
    assert detail["schema"] == 1
    assert detail["salvage"] == {"needed": False, "hidden_images": 0, "reason": None}
    [image] = detail["images"]
    assert image["primary"] is True
    assert (image["width"], image["height"], image["bit_depth"]) == (short["width"], short["height"], 8)
    assert image["auxiliary"] == [] and image["gain_map"] is None
    lumetra.convert(heif, tmp_path / "all.png", all_images=True, aux=True)
    assert png_size(tmp_path / "all-1.png")[:2] == (48, 32)
    assert not (tmp_path / "all.png").exists() and not (tmp_path / "all-2.png").exists()
    with pytest.raises(lumetra.LumetraError, match="No top-level image 1"):
        lumetra.convert_image(heif, tmp_path / "none.png", image=1)

    portrait = CORPUS / "grid12mp-iphone14pro-portrait-depth-gainmap-nothumb-exifMM.heic"
    if not portrait.exists():
        pytest.skip("no corpus")
    kinds = [(a["kind"], a["width"], a["height"]) for a in lumetra.info_detail(portrait)["images"][0]["auxiliary"]]
    assert kinds == [("hdrgainmap", 1512, 2016), ("depth", 576, 768)]
    lumetra.convert(portrait, tmp_path / "p.jpg", aux=True)
    assert png_size(tmp_path / "p-depth.png") == (576, 768, 8, 0)
    assert png_size(tmp_path / "p-hdrgainmap.png") == (1512, 2016, 8, 0)
    lumetra.convert_image(portrait, tmp_path / "d.png", image=0, aux=1)
    assert (tmp_path / "d.png").read_bytes() == (tmp_path / "p-depth.png").read_bytes()
