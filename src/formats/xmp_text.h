// Reading XMP packets as plain text, by hand (no locale, no XML library):
// the character classes and Google's namespaces that the readers and
// editors of camera and container properties share.
#pragma once

namespace xmp_text {

constexpr char kContainer[] = "http://ns.google.com/photos/1.0/container/";
constexpr char kItem[] = "http://ns.google.com/photos/1.0/container/item/";
constexpr char kCamera[] = "http://ns.google.com/photos/1.0/camera/";

inline bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A character of an XML name (prefix or local part); any byte of a UTF-8
// sequence counts.
inline bool name_char(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' || u == '-' ||
         u == '.' || u >= 0x80;
}

}  // namespace xmp_text
