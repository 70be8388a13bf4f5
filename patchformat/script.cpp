// The writer of the format that docs/script-format.md sets out: a header naming OLD and
// its MD5, one block per run of differing bytes (":offset", the new bytes as "XX " 16 to
// a line, an empty line), then NEW's MD5 and ">script_NEW". The text is staged in a fixed
// buffer: one formatted call per byte would cost ten times as much on a dense change.
#include "script.h"

#include <cstring>

namespace {

// Output staging: static, like all of the program's data, so nothing is allocated.
std::FILE* out_stream;
char out_buf[1 << 16];
size_t out_used;

void emit(const char* s, size_t n) {
  if (n != 0 && !std::ferror(out_stream)) std::fwrite(s, 1, n, out_stream);
}

void flush_out() {
  emit(out_buf, out_used);
  out_used = 0;
}

void put_bytes(const char* s, size_t n) {
  if (n > sizeof out_buf - out_used) {
    flush_out();
    if (n > sizeof out_buf) return emit(s, n);  // a very long path goes out directly
  }
  std::memcpy(out_buf + out_used, s, n);
  out_used += n;
}

void put_text(const char* s) { put_bytes(s, std::strlen(s)); }

// Room for at least n more bytes, for the formatting loops to fill directly; they hand
// back the end of what they wrote.
char* reserve(size_t n) {
  if (n > sizeof out_buf - out_used) flush_out();
  return out_buf + out_used;
}
void commit(const char* end) { out_used = size_t(end - out_buf); }

// "XX " for every byte value: the value lines are copies from this table.
struct value_table {
  char text[256][3];
  constexpr value_table() : text() {
    const char* digits = "0123456789ABCDEF";
    for (int v = 0; v < 256; ++v) {
      text[v][0] = digits[v >> 4];
      text[v][1] = digits[v & 15];
      text[v][2] = ' ';
    }
  }
};
constexpr value_table values;

constexpr int32_t VALUES_PER_LINE = 16;

// ":%x\n" of the run's start, then its new bytes in lines of 16, then the empty line.
void write_block(const unsigned char* new_data, int32_t start, int32_t end) {
  char* p = reserve(16);
  *p++ = ':';
  char hex[8];
  int n = 0;
  uint32_t offset = uint32_t(start);
  do {
    hex[n++] = "0123456789abcdef"[offset & 15];
    offset >>= 4;
  } while (offset != 0);
  while (n > 0) *p++ = hex[--n];
  *p++ = '\n';
  commit(p);

  for (int32_t i = start; i < end; i += VALUES_PER_LINE) {
    int32_t line_end = end - i < VALUES_PER_LINE ? end : i + VALUES_PER_LINE;
    p = reserve(3 * VALUES_PER_LINE + 1);
    for (int32_t j = i; j < line_end; ++j, p += 3) std::memcpy(p, values.text[new_data[j]], 3);
    *p++ = '\n';
    commit(p);
  }
  put_bytes("\n", 1);
}

// First offset at or after i where the buffers differ, or length. Equal stretches are
// skipped a word at a time.
int32_t next_difference(const unsigned char* a, const unsigned char* b, int32_t i, int32_t length) {
  for (; length - i >= 8; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) break;
  }
  while (i < length && a[i] == b[i]) ++i;
  return i;
}

}  // namespace

void write_patch_script(std::FILE* out, const char* old_path, const char* new_path,
                        const unsigned char* old_data, const unsigned char* new_data,
                        int32_t length, const char* old_md5, const char* new_md5,
                        const char* stamp) {
  out_stream = out;
  out_used = 0;
  put_text("# patch script: ");
  put_text(old_path);
  put_text(" -> ");
  put_text(new_path);
  put_text("\n# generated at ");
  put_text(stamp);
  put_text(" \n\n# read old file\n<");
  put_text(old_path);
  put_text("\n\n# check input md5sum\n?");
  put_text(old_md5);
  put_text("\n\n");

  int32_t i = next_difference(old_data, new_data, 0, length);
  while (i < length) {
    int32_t end = i;
    while (end < length && old_data[end] != new_data[end]) ++end;
    write_block(new_data, i, end);
    i = next_difference(old_data, new_data, end, length);
  }

  put_text("# check output md5sum\n?");
  put_text(new_md5);
  put_text("\n\n# write new file\n>script_");
  put_text(new_path);
  put_text("\n");
  flush_out();
}
