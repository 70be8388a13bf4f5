#include "reader.h"

#include <cassert>
#include <cstddef>
#include <cstring>

#include "lanes.h"

namespace {

// A value's two digits, read as one little-endian 16-bit word, to the value, or 0x100
// when either is not an uppercase hex digit.
struct pair_table {
  uint16_t value[1 << 16];
  constexpr pair_table() : value() {
    for (int i = 0; i < (1 << 16); ++i) {
      unsigned hi = upper_digits.value[i & 0xFF], lo = upper_digits.value[i >> 8];
      value[i] = static_cast<uint16_t>(hi > 15 || lo > 15 ? 0x100 : hi << 4 | lo);
    }
  }
};
constexpr pair_table pairs;

unsigned pair_value(const char* p) {
  return pairs.value[static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[1]) << 8];
}

bool lower_hex(char c) { return lower_digits.value[static_cast<unsigned char>(c)] <= 15; }

std::string number(int64_t n) { return std::to_string(n); }

// Moves the unread text to the front of the window and fills the rest from the stream.
bool refill(reader& r) {
  size_t kept = size_t(r.end - r.next);
  std::memmove(r.window.data(), r.next, kept);
  size_t got = std::fread(r.window.data() + kept, 1, r.window.size() - kept, r.stream);
  if (got == 0 && std::ferror(r.stream)) {
    r.fault = "script read failed";
    return false;
  }
  if (got == 0) r.at_eof = true;
  r.next = r.window.data();
  r.end = r.next + kept + got;
  return true;
}

enum class got { line, eof, fault };

// The next line, without its LF and a CR before it.
got fetch(reader& r, const char*& s, size_t& n) {
  const char* lf;
  while ((lf = static_cast<const char*>(std::memchr(r.next, '\n', size_t(r.end - r.next)))) ==
         nullptr) {
    if (size_t(r.end - r.next) > READER_LINE_MAX) {
      ++r.line;
      return reader_fail(r, "line too long"), got::fault;
    }
    if (r.at_eof || r.stream == nullptr) {
      if (r.next == r.end) return got::eof;
      ++r.line;
      // A last line without its newline may have lost the rest of its text, such as the
      // end of the output path.
      return reader_fail(r, "truncated script: the last line has no newline"), got::fault;
    }
    if (!refill(r)) return got::fault;
  }
  ++r.line;
  s = r.next;
  n = size_t(lf - r.next);
  r.next = lf + 1;
  if (n > READER_LINE_MAX) return reader_fail(r, "line too long"), got::fault;
  if (n > 0 && s[n - 1] == '\r') --n;
  return got::line;
}

// Refuses a line holding a NUL or a CR. Value lines skip this test, since their bytes
// are checked one by one; the other lines all pass through it.
bool plain(reader& r, const char* s, size_t n) {
  if (std::memchr(s, '\0', n) != nullptr) return reader_fail(r, "NUL byte");
  if (std::memchr(s, '\r', n) != nullptr) return reader_fail(r, "carriage return inside the line");
  return true;
}

// The next line that is not a comment. At the end of the script, the fault early: what
// was expected there.
bool next_part(reader& r, const char*& s, size_t& n, const char* early) {
  for (;;) {
    got g = fetch(r, s, n);
    if (g == got::fault) return false;
    if (g == got::eof && r.line == 0) return r.fault = "script is empty", false;
    if (g == got::eof) {
      ++r.line;
      return reader_fail(r, early);
    }
    if (!plain(r, s, n)) return false;
    if (n == 0 || s[0] != '#') return true;
    if (r.comments != nullptr) r.comments->emplace_back(s, n);
  }
}

bool empty_line(reader& r) {
  const char* s;
  size_t n;
  if (!next_part(r, s, n, "script ends early, expected an empty line")) return false;
  return n == 0 || reader_fail(r, "expected an empty line");
}

bool md5_line(const char* s, size_t n, char* md5) {
  if (n != 33 || s[0] != '?') return false;
  for (size_t i = 1; i < n; ++i)
    if (!lower_hex(s[i])) return false;
  std::memcpy(md5, s + 1, 32);
  md5[32] = '\0';
  return true;
}

// A path line of this kind ('<' or '>'); the faults when the line is another or the path empty.
bool path_line(reader& r, const char* s, size_t n, char kind, std::string& path, const char* other,
               const char* empty) {
  if (n == 0 || s[0] != kind) return reader_fail(r, other);
  if (n == 1) return reader_fail(r, empty);
  path.assign(s + 1, n - 1);
  return true;
}

// ":" and the run's offset: lowercase hex without leading zeros, at most 8 digits.
bool offset_line(reader& r, const char* s, size_t n) {
  bool ok = n >= 2 && n <= 9 && (n == 2 || s[1] != '0');
  int64_t offset = 0;
  for (size_t i = 1; ok && i < n; ++i) {
    ok = lower_hex(s[i]);
    offset = offset * 16 + lower_digits.value[static_cast<unsigned char>(s[i])];
  }
  if (!ok) return reader_fail(r, "bad offset");
  if (offset < r.next_free)
    return reader_fail(r, "block out of order, overlapping or next to the one before");
  if (offset >= r.length) return reader_fail(r, "offset past the end of the input");
  r.at = r.run_start = offset;
  return true;
}

// Decodes a value line of 1 to 16 "XX " into values.bytes.
bool value_line(reader& r, const char* s, size_t n, script_values& values) {
  if (r.run_closing)
    return plain(r, s, n) && reader_fail(r, "expected an empty line after a short value line");
  if (n % 3 != 0 || n > 48)
    return plain(r, s, n) && reader_fail(r, "value line is not 1 to 16 values \"XX \"");
  unsigned bad = 0;
  for (size_t k = 0; k < n / 3; ++k) {
    unsigned v = pair_value(s + 3 * k);
    bad |= v | (s[3 * k + 2] != ' ' ? 0x100 : 0);
    values.bytes[k] = static_cast<unsigned char>(v);
  }
  return bad <= 0xFF ||
         (plain(r, s, n) && reader_fail(r, "bad value (two uppercase hex digits and a space)"));
}

// Past an LF or a CR LF at p, or nullptr. The caller has made sure two bytes are there.
const char* past_line_end(const char* p) {
  if (*p == '\n') return p + 1;  // the writer's own line end, tested first
  return p[0] == '\r' && p[1] == '\n' ? p + 2 : nullptr;
}

// Past ":" and the offset's line at p, with the offset in *offset, or nullptr when the
// line is not 1 to 8 lowercase hex digits without a leading zero. Reads at most 17 bytes.
const char* offset_text(const char* p, int64_t* offset) {
  if (*p != ':') return nullptr;
  int n = lanes_lower_hex(p + 1);
  if (n == 0 || n > 8 || (n > 1 && p[1] == '0')) return nullptr;
  *offset = lanes_hex_value(p + 1, n);
  return past_line_end(p + 1 + n);
}

// Past a value line at p, 1 to 16 "XX ", with its bytes in values, or nullptr. Reads at
// most 50 bytes.
const char* values_text(const char* p, script_values& values) {
  // A full line, the dense scripts' line, is checked whole, leaving only the decoding; a
  // look at its end first keeps that check from the short lines.
  if (p[47] == ' ' && (p[48] == '\n' || p[48] == '\r') && lanes_full_row(p)) {
    for (int k = 0; k < 16; ++k)
      values.bytes[k] = static_cast<unsigned char>(pair_value(p + std::ptrdiff_t(3) * k));
    values.count = 16;
    return past_line_end(p + 48);
  }
  unsigned first = pair_value(p);
  if (first > 0xFF || p[2] != ' ') return nullptr;
  values.bytes[0] = static_cast<unsigned char>(first);
  if (p[3] == '\n') {  // one value: the line of a script whose changes are single bytes
    values.count = 1;
    return p + 4;
  }
  int count = 1;
  for (p += 3; count < 16; ++count, p += 3) {
    unsigned v = pair_value(p);
    if (v > 0xFF || p[2] != ' ') break;
    values.bytes[count] = static_cast<unsigned char>(v);
  }
  values.count = count;
  return past_line_end(p);
}

// Room the quick reader needs in the buffered text for one value: a run's empty line, an
// offset line and a value line, each with CR LF.
constexpr std::ptrdiff_t QUICK_TEXT_MAX = 2 + 11 + 50;

// The change blocks' common lines, many in one pass, while the buffered text holds the
// longest they can be: a run's empty line, the next run's offset line and value lines.
// It takes only well-formed lines, exactly as the general path would, and leaves
// anything else (a comment, the output md5, any fault, the window's last bytes) to the
// general path, which reads that line afresh and names the fault. Returns how many value
// lines it read into values, at most max. The reader's state is kept in locals
// meanwhile, so that the loop is not held back by stores to it.
int quick_values(reader& r, script_values* values, int max) {
  const char* p = r.next;
  const char* const end = r.end;
  int64_t at = r.at, run_start = r.run_start, next_free = r.next_free, line = r.line;
  const int64_t length = r.length;
  bool closing = r.run_closing;
  int blocks = r.blocks, n = 0;
  while (n < max && end - p >= QUICK_TEXT_MAX) {
    if (at > run_start) {  // in a run with values: an empty line may close it
      const char* after = past_line_end(p);
      if (after != nullptr) {
        // Runs are at least one unchanged byte apart.
        next_free = at + 1;
        at = -1;
        closing = false;
        ++blocks;
        p = after;
        ++line;
      } else if (closing) {
        break;
      }
    }
    if (at < 0) {
      // A run of one value, closed, in one step: the line of a script whose changes are
      // single bytes apart, where the line by line steps cost the most.
      int digits = lanes_short_run(p);
      if (digits > 0 && (digits == 1 || p[1] != '0')) {
        int64_t offset = lanes_hex_value(p + 1, digits);
        if (offset >= next_free && offset < length) {
          script_values& v = values[n++];
          v.offset = int32_t(offset);
          v.count = 1;
          v.bytes[0] = static_cast<unsigned char>(pair_value(p + digits + 2));
          v.line = line + 2;
          line += 3;
          next_free = offset + 2;
          ++blocks;
          p += digits + 7;
          continue;
        }
      }
      int64_t offset;
      const char* after = offset_text(p, &offset);
      if (after == nullptr || offset < next_free || offset >= length) break;
      at = run_start = offset;
      p = after;
      ++line;
    }
    script_values& v = values[n];
    const char* after = values_text(p, v);
    if (after == nullptr || at + v.count > length) break;
    p = after;
    v.offset = int32_t(at);
    v.line = ++line;
    at += v.count;
    closing = v.count < 16;
    ++n;
  }
  r.next = p;
  r.at = at;
  r.run_start = run_start;
  r.next_free = next_free;
  r.line = line;
  r.run_closing = closing;
  r.blocks = blocks;
  return n;
}

// After a run's empty line: runs are at least one unchanged byte apart.
void close_run(reader& r) {
  r.next_free = r.at + 1;
  r.at = -1;
  r.run_closing = false;
  ++r.blocks;
}

// The change blocks line by line, for what the quick reader leaves. Kept out of line, so
// that read_values, which tries the quick reader first, stays small.
[[gnu::noinline]] bool general_values(reader& r, script_values& values) {
  const char* s;
  size_t n;
  for (;;) {
    if (r.at < 0) {
      // Between runs: the next part is a run's offset, or the output fingerprint.
      if (!next_part(r, s, n, "script ends early, expected a change block or the output md5"))
        return false;
      if (n == 0 || s[0] != ':') {
        if (r.blocks == 0) return reader_fail(r, "expected a change block (a \":\" line)");
        r.pending.assign(s, n);
        r.has_pending = true;
        return false;
      }
      if (!offset_line(r, s, n)) return false;
    }
    got g = fetch(r, s, n);
    if (g == got::fault) return false;
    if (g == got::eof) {
      ++r.line;
      return reader_fail(r, "script ends early, inside a change block");
    }
    if (n == 0) {
      if (r.at == r.run_start) return reader_fail(r, "empty change block");
      close_run(r);
      continue;
    }
    if (!value_line(r, s, n, values)) return false;
    int count = int(n / 3);
    if (r.at + count > r.length) return reader_fail(r, "block runs past the end of the input");
    values.offset = int32_t(r.at);
    values.count = count;
    values.line = r.line;
    r.at += count;
    r.run_closing = count < 16;
    return true;
  }
}

}  // namespace

bool reader_fail(reader& r, const std::string& what) {
  if (r.fault.empty()) r.fault = "line " + number(r.line) + ": " + what;
  return false;
}

bool reader_fail_at(reader& r, int64_t line, const std::string& what) {
  r.fault = "line " + number(line) + ": " + what;
  return false;
}

void reader_open(reader& r, std::FILE* stream) {
  r = reader();
  r.stream = stream;
  r.window.resize(2 * READER_LINE_MAX);
  r.next = r.end = r.window.data();
}

void reader_open(reader& r, const char* text, size_t size) {
  r = reader();
  r.next = text;
  r.end = text + size;
  r.at_eof = true;
}

bool read_head(reader& r, script_head& head) {
  const char* s;
  size_t n;
  if (!empty_line(r) || !next_part(r, s, n, "script ends early, expected the input path") ||
      !path_line(r, s, n, '<', head.old_path, "expected the input path (a \"<\" line)",
                 "empty input path") ||
      !empty_line(r) || !next_part(r, s, n, "script ends early, expected the input md5"))
    return false;
  if (!md5_line(s, n, head.old_md5))
    return reader_fail(r, "expected the input md5 (\"?\" and 32 lowercase hex digits)");
  return empty_line(r);
}

int read_batch(reader& r, script_values* values, int max) {
  int n = r.quick ? quick_values(r, values, max) : 0;
  return n > 0 ? n : general_values(r, values[0]) ? 1 : 0;
}

int64_t reader_rest(const reader& r) {
  bool whole = r.at_eof || r.stream == nullptr || std::feof(r.stream) != 0;
  return whole ? int64_t(r.end - r.next) : -1;
}

bool read_values(reader& r, script_values& values) { return read_batch(r, &values, 1) == 1; }

bool read_tail(reader& r, script_tail& tail) {
  // Only after read_values returned false without a fault: no script reaches here otherwise.
  assert(r.has_pending);
  if (!md5_line(r.pending.data(), r.pending.size(), tail.new_md5))
    return reader_fail(r, "expected the output md5 (\"?\" and 32 lowercase hex digits)");
  const char* s;
  size_t n;
  if (!empty_line(r) || !next_part(r, s, n, "script ends early, expected the output path") ||
      !path_line(r, s, n, '>', tail.new_path, "expected the output path (a \">\" line)",
                 "empty output path"))
    return false;
  got g = fetch(r, s, n);
  if (g == got::fault) return false;
  return g == got::eof || reader_fail(r, "text after the last line");
}
