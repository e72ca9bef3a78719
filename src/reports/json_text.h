// A small JSON writer for the library's reports: commas, escapes and
// numbers in one place. Text from files need not be UTF-8; what is not
// becomes U+FFFD, so the document always parses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class JsonText {
 public:
  JsonText& begin_object(const char* key = nullptr);
  JsonText& end_object();
  JsonText& begin_array(const char* key = nullptr);
  JsonText& end_array();

  // Each takes the member's key inside an object, nullptr inside an array.
  JsonText& string(const char* key, const std::string& value);
  JsonText& integer(const char* key, int64_t value);
  JsonText& number(const char* key, double value);  // null when not finite
  JsonText& boolean(const char* key, bool value);
  JsonText& null(const char* key);

  const std::string& text() const { return out_; }

 private:
  void member(const char* key);
  void quoted(const std::string& s);

  std::string out_;
  std::vector<bool> first_;  // per open container: nothing written yet
};
