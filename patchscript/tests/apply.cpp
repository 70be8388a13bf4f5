#include "apply.h"

#include <cstdio>

#include "md5.h"

namespace {

bool is_lower_hex(const std::string& s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return !s.empty();
}

int upper_hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string fingerprint(const std::vector<unsigned char>& data) {
  char text[33];
  if (md5_hex(data.data(), int32_t(data.size()), text) != 0) return "(md5 unavailable)";
  return text;
}

std::string at(size_t line, const std::string& what) {
  return "line " + std::to_string(line + 1) + ": " + what;
}

}  // namespace

std::string apply_script(const std::string& script, const std::vector<unsigned char>& old_data,
                         std::vector<unsigned char>& result, script_fields& fields) {
  if (script.empty() || script.back() != '\n') return "script does not end with a newline";
  std::vector<std::string> lines;
  for (size_t start = 0; start < script.size();) {
    size_t end = script.find('\n', start);
    lines.push_back(script.substr(start, end - start));
    start = end + 1;
  }
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find('\r') != std::string::npos) return at(i, "stray carriage return");

  size_t n = 0;
  auto next = [&](std::string& line) {
    if (n >= lines.size()) return false;
    line = lines[n++];
    return true;
  };
  auto expect = [&](const std::string& want) -> std::string {
    std::string line;
    if (!next(line)) return "script ends early, expected \"" + want + "\"";
    return line == want ? "" : at(n - 1, "expected \"" + want + "\", found \"" + line + "\"");
  };
  auto prefixed = [&](const std::string& prefix, std::string& rest) -> std::string {
    std::string line;
    if (!next(line)) return "script ends early, expected a \"" + prefix + "\" line";
    if (line.compare(0, prefix.size(), prefix) != 0)
      return at(n - 1, "expected a \"" + prefix + "\" line, found \"" + line + "\"");
    rest = line.substr(prefix.size());
    return "";
  };
  auto md5_line = [&](std::string& md5) -> std::string {
    std::string e = prefixed("?", md5);
    if (e.empty() && !(md5.size() == 32 && is_lower_hex(md5)))
      e = at(n - 1, "not 32 lowercase hex digits");
    return e;
  };

  // Header: the title names both paths; they are read back from the "<" and ">" lines.
  std::string title, e;
  if (!(e = prefixed("# patch script: ", title)).empty()) return e;
  if (!(e = prefixed("# generated at ", fields.stamp)).empty()) return e;
  if (fields.stamp.empty() || fields.stamp.back() != ' ')
    return "line 2: no space before the end of the line";
  fields.stamp.pop_back();
  if (!(e = expect("")).empty() || !(e = expect("# read old file")).empty()) return e;
  if (!(e = prefixed("<", fields.old_path)).empty()) return e;
  if (!(e = expect("")).empty() || !(e = expect("# check input md5sum")).empty()) return e;
  if (!(e = md5_line(fields.old_md5)).empty() || !(e = expect("")).empty()) return e;
  if (fields.old_md5 != fingerprint(old_data)) return "input md5 does not match the old data";

  // Change blocks: each run starts past the end of the one before (with an equal byte
  // between), every value differs from the old byte, lines hold 16 values but the last.
  result = old_data;
  long long next_free = 0;  // first offset a new run may start at
  std::string line;
  while (n < lines.size() && !lines[n].empty() && lines[n][0] == ':') {
    next(line);
    std::string hex = line.substr(1);
    if (!is_lower_hex(hex) || (hex.size() > 1 && hex[0] == '0') || hex.size() > 8)
      return at(n - 1, "bad offset \"" + hex + "\"");
    long long offset = std::stoll(hex, nullptr, 16);
    if (offset < next_free) return at(n - 1, "offset not past the previous run and its gap");
    long long i = offset;
    for (bool last = false; !last;) {
      if (!next(line)) return "script ends inside a block";
      if (line.empty() || line.size() % 3 != 0 || line.size() > 48)
        return at(n - 1, "value line of bad length " + std::to_string(line.size()));
      last = line.size() < 48 || (n < lines.size() && lines[n].empty());
      for (size_t k = 0; k < line.size(); k += 3) {
        int hi = upper_hex_value(line[k]), lo = upper_hex_value(line[k + 1]);
        if (hi < 0 || lo < 0 || line[k + 2] != ' ')
          return at(n - 1, "bad value \"" + line.substr(k, 3) + "\"");
        if (i >= (long long)old_data.size()) return at(n - 1, "run goes past the end");
        unsigned char value = (unsigned char)(hi * 16 + lo);
        if (value == old_data[size_t(i)]) return at(n - 1, "value equals the old byte");
        result[size_t(i++)] = value;
      }
    }
    if (!(e = expect("")).empty()) return e;
    next_free = i + 1;
    ++fields.blocks;
  }
  if (fields.blocks == 0) return "no change block";

  if (!(e = expect("# check output md5sum")).empty()) return e;
  if (!(e = md5_line(fields.new_md5)).empty()) return e;
  if (!(e = expect("")).empty() || !(e = expect("# write new file")).empty()) return e;
  if (!(e = prefixed(">script_", fields.new_path)).empty()) return e;
  if (n != lines.size()) return at(n, "text after the last line");
  if (title != fields.old_path + " -> " + fields.new_path) return "line 1 names other paths";
  if (fields.new_md5 != fingerprint(result)) return "output md5 does not match the result";
  return "";
}
