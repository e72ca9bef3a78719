#include "formats/xmp_gain_map.h"

#include <string>
#include <vector>

#include "formats/xmp_text.h"

namespace {

using namespace xmp_text;

const char kHdrgm[] = "http://ns.adobe.com/hdr-gain-map/1.0/";

const size_t npos = std::string::npos;

// One xmlns:prefix="uri" attribute, from the whitespace before it to its
// closing quote.
struct Declaration {
  size_t begin, end;
  std::string prefix, uri;
};

std::vector<Declaration> declarations(const std::string& x) {
  std::vector<Declaration> out;
  for (size_t at = x.find("xmlns:"); at != npos; at = x.find("xmlns:", at + 6)) {
    if (at == 0 || !space(x[at - 1])) continue;
    size_t p = at + 6;
    while (p < x.size() && name_char(x[p])) ++p;
    const std::string prefix = x.substr(at + 6, p - at - 6);
    while (p < x.size() && space(x[p])) ++p;
    if (prefix.empty() || p >= x.size() || x[p] != '=') continue;
    ++p;
    while (p < x.size() && space(x[p])) ++p;
    if (p >= x.size() || (x[p] != '"' && x[p] != '\'')) continue;
    const size_t close = x.find(x[p], p + 1);
    if (close == npos) break;
    size_t begin = at;
    while (begin > 0 && space(x[begin - 1])) --begin;
    out.push_back(Declaration{begin, close + 1, prefix, x.substr(p + 1, close - p - 1)});
  }
  return out;
}

// Where the quoted value of an attribute whose name ends at p ends (one
// past its closing quote), or npos.
size_t attribute_end(const std::string& x, size_t p) {
  while (p < x.size() && space(x[p])) ++p;
  if (p >= x.size() || x[p] != '=') return npos;
  ++p;
  while (p < x.size() && space(x[p])) ++p;
  if (p >= x.size() || (x[p] != '"' && x[p] != '\'')) return npos;
  const size_t close = x.find(x[p], p + 1);
  return close == npos ? npos : close + 1;
}

// One past the '>' that ends the tag opened at lt, quoted values skipped.
size_t tag_end(const std::string& x, size_t lt) {
  for (size_t p = lt + 1; p < x.size(); ++p) {
    if (x[p] == '"' || x[p] == '\'') {
      p = x.find(x[p], p + 1);
      if (p == npos) return npos;
    } else if (x[p] == '>') {
      return p + 1;
    }
  }
  return npos;
}

// One past the end of the element `qname` whose start tag opens at lt
// (its end tag, or the start tag itself when empty), or npos.
size_t element_end(const std::string& x, size_t lt, const std::string& qname) {
  size_t p = tag_end(x, lt);
  if (p == npos || x[p - 2] == '/') return p;
  const std::string open = "<" + qname, close = "</" + qname;
  for (int depth = 1; p < x.size();) {
    const size_t next = x.find('<', p);
    if (next == npos) return npos;
    const bool closing = x.compare(next, close.size(), close) == 0;
    const bool opening = !closing && x.compare(next, open.size(), open) == 0;
    const size_t after = next + (closing ? close.size() : open.size());
    p = tag_end(x, next);
    if (p == npos) return npos;
    if ((!closing && !opening) || (after < x.size() && name_char(x[after]))) continue;
    if (opening && x[p - 2] != '/') ++depth;
    if (closing && --depth == 0) return p;
  }
  return npos;
}

bool inside_tag(const std::string& x, size_t at) {
  const size_t lt = x.rfind('<', at), gt = x.rfind('>', at);
  return lt != npos && (gt == npos || gt < lt);
}

bool any_name(const std::string&) { return true; }
bool motion_photo_name(const std::string& local) {
  return local.compare(0, 11, "MotionPhoto") == 0 || local.compare(0, 10, "MicroVideo") == 0;
}

// Removes the elements and attributes of the prefix whose local name
// `drop` accepts; true when it removed any.
bool remove_properties(std::string* x, const std::string& prefix, bool (*drop)(const std::string&)) {
  const std::string qualified = prefix + ":";
  bool removed = false;
  size_t at = 0;
  while ((at = x->find(qualified, at)) != npos) {
    const size_t name_at = at + qualified.size();
    size_t end = name_at;
    while (end < x->size() && name_char((*x)[end])) ++end;
    const char before = at > 0 ? (*x)[at - 1] : '\0';
    const std::string local = x->substr(name_at, end - name_at);
    size_t begin = npos, stop = npos;
    if (local.empty() || !drop(local)) {
      // not ours
    } else if (before == '<') {
      begin = at - 1;
      stop = element_end(*x, begin, qualified + local);
    } else if (space(before) && inside_tag(*x, at)) {
      begin = at;
      while (begin > 0 && space((*x)[begin - 1])) --begin;
      stop = attribute_end(*x, end);
    }
    if (begin == npos || stop == npos) {
      at = end;
      continue;
    }
    x->erase(begin, stop - begin);
    removed = true;
    at = begin;
  }
  return removed;
}

// Whether the prefix is still used by an element or attribute name.
bool prefix_used(const std::string& x, const std::string& prefix) {
  const std::string qualified = prefix + ":";
  for (size_t at = x.find(qualified); at != npos; at = x.find(qualified, at + 1)) {
    if (at == 0 || (!name_char(x[at - 1]) && x[at - 1] != ':')) return true;
  }
  return false;
}

bool is_gain_map_namespace(const std::string& uri) { return uri == kHdrgm || uri == kContainer || uri == kItem; }

}  // namespace

bool remove_gain_map_xmp(ByteBlock* xmp) {
  std::string x(xmp->begin(), xmp->end());
  bool changed = false;
  for (const Declaration& d : declarations(x)) {
    if (is_gain_map_namespace(d.uri)) changed = remove_properties(&x, d.prefix, any_name) || changed;
    if (d.uri == kCamera) changed = remove_properties(&x, d.prefix, motion_photo_name) || changed;
  }
  // Declarations nothing uses any more, from the last so that the earlier
  // ones' offsets hold.
  const std::vector<Declaration> left = declarations(x);
  for (size_t i = left.size(); i-- > 0;) {
    const Declaration& d = left[i];
    if ((is_gain_map_namespace(d.uri) || d.uri == kCamera) && !prefix_used(x, d.prefix)) {
      x.erase(d.begin, d.end - d.begin);
      changed = true;
    }
  }
  if (changed) xmp->assign(x.begin(), x.end());
  for (const Declaration& d : declarations(x)) {
    if (d.uri == kHdrgm || d.uri == kContainer) return false;
  }
  return true;
}
