// Types of lumetra's JavaScript interface (index.js). On a browser page the
// calls run in a module worker (worker.js); elsewhere in the calling thread.

/** Bytes of a file: a Uint8Array (a Node Buffer too), an ArrayBuffer or a Blob (a File too). */
export type Input = Uint8Array | ArrayBuffer | Blob;

/** The raster output formats. */
export type RasterFormat = 'jpeg' | 'jpg' | 'png' | 'bmp';

/**
 * The output formats of convert: the raster ones, AVIF (AV1) and HEIC
 * (HEVC). HEIC needs threads: in Node always there, on a page only when it
 * is cross-origin isolated; elsewhere 'heic' rejects with a TypeError.
 */
export type ConvertFormat = RasterFormat | 'avif' | 'heic' | 'heif' | 'hif';

export interface ConvertOptions {
  /** Output format; 'jpeg' when left out. */
  to?: ConvertFormat;
  /**
   * Quality 1-100. Left out: 90 for JPEG; for AVIF and HEIC as good as the source
   * looks (from a JPEG source's own tables, else a fixed high one).
   */
  quality?: number;
  /**
   * Left out: an HDR photo's gain map makes an Ultra HDR JPEG, and is kept
   * in an AVIF or HEIC.
   * true: as well, a PNG is the HDR rendition (16-bit BT.2100 PQ).
   * false: SDR only, no gain map kept.
   */
  hdr?: boolean;
  /** false writes no metadata (colour profile, EXIF, XMP); true when left out. */
  metadata?: boolean;
}

export interface ThumbnailOptions {
  /** Output format; 'jpeg' when left out. */
  to?: RasterFormat;
  /** The box the thumbnail fits, in pixels; 320 when left out. */
  size?: number;
}

/**
 * Converts a HEIF/HEIC/AVIF photo; rejects with the library's error text.
 * A Blob (a File too) gives a Blob of the output's type, bytes give bytes.
 */
export function convert(input: Blob, options?: ConvertOptions): Promise<Blob>;
export function convert(input: Uint8Array | ArrayBuffer, options?: ConvertOptions): Promise<Uint8Array>;
/** The detail document of every top-level image (docs/detail-schema.md). */
export function info(input: Input): Promise<Record<string, unknown>>;
/** The EXIF summary of the primary image, or {ExifPresent: false}. */
export function exif(input: Input): Promise<Record<string, unknown>>;
/** A thumbnail fitting size x size; a Blob gives a Blob, bytes give bytes. */
export function thumbnail(input: Blob, options?: ThumbnailOptions): Promise<Blob>;
export function thumbnail(input: Uint8Array | ArrayBuffer, options?: ThumbnailOptions): Promise<Uint8Array>;
/** Whether the bytes are HEIF by content. */
export function isHeif(input: Input): Promise<boolean>;
