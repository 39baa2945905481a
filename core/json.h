// JSON value and a lenient recursive-descent reader for QMP traffic and
// qemu-img output. Reading only: the program never writes a JVal.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

struct JVal {
  int kind = 0;  // 0 null, 1 boolean, 2 number, 3 string, 4 array, 5 object
  bool b = false;
  double n = 0;
  std::string s;
  std::vector<JVal> a;
  std::map<std::string, JVal> o;

  // The member of that name, or a shared null value; never inserts.
  const JVal& operator[](const std::string& key) const;
};

struct JParser {
  std::string_view text;
  size_t pos = 0;
  int depth = 0;  // nesting guard: deeper than kMaxDepth fails the parse

  static constexpr int kMaxDepth = 512;

  bool value(JVal& v);
  bool string(std::string& out);
};
