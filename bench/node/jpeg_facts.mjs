// What a JPEG holds, read from its markers up to the first scan: the frame
// size, EXIF (APP1 "Exif"), an ICC profile (APP2 "ICC_PROFILE"), and a gain
// map: an MPF index (APP2 "MPF") whose second image is a JPEG, with hdrgm
// XMP in both the primary image and that second image.

const XMP = 'http://ns.adobe.com/xap/1.0/\0';

function startsWith(bytes, text) {
  if (bytes.length < text.length) return false;
  for (let i = 0; i < text.length; i++) if (bytes[i] !== text.charCodeAt(i)) return false;
  return true;
}

// The images an MPF index lists: [{ size, offset }], offsets from the file's
// start. tiff is the index's TIFF header and what follows; tiffStart its place.
function mpfImages(tiff, tiffStart) {
  const view = new DataView(tiff.buffer, tiff.byteOffset, tiff.byteLength);
  const little = tiff[0] === 0x49 && tiff[1] === 0x49;
  if (!little && !(tiff[0] === 0x4d && tiff[1] === 0x4d)) return [];
  const u16 = (at) => view.getUint16(at, little);
  const u32 = (at) => view.getUint32(at, little);
  const ifd = u32(4);
  const images = [];
  for (let i = 0, n = u16(ifd); i < n; i++) {
    const entry = ifd + 2 + 12 * i;
    if (u16(entry) !== 0xb002) continue;
    const bytes = u32(entry + 4);
    const at = u32(entry + 8);
    for (let k = 0; k + 16 <= bytes; k += 16) {
      const offset = u32(at + k + 8);
      images.push({ size: u32(at + k + 4), offset: offset === 0 ? 0 : tiffStart + offset });
    }
  }
  return images;
}

// { width, height, exif, icc, hdrgmXmp, mpf: [images] } or { error }.
function markers(bytes) {
  if (bytes.length < 4 || bytes[0] !== 0xff || bytes[1] !== 0xd8) return { error: 'no JPEG start of image' };
  const facts = { width: 0, height: 0, exif: false, icc: false, hdrgmXmp: false, mpf: [] };
  let p = 2;
  while (p + 4 <= bytes.length) {
    if (bytes[p] !== 0xff) return { error: `no marker at byte ${p}` };
    const m = bytes[p + 1];
    if (m === 0xff) { p++; continue; }
    if (m === 0xda || m === 0xd9) break;
    const length = (bytes[p + 2] << 8) | bytes[p + 3];
    const body = bytes.subarray(p + 4, p + 2 + length);
    if (length < 2 || p + 2 + length > bytes.length) return { error: `marker ${m.toString(16)} runs past the end` };
    const isFrame = m >= 0xc0 && m <= 0xcf && m !== 0xc4 && m !== 0xc8 && m !== 0xcc;
    if (isFrame && body.length >= 5) {
      facts.height = (body[1] << 8) | body[2];
      facts.width = (body[3] << 8) | body[4];
    } else if (m === 0xe1 && startsWith(body, 'Exif\0\0')) {
      facts.exif = true;
    } else if (m === 0xe1 && startsWith(body, XMP)) {
      facts.hdrgmXmp ||= Buffer.from(body).includes('hdrgm:Version');
    } else if (m === 0xe2 && startsWith(body, 'ICC_PROFILE\0')) {
      facts.icc = true;
    } else if (m === 0xe2 && startsWith(body, 'MPF\0')) {
      try {
        facts.mpf = mpfImages(body.subarray(4), p + 8);
      } catch {
        return { error: 'unreadable MPF index' };
      }
    }
    p += 2 + length;
  }
  if (!facts.width || !facts.height) return { error: 'no frame header before the scan' };
  return facts;
}

// The primary image's facts, with gainMap: 'yes', 'no', or what is missing.
export function jpegFacts(bytes) {
  const facts = markers(bytes);
  if (facts.error) return facts;
  const second = facts.mpf[1];
  const secondFacts = second && second.offset + 4 <= bytes.length ? markers(bytes.subarray(second.offset)) : null;
  const pieces = [
    facts.mpf.length > 1 && secondFacts && !secondFacts.error ? 'MPF' : '',
    facts.hdrgmXmp ? 'hdrgm XMP' : '',
    secondFacts && secondFacts.hdrgmXmp ? 'gain map XMP' : '',
  ].filter(Boolean);
  facts.gainMap = pieces.length === 3 ? `yes (${secondFacts.width}x${secondFacts.height})` : pieces.length ? `partial: ${pieces.join(', ')}` : 'no';
  return facts;
}
