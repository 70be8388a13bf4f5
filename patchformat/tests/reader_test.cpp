// The reader and the in-memory applier against damaged and hostile scripts: each is
// refused, naming its first bad line, and the scripts the writer may produce on either
// target are read exactly.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "apply.h"
#include "md5.h"
#include "md5_seam.h"
#include "reader.h"

namespace {

const std::string old_data = "abcdefghijklmnopqrstuvwxyz0123456789";

std::string md5(const std::string& s) {
  char text[33] = "";
  md5_hex(reinterpret_cast<const unsigned char*>(s.data()), int32_t(s.size()), text);
  return text;
}

std::string repeat(const std::string& s, int n) {
  std::string out;
  while (n-- > 0) out += s;
  return out;
}

// Offset 2 becomes 'C'; offsets 0x10 to 0x20 (17 bytes) become 'A'. Lines 10 to 16 are
// the two blocks; line 21 is the last.
std::string new_data() {
  std::string w = old_data;
  w[2] = 'C';
  for (size_t i = 0x10; i <= 0x20; ++i) w[i] = 'A';
  return w;
}

std::string good() {
  return "# patch script: a.old -> a.new\n# generated at STAMP \n\n# read old file\n<a.old\n\n"
         "# check input md5sum\n?" +
         md5(old_data) + "\n\n:2\n43 \n\n:10\n" + repeat("41 ", 16) + "\n41 \n\n" +
         "# check output md5sum\n?" + md5(new_data()) + "\n\n# write new file\n>script_a.new\n";
}

std::string edited(std::string s, const std::string& from, const std::string& to) {
  size_t at = s.find(from);
  if (at == std::string::npos) return "(no \"" + from + "\" in the script)";
  return s.replace(at, from.size(), to);
}

struct outcome {
  std::string fault, result, old_path, new_path;
};

// Reads and applies script from memory, or through a stream, which sees it through the
// reader's window as patchapply does; with the change blocks' quick reader, or without;
// hashing on a second thread, or not. way's bits choose (0: as patchapply does here).
outcome apply(const std::string& script, int way = 0, const std::string& input = old_data) {
  bool stream = way & 1, quick = !(way & 2);
  apply_thread_from = way & 4 ? 0 : 1 << 20;
  outcome o;
  reader r;
  std::FILE* f = nullptr;
  if (stream) {
    f = std::fopen("reader_test.tmp", "w+b");
    std::fwrite(script.data(), 1, script.size(), f);
    std::rewind(f);
    reader_open(r, f);
  } else {
    reader_open(r, script.data(), script.size());
  }
  r.quick = quick;
  script_head head;
  script_tail tail;
  std::string data = input;
  apply_fault why = !read_head(r, head)
                        ? apply_fault::script
                        : apply_body(r, head, reinterpret_cast<unsigned char*>(&data[0]),
                                     int32_t(data.size()), tail);
  if (why == apply_fault::none) o.result = data;
  const char* const why_text[] = {
      "", "", "md5", "input md5 mismatch", "already patched", "output md5 mismatch"};
  o.fault = why == apply_fault::script ? r.fault : why_text[int(why)];
  o.old_path = head.old_path;
  o.new_path = tail.new_path;
  if (f != nullptr) std::fclose(f), std::remove("reader_test.tmp");
  return o;
}

TEST(Reader, AppliesTheWritersScriptsOnEitherTarget) {
  std::string crlf;
  for (char c : good()) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::string commented = edited(edited(good(), "\n:10\n", "\n# the tail\n:10\n"),
                                 "# read old file\n", "# one\n# two\n");
  // Only LF ends a line: VT, FF, NEL (0x85, "…" in code page 1252) and U+2028 belong
  // to the path they stand in.
  const std::string odd = "dir one/\x0b\x0c\x85 \xe2\x80\xa8.old";
  for (const std::string& script : {good(), crlf, commented, edited(good(), "<a.old", "<" + odd)}) {
    for (int way = 0; way < 8; ++way) {
      outcome o = apply(script, way);
      EXPECT_EQ(o.fault, "") << script;
      EXPECT_EQ(o.result, new_data());
      EXPECT_EQ(o.new_path, "script_a.new");
    }
  }
  EXPECT_EQ(apply(edited(good(), "<a.old", "<" + odd)).old_path, odd);
}

TEST(Reader, RefusesDamagedScriptsNamingTheFirstBadLine) {
  const std::string full = repeat("41 ", 16) + "\n";
  const std::string long_path(READER_LINE_MAX + 1, 'x');
  const std::string lf_only = good();
  std::string cr_only = lf_only;
  for (char& c : cr_only) c = c == '\n' ? '\r' : c;
  const std::string other = old_data.substr(0, old_data.size() - 1) + "!";
  const struct {
    std::string script, fault, input = old_data;
  } cases[] = {
      // Values: trailing space, digits, count per line, short lines inside a run.
      {edited(good(), "43 \n", "43\n"), "line 11: value line is not"},
      {edited(good(), "43 \n", "4a \n"), "line 11: bad value"},
      {edited(good(), "43 \n", "43 4G \n"), "line 11: bad value"},
      {edited(good(), full, repeat("41 ", 17) + "\n"), "line 14: value line is not"},
      {edited(good(), full + "41 \n", repeat("41 ", 15) + "\n41 41 \n"),
       "line 15: expected an empty"},
      {edited(good(), ":2\n43 \n", ":2\n"), "line 11: empty change block"},
      {edited(good(), "43 \n\n:10", "43 \n:10"), "line 12: expected an empty"},
      {edited(good(), "43 \n\n", "43 \n# note\n\n"), "line 12: expected an empty"},
      // Offsets: form, order, gaps and the input's length.
      {edited(good(), ":2\n", ":02\n"), "line 10: bad offset"},
      {edited(good(), ":10\n", ":1A\n"), "line 13: bad offset"},
      {edited(good(), ":10\n", ":100000000\n"), "line 13: bad offset"},
      {edited(good(), ":10\n", ":\n"), "line 13: bad offset"},
      {edited(good(), ":10\n", ":1\n"), "line 13: block out of order"},
      {edited(good(), ":10\n", ":2\n"), "line 13: block out of order"},
      {edited(good(), ":10\n", ":3\n"), "line 13: block out of order"},
      {edited(good(), ":10\n", ":24\n"), "line 13: offset past the end"},
      {edited(good(), ":10\n", ":15\n"), "line 14: block runs past the end"},
      // Parts missing, misplaced or malformed.
      {edited(good(), "<a.old\n", ""), "line 5: expected the input path"},
      {edited(good(), "<a.old\n", "<\n"), "line 5: empty input path"},
      {edited(good(), "\n\n# read", "\n# read"), "line 4: expected an empty line"},
      {edited(good(), "?" + md5(old_data), "?" + md5(old_data).substr(1)),
       "line 8: expected the input md5"},
      {edited(good(), "?" + md5(old_data), "?" + std::string(32, 'A')),
       "line 8: expected the input md5"},
      {edited(good(), ":2\n43 \n\n:10\n" + full + "41 \n\n", ""),
       "line 11: expected a change block"},
      {edited(good(), "?" + md5(new_data()), md5(new_data())), "line 18: expected the output md5"},
      {edited(good(), "\n# write new file\n", "# write new file\n"), "line 20: expected an empty"},
      {edited(good(), ">script_a.new", "script_a.new"), "line 21: expected the output path"},
      {edited(good(), ">script_a.new", ">"), "line 21: empty output path"},
      // Truncated, extended, or not text at all.
      {"", "script is empty"},
      {good().substr(0, good().size() - 1), "line 21: truncated script"},
      {good().substr(0, good().find(":10")), "line 13: script ends early"},
      {good().substr(0, good().find(full) + 10), "line 14: truncated"},
      {good() + "x\n", "line 22: text after the last line"},
      {good() + "# more\n", "line 22: text after the last line"},
      {good() + "\n", "line 22: text after the last line"},
      {edited(good(), "<a.old", std::string("<a\0.old", 7)), "line 5: NUL byte"},
      {edited(good(), "43 \n", "43 \r\r\n"), "line 11: carriage return"},
      {cr_only, "line 1: truncated script"},
      {edited(good(), "<a.old", "<" + long_path), "line 5: line too long"},
      // A script for other data, or one that does not give the result it promises.
      {edited(good(), "?" + md5(old_data), "?" + md5(new_data())), "input md5 mismatch"},
      {edited(good(), "?" + md5(new_data()), "?" + md5(old_data)), "output md5 mismatch"},
      {edited(good(), "43 \n", "63 \n"), "line 11: value equals the byte it replaces"},
      {edited(good(), full, "41 41 41 74 " + repeat("41 ", 12) + "\n"),
       "line 14: value equals the byte it replaces"},
      // Another input: its fingerprint comes before any fault of the script's, and an
      // input already patched (whose first value equals its byte) is told apart.
      {edited(good(), "43 \n", "63 \n"), "input md5 mismatch", other},
      {edited(good(), "43 \n", "4G \n"), "input md5 mismatch", other},
      {good(), "already patched", new_data()},
  };
  for (const auto& c : cases) {
    for (int way = 0; way < 8; ++way) {
      outcome o = apply(c.script, way, c.input);
      EXPECT_EQ(o.fault.compare(0, c.fault.size(), c.fault), 0)
          << "want \"" << c.fault << "\", got \"" << o.fault << "\"\n"
          << c.script.substr(0, 400);
      EXPECT_EQ(o.result, "");
    }
  }
}

TEST(Reader, StreamsLongScriptsThroughItsWindow) {
  // Over 1 MiB, every byte changed (65,536 full lines) or every other byte (524,288 runs
  // of one value): several window refills, with lines cut at every window boundary.
  for (int stride : {1, 2}) {
    std::string o(1 << 20, '\0'), w(1 << 20, '\0');
    for (size_t i = 0; i < o.size(); ++i)
      o[i] = char(i * 7), w[i] = i % stride == 0 ? char(i * 7 + 1) : o[i];
    std::string script = "\n<o\n\n?" + md5(o) + "\n\n";
    char text[24];
    for (size_t i = 0; i < w.size(); i += stride) {
      if (stride > 1 || i == 0) std::snprintf(text, sizeof text, ":%zx\n", i), script += text;
      std::snprintf(text, sizeof text, "%02X ", (unsigned char)w[i]);
      script += text;
      if (stride > 1 || i % 16 == 15) script += "\n";
      if (stride > 1) script += "\n";
    }
    script += (stride == 1 ? "\n?" : "?") + md5(w) + "\n\n>n\n";
    for (int way = 0; way < 8; way += 2) {  // through the stream, with and without quick or thread
      outcome got = apply(script, way | 1, o);
      EXPECT_EQ(got.fault, "") << stride;
      EXPECT_TRUE(got.result == w) << stride << " " << way;
    }
  }
}

}  // namespace
