// A strict little JSON reader for checking the library's reports: a
// document that does not parse completely comes back as null.
#pragma once

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct Json {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::map<std::string, Json> members;

  const Json& operator[](const std::string& key) const {
    static const Json none;
    const auto it = members.find(key);
    return it == members.end() ? none : it->second;
  }
  const Json& operator[](size_t i) const {
    static const Json none;
    return i < items.size() ? items[i] : none;
  }
  int integer() const { return static_cast<int>(number); }
  bool is_null() const { return kind == Null; }
};

namespace json_detail {

inline void space(const std::string& s, size_t* i) {
  while (*i < s.size() && (s[*i] == ' ' || s[*i] == '\n' || s[*i] == '\r' || s[*i] == '\t')) ++*i;
}

inline bool value(const std::string& s, size_t* i, Json* out, int depth);

inline bool string_at(const std::string& s, size_t* i, std::string* out) {
  if (s[*i] != '"') return false;
  for (++*i; *i < s.size(); ++*i) {
    const char c = s[*i];
    if (c == '"') {
      ++*i;
      return true;
    }
    if (static_cast<unsigned char>(c) < 0x20) return false;
    if (c == '\\') {
      if (++*i >= s.size()) return false;
      const char e = s[*i];
      if (e == 'u') {
        if (*i + 4 >= s.size()) return false;
        const unsigned cp = static_cast<unsigned>(std::strtoul(s.substr(*i + 1, 4).c_str(), nullptr, 16));
        *out += cp < 0x80 ? static_cast<char>(cp) : '?';
        *i += 4;
      } else {
        const std::string from = "\"\\/bfnrt", to = "\"\\/\b\f\n\r\t";
        const size_t k = from.find(e);
        if (k == std::string::npos) return false;
        *out += to[k];
      }
    } else {
      *out += c;
    }
  }
  return false;
}

inline bool value(const std::string& s, size_t* i, Json* out, int depth) {
  if (depth > 64) return false;
  space(s, i);
  if (*i >= s.size()) return false;
  const char c = s[*i];
  if (c == '{' || c == '[') {
    const bool object = c == '{';
    out->kind = object ? Json::Object : Json::Array;
    ++*i;
    space(s, i);
    if (*i < s.size() && s[*i] == (object ? '}' : ']')) return ++*i, true;
    for (;;) {
      Json item;
      std::string key;
      if (object) {
        space(s, i);
        if (*i >= s.size() || !string_at(s, i, &key)) return false;
        space(s, i);
        if (*i >= s.size() || s[(*i)++] != ':') return false;
        if (out->members.count(key)) return false;  // no duplicate keys
      }
      if (!value(s, i, &item, depth + 1)) return false;
      if (object)
        out->members[key] = item;
      else
        out->items.push_back(item);
      space(s, i);
      if (*i >= s.size()) return false;
      if (s[*i] == ',') {
        ++*i;
        continue;
      }
      if (s[*i] == (object ? '}' : ']')) return ++*i, true;
      return false;
    }
  }
  if (c == '"') return out->kind = Json::String, string_at(s, i, &out->text);
  for (const char* word : {"true", "false", "null"}) {
    if (s.compare(*i, std::string(word).size(), word) == 0) {
      *i += std::string(word).size();
      out->kind = word[0] == 'n' ? Json::Null : Json::Bool;
      out->boolean = word[0] == 't';
      return true;
    }
  }
  char* end = nullptr;
  out->number = std::strtod(s.c_str() + *i, &end);
  if (end == s.c_str() + *i) return false;
  out->kind = Json::Number;
  *i = static_cast<size_t>(end - s.c_str());
  return true;
}

}  // namespace json_detail

// The parsed document; ok is false when the text is not one JSON value.
inline Json parse_json(const std::string& text, bool* ok) {
  Json root;
  size_t i = 0;
  *ok = json_detail::value(text, &i, &root, 0);
  json_detail::space(text, &i);
  *ok = *ok && i == text.size();
  return *ok ? root : Json();
}
