// The reader's byte tests on many bytes at once: 16 bytes a step with SSE2 (x86-64) or
// NEON (arm64), one byte a step elsewhere. Each function gives the same answer on
// every target; the reader keeps every fault to its line-by-line path.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON) && defined(__aarch64__)
#include <arm_neon.h>
#endif

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "offsets are read as little-endian words");

// Value of a hex digit whose letters start at ten, or 0xFF for any other byte.
struct digit_table {
  unsigned char value[256];
  constexpr explicit digit_table(int ten) : value() {
    for (int c = 0; c < 256; ++c) value[c] = 0xFF;
    for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<unsigned char>(c - '0');
    for (int c = ten; c < ten + 6; ++c) value[c] = static_cast<unsigned char>(c - ten + 10);
  }
};
inline constexpr digit_table upper_digits('A');  // values are "XX " only
inline constexpr digit_table lower_digits('a');  // offsets and fingerprints

#if defined(__SSE2__)

constexpr bool lanes_vector = true;

// Bytes of x in [lo, hi], as 0xFF lanes. Both bounds are below 0x80, so the signed
// compare turns bytes of 0x80 and above away too.
inline __m128i lanes_in(__m128i x, char lo, char hi) {
  return _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(char(lo - 1))),
                       _mm_cmplt_epi8(x, _mm_set1_epi8(char(hi + 1))));
}

// One 16-byte third of a full value line, as 0xFF lanes where it holds what it should:
// a hex digit where spaces has 0, a space where it has 0xFF.
inline __m128i lanes_row_part(const char* p, __m128i spaces) {
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i hex = _mm_or_si128(lanes_in(x, '0', '9'), lanes_in(x, 'A', 'F'));
  __m128i space = _mm_cmpeq_epi8(x, _mm_set1_epi8(' '));
  return _mm_or_si128(_mm_andnot_si128(spaces, hex), _mm_and_si128(spaces, space));
}

// True when p[0..48) is sixteen "XX " (uppercase hex digits and a space).
inline bool lanes_full_row(const char* p) {
  const __m128i s0 = _mm_setr_epi8(0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0);
  const __m128i s1 = _mm_setr_epi8(0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0);
  const __m128i s2 = _mm_setr_epi8(-1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1);
  __m128i ok = _mm_and_si128(_mm_and_si128(lanes_row_part(p, s0), lanes_row_part(p + 16, s1)),
                             lanes_row_part(p + 32, s2));
  return _mm_movemask_epi8(ok) == 0xFFFF;
}

// How many of p[0..16) lead as lowercase hex digits (0 to 16).
inline int lanes_lower_hex(const char* p) {
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i hex = _mm_or_si128(lanes_in(x, '0', '9'), lanes_in(x, 'a', 'f'));
  return __builtin_ctz(unsigned(_mm_movemask_epi8(hex)) ^ 0x1FFFFu);
}

// Whether p[0..16) starts with a run of one value, closed: ":", n (1 to 8) lowercase hex
// digits, LF, "XX ", LF and LF. Returns n, or 0 for anything else.
inline int lanes_short_run(const char* p) {
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i digit = lanes_in(x, '0', '9');
  unsigned lower = unsigned(_mm_movemask_epi8(_mm_or_si128(digit, lanes_in(x, 'a', 'f'))));
  unsigned upper = unsigned(_mm_movemask_epi8(_mm_or_si128(digit, lanes_in(x, 'A', 'F'))));
  unsigned lf = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('\n'))));
  unsigned space = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8(' '))));
  int n = __builtin_ctz(~(lower >> 1));
  if (p[0] != ':' || n == 0 || n > 8) return 0;
  int k = n + 1;  // the offset line's LF, then the value's digits, its space and two LFs
  bool ok = ((lf >> k) & 0x31) == 0x31 && ((upper >> k) & 0x6) == 0x6 && ((space >> k) & 0x8);
  return ok ? n : 0;
}

#elif defined(__ARM_NEON) && defined(__aarch64__)

constexpr bool lanes_vector = true;

// The lanes of c (each 0 or 0xFF) as a 64-bit word of four bits a byte.
inline uint64_t lanes_bits(uint8x16_t c) {
  return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(c), 4)), 0);
}

inline uint8x16_t lanes_in(uint8x16_t x, unsigned char lo, unsigned char hi) {
  return vcleq_u8(vsubq_u8(x, vdupq_n_u8(lo)), vdupq_n_u8(static_cast<unsigned char>(hi - lo)));
}

inline bool lanes_full_row(const char* p) {
  static const unsigned char spaces[48] = {0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF,
                                           0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF,
                                           0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF,
                                           0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF};
  uint8x16_t all = vdupq_n_u8(0xFF);
  for (int i = 0; i < 48; i += 16) {
    uint8x16_t x = vld1q_u8(reinterpret_cast<const uint8_t*>(p + i));
    uint8x16_t want = vld1q_u8(spaces + i);
    uint8x16_t hex = vorrq_u8(lanes_in(x, '0', '9'), lanes_in(x, 'A', 'F'));
    uint8x16_t space = vceqq_u8(x, vdupq_n_u8(' '));
    all = vandq_u8(all, vbslq_u8(want, space, hex));
  }
  return vminvq_u8(all) == 0xFF;
}

inline int lanes_lower_hex(const char* p) {
  uint8x16_t x = vld1q_u8(reinterpret_cast<const uint8_t*>(p));
  uint8x16_t hex = vorrq_u8(lanes_in(x, '0', '9'), lanes_in(x, 'a', 'f'));
  uint64_t mask = lanes_bits(hex);
  return mask == ~uint64_t(0) ? 16 : __builtin_ctzll(~mask) / 4;
}

inline int lanes_short_run(const char* p) {
  uint8x16_t x = vld1q_u8(reinterpret_cast<const uint8_t*>(p));
  uint8x16_t digit = lanes_in(x, '0', '9');
  uint64_t lower = lanes_bits(vorrq_u8(digit, lanes_in(x, 'a', 'f')));
  uint64_t upper = lanes_bits(vorrq_u8(digit, lanes_in(x, 'A', 'F')));
  uint64_t lf = lanes_bits(vceqq_u8(x, vdupq_n_u8('\n')));
  uint64_t space = lanes_bits(vceqq_u8(x, vdupq_n_u8(' ')));
  int n = __builtin_ctzll(~(lower >> 4)) / 4;
  if (p[0] != ':' || n == 0 || n > 8) return 0;
  int k = 4 * (n + 1);  // four bits a byte
  bool ok = ((lf >> k) & 0xFF000F) == 0xFF000F && ((upper >> k) & 0xFF0) == 0xFF0 &&
            ((space >> k) & 0xF000) == 0xF000;
  return ok ? n : 0;
}

#else

constexpr bool lanes_vector = false;

// Without a vector unit the byte-a-step path reads these lines.
inline bool lanes_full_row(const char*) { return false; }
inline int lanes_short_run(const char*) { return 0; }

inline int lanes_lower_hex(const char* p) {
  int n = 0;
  while (n < 16 && lower_digits.value[static_cast<unsigned char>(p[n])] <= 15) ++n;
  return n;
}

#endif

// The value of the n (1 to 8) lowercase hex digits at p, which has 8 bytes readable:
// every digit's value in its byte, the last digit's byte first, then the bytes' low
// halves joined pairwise, three times.
inline uint32_t lanes_hex_value(const char* p, int n) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  // '0' to '9' are 0x30 to 0x39, 'a' to 'f' 0x61 to 0x66: the low half, plus 9 for a letter.
  v = (v & 0x0F0F0F0F0F0F0F0FULL) + ((v >> 6) & 0x0101010101010101ULL) * 9;
  v = __builtin_bswap64(v << 8 * (8 - n));  // the bytes past the digits gone
  v = (v | v >> 4) & 0x00FF00FF00FF00FFULL;
  v = (v | v >> 8) & 0x0000FFFF0000FFFFULL;
  return uint32_t(v | v >> 16);
}
