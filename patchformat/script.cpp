// The writer of the format that docs/script-format.md sets out: a header naming OLD and
// its MD5, one block per run of differing bytes (":offset", the new bytes as "XX " 16 to
// a line, an empty line), then NEW's MD5 and ">script_NEW". The text is staged in a fixed
// buffer: one formatted call per byte would cost ten times as much on a dense change.
#include "script.h"

#include <cstring>

namespace {

// Output staging: static, like all of the program's data, so nothing is allocated. Writes
// of 1 MiB cost the system less per byte than 64 KiB ones on a 200 MiB script.
std::FILE* out_stream;
char out_buf[1 << 20];
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

// "XX " for every byte value: the value lines are copies from this table. Each entry has
// a spare fourth byte, so that a value is one 4-byte copy; what follows overwrites it.
struct value_table {
  char text[256][4];
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

constexpr int VALUES_PER_LINE = 16;

// "xx" in lowercase for every byte value, as the 16-bit word that holds the two digits in
// memory order: offsets are assembled from these.
struct pair_table {
  uint16_t word[256];
  constexpr pair_table() : word() {
    const char* digits = "0123456789abcdef";
    for (int v = 0; v < 256; ++v)
      word[v] = uint16_t(uint8_t(digits[v >> 4]) | uint8_t(digits[v & 15]) << 8);
  }
};
constexpr pair_table pairs;

// The offset in lowercase hex without leading zeros at p, which has room for 8 bytes;
// returns the end. The eight digits are assembled in one word as they lie in memory,
// highest first (both targets are little-endian: memory's first byte is the word's
// lowest), the leading zeros are shifted out and the word is stored whole. What follows
// overwrites the bytes past the digits.
char* put_offset(char* p, uint32_t offset) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "digits are assembled little-endian");
  uint64_t text =
      uint64_t(pairs.word[offset >> 24]) | uint64_t(pairs.word[offset >> 16 & 0xFF]) << 16 |
      uint64_t(pairs.word[offset >> 8 & 0xFF]) << 32 | uint64_t(pairs.word[offset & 0xFF]) << 48;
  int digits = (32 - __builtin_clz(offset | 1) + 3) / 4;
  text >>= 8 * (8 - digits);
  std::memcpy(p, &text, 8);
  return p + digits;
}

// Room a block takes at its start: ":" and the 8 bytes put_offset stores, then a value
// line with its LF (which overwrites the last copy's spare byte) and the empty line. Each
// later value line takes the same without the offset.
constexpr size_t FIRST_LINES_MAX = 1 + 8 + 3 * VALUES_PER_LINE + 2;
constexpr size_t NEXT_LINE_MAX = 3 * VALUES_PER_LINE + 2;

// The block of the run that starts at start: ":" and the offset, the new bytes as "XX "
// 16 to a line, then the empty line. The run's end is found while its values are written;
// returns it (an equal byte, or length).
int32_t write_block(const unsigned char* old_data, const unsigned char* new_data, int32_t start,
                    int32_t length) {
  char* p = reserve(FIRST_LINES_MAX);
  *p++ = ':';
  p = put_offset(p, uint32_t(start));
  *p++ = '\n';
  int32_t i = start;
  int in_line = 0;
  do {
    std::memcpy(p, values.text[new_data[i]], 4);
    p += 3;
    ++i;
    if (++in_line == VALUES_PER_LINE) {
      *p++ = '\n';
      in_line = 0;
      commit(p);
      p = reserve(NEXT_LINE_MAX);
    }
  } while (i < length && old_data[i] != new_data[i]);
  if (in_line != 0) *p++ = '\n';
  *p++ = '\n';
  commit(p);
  return i;
}

// First offset at or after i where the buffers differ, or length (i itself past it).
// Equal stretches are skipped a word at a time.
int32_t next_difference(const unsigned char* a, const unsigned char* b, int32_t i, int32_t length) {
  if (i < length && a[i] != b[i]) return i;  // runs one equal byte apart: no word to skip
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

  // A run ends at an equal byte or at the end, so the next one starts past that byte; past
  // the end, the search finds nothing and the loop ends.
  for (int32_t i = 0; (i = next_difference(old_data, new_data, i, length)) < length;)
    i = write_block(old_data, new_data, i, length) + 1;

  put_text("# check output md5sum\n?");
  put_text(new_md5);
  put_text("\n\n# write new file\n>script_");
  put_text(new_path);
  put_text("\n");
  flush_out();
}
