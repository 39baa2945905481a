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

// Hostile input fails the read instead of holding the thread or the memory:
// nesting, the number of values and the digits handed to the number
// conversion are bounded, and nothing is thrown out of value().
struct JParser {
  std::string_view text;
  size_t pos = 0;
  int depth = 0;      // deeper than kMaxDepth fails the parse
  size_t values = 0;  // more than kMaxValues fails the parse

  static constexpr int kMaxDepth = 512;
  static constexpr size_t kMaxValues = 1u << 19;

  bool value(JVal& v);
  bool string(std::string& out);

 private:
  bool parse(JVal& v);
};

// The value of a decimal number text: optional sign, digits with an optional
// point, optional exponent. Work is linear in the text and the result equals
// the correctly rounded value for any text.
double json_number(std::string_view num);
