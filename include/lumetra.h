/*
 * morvanta-lumetra: HEIF/HEIC to JPEG/PNG/BMP and back, with JSON reports.
 *
 * ABI notes
 *  - Plain C calling convention; every integer is a 32-bit signed int.
 *  - Paths are zero-terminated byte strings, not kept after the call. On
 *    POSIX systems they go to the file system unchanged. On Windows a path
 *    whose bytes are valid UTF-8 is UTF-8 (every name can be reached); any
 *    other is in the process's ANSI code page, as the narrow ("A") Win32
 *    functions take it (an ANSI string beyond ASCII is almost never valid
 *    UTF-8; ASCII reads the same either way). The batch hands the names it
 *    lists on in the form of the directory's path: UTF-8 for a UTF-8 or
 *    ASCII one, the ANSI code page for an ANSI one. Give the paths of one
 *    call in one form.
 *  - Windows: morvanta-lumetra.dll, linked through libmorvanta-lumetra.dll.a
 *    (MinGW) or loaded at run time; the functions use the C calling
 *    convention (cdecl; the same as the platform's on x64).
 *  - Threads: every call may run in many threads at once. Each thread has
 *    its own last-error text and its own three report buffers, so a thread
 *    only ever sees the messages and reports of its own calls.
 *  - Returned texts (lumetra_last_error, lumetra_info, lumetra_exif,
 *    lumetra_info_detail) point into buffers the library owns for the
 *    calling thread. Never free or write them. A text belongs to the
 *    thread that made the call and stays valid (at the same address) until
 *    that thread's next call of the same kind or the thread's exit: copy a
 *    text you want to keep or hand to another thread.
 *  - Error model: a failing call returns its failure value (0, -1 or NULL)
 *    and leaves a message in the calling thread's last-error text; a
 *    succeeding call empties it. lumetra_is_heic and lumetra_last_error
 *    never touch it.
 */
#ifndef LUMETRA_H
#define LUMETRA_H

#if defined(_WIN32)
#  if defined(LUMETRA_BUILDING)
#    define LUMETRA_API __declspec(dllexport)
#  elif defined(LUMETRA_STATIC)
#    define LUMETRA_API
#  else
#    define LUMETRA_API __declspec(dllimport)
#  endif
#else
#  define LUMETRA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Empties the last-error text; returns 1. Optional, repeatable. */
LUMETRA_API int lumetra_init(void);

/* Empties the calling thread's last-error text and its report buffers.
 * Frees nothing; the library stays usable. */
LUMETRA_API void lumetra_cleanup(void);

/* The calling thread's last-error text: empty after its last call
 * succeeded, the message of the failure otherwise. Never NULL. */
LUMETRA_API const char* lumetra_last_error(void);

/* 1 when the file's first bytes say HEIF/HEIC (libheif's sniffer, then an
 * ftyp brand scan), 0 otherwise, also for NULL, "" or an unreadable file.
 * Never sets the last-error text. */
LUMETRA_API int lumetra_is_heic(const char* path);

/* Decode the primary image of a HEIF file and write it as JPEG (quality
 * clamped: <= 0 gives 90, > 100 gives 100), PNG or BMP. Alpha is kept where
 * the writer keeps it. 1 on success, 0 on failure (last-error text set); a
 * failed decode creates no output file. */
LUMETRA_API int lumetra_to_jpg(const char* heif_path, const char* out_path, int quality);
LUMETRA_API int lumetra_to_png(const char* heif_path, const char* out_path);
LUMETRA_API int lumetra_to_bmp(const char* heif_path, const char* out_path);

/* As above, format from the output extension: .jpg/.jpeg (any case) JPEG at
 * quality 90, .bmp BMP, anything else PNG. */
LUMETRA_API int lumetra_to_image(const char* heif_path, const char* out_path);

/* Encode a JPEG, PNG, BMP, GIF, PSD, PIC, PNM or TGA file as HEIF (HEVC, or
 * AV1 when no HEVC encoder exists). Quality <= 0 gives 85, > 100 gives 100.
 * A JPEG source's EXIF block is carried over; images of at least 160 x 160
 * get a thumbnail in a 160-pixel box. 1 on success, 0 on failure. */
LUMETRA_API int lumetra_from_image(const char* image_path, const char* heif_path, int quality);

/* One-line JSON with width, height, bit_depth, has_alpha, has_thumbnail,
 * color_space, exif and image_count of the primary image; no pixel is
 * decoded. Returns the calling thread's report buffer, or NULL on failure
 * (that thread's previous report stays). */
LUMETRA_API const char* lumetra_info(const char* heif_path);

/* Write a thumbnail: the file's embedded thumbnail at its own size, else the
 * primary image reduced (nearest neighbour) to fit 320 x 320. Format from
 * the output extension; JPEG at quality 85. 1 on success, 0 on failure. */
LUMETRA_API int lumetra_thumbnail(const char* heif_path, const char* out_path);

/* One-line JSON summary of the primary image's EXIF block (Make, Model,
 * Orientation, Software, DateTime, ExposureTime, FNumber, ISOSpeedRatings,
 * FocalLength), or {"ExifPresent":false}. Returns the calling thread's report
 * buffer, or NULL on failure (that thread's previous report stays). */
LUMETRA_API const char* lumetra_exif(const char* heif_path);

/* Convert every HEIF file directly inside in_dir (by content, not by name)
 * to out_dir/<stem>.png (format 1) or .jpg (any other format, with quality
 * as for lumetra_to_jpg). Returns the number converted, or -1 when the
 * directory arguments are NULL or in_dir cannot be listed. The last-error
 * text is emptied at the end of every completed walk. */
LUMETRA_API int lumetra_batch(const char* in_dir, const char* out_dir, int format, int quality);

/* Faithful conversion, in either direction by out_path's extension (case
 * ignored): .jpg/.jpeg, .png, .bmp from a HEIF/AVIF file; .heic/.heif/.hif
 * (HEVC) or .avif (AV1) from any raster file the library reads. quality <= 0
 * means 90 for JPEG and, for HEIF/AVIF, "as good as the source looks": a
 * quality chosen from a JPEG source's own quantisation tables, or a fixed
 * high one for lossless sources; > 100 means 100. flags 0 writes no metadata
 * at all. Returns 1 or 0 (last-error text set). */
/* clang-format off */
#define LUMETRA_KEEP_ICC      0x01  /* colour profile */
#define LUMETRA_KEEP_EXIF     0x02  /* EXIF block, Orientation rewritten to 1 where pixels were turned */
#define LUMETRA_KEEP_XMP      0x04  /* XMP packet (tiff:Orientation likewise) */
#define LUMETRA_KEEP_METADATA 0x07
#define LUMETRA_UPRIGHT       0x08  /* raster to HEIF: turn/mirror pixels by the source's EXIF Orientation */
#define LUMETRA_KEEP_DEPTH    0x10  /* HEIF of more than 8 bits to PNG: 16-bit PNG; 16-bit PNG/PNM to 10-bit HEIF/AVIF */
#define LUMETRA_EFFORT_FAST   0x20  /* raster to HEIF/AVIF: quicker encoder settings, somewhat larger files */
#define LUMETRA_EFFORT_BEST   0x40  /* raster to HEIF/AVIF: slower encoder settings, somewhat smaller files */
#define LUMETRA_KEEP_HDR      0x80  /* HEIF to JPEG: a photo with an HDR gain map becomes an Ultra HDR JPEG */
#define LUMETRA_ALL_IMAGES    0x100 /* HEIF to JPEG/PNG/BMP: every top-level image, as <stem>-1<ext>, <stem>-2<ext>, ... in file order */
#define LUMETRA_WITH_AUX      0x200 /* HEIF to JPEG/PNG/BMP: each written image's auxiliary images too (see below) */
#define LUMETRA_HDR_PNG       0x400 /* to PNG: the HDR rendition, 16-bit BT.2100 PQ with cICP and cLLI */
/* clang-format on */
LUMETRA_API int lumetra_convert(const char* in_path, const char* out_path, int quality, int flags);

/* Every picture of a HEIF file. With LUMETRA_ALL_IMAGES, lumetra_convert
 * writes each top-level image in file order as out_path's stem + "-1",
 * "-2", ... + out_path's extension (the primary among them), each as
 * faithfully as the primary alone. With LUMETRA_WITH_AUX it also writes
 * every auxiliary image but alpha (depth and disparity maps, mattes, gain
 * maps, ...) of each image it writes as greyscale PNG (16-bit when the
 * image has more than 8 bits), named that image's stem + "-" + a short kind
 * + ".png": depth, disparity, hdrgainmap, portraitmatte, skinmatte,
 * skymatte, hairmatte, teethmatte, glassesmatte, linearthumbnail,
 * styledeltamap, or the type URN with every character but letters, digits,
 * '.', '-' and '_' made '_'; a kind met twice in one image gets "-2", ...
 * An auxiliary image is turned and mirrored by its own transformations or,
 * when it has none, by its image's; a depth map's representation (type,
 * z near/far, d min/max, disparity reference view) and every auxiliary
 * image's type URN go in tEXt chunks. Every image is tried; 0 when any
 * failed, with the first failure's message.
 *
 * lumetra_convert_image writes the one image the selector names, the way
 * lumetra_convert writes the primary (quality and flags alike; the two
 * flags above are refused): LUMETRA_IMAGE(i), the i-th top-level image in
 * file order (0 is the first, not necessarily the primary), or
 * LUMETRA_AUX(i, k), the k-th auxiliary image (alpha not counted, 0 is the
 * first) of top-level image i, written as PNG (out_path must end in .png).
 * i runs to 65535, k to 32766. Returns 1 or 0 (last-error text set). */
#define LUMETRA_IMAGE(i)  (i)
#define LUMETRA_AUX(i, k) ((((k) + 1) << 16) | (i))
LUMETRA_API int lumetra_convert_image(const char* in_path, int selector, const char* out_path, int quality, int flags);

/* One JSON document about every top-level image of a HEIF file: item id,
 * primary or not, size after transformations, bit depth, chroma, alpha,
 * transformations in order, colour profile (nclx values; ICC type, size
 * and description), thumbnails, auxiliary images, HDR gain map, metadata
 * blocks; and the file's brands and whether a salvage read was needed.
 * "schema" is its version; docs/detail-schema.md describes it. No pixel is decoded.
 * Returns the calling thread's third report buffer (64 KiB), or NULL on
 * failure (that thread's previous report stays). */
LUMETRA_API const char* lumetra_info_detail(const char* heif_path);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_H */
