// Reading a patch script as a stream: the one parser of the format, shared by the
// applier, the writer's tests and the fuzz target. The script is never held whole; a
// dense 98 MiB script passes through a 256 KiB window.
//
// Only LF ends a line (one CR before it is dropped, so CR LF scripts read the same).
// Comment lines ("#...") are skipped wherever a part may start, so the comment parts may
// be reworded, left out or joined by more; inside a change block they are faults. Every
// other rule of the format is enforced, and a fault names its line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Longest line read; a longer one is a fault. Paths on either target fit well within it.
constexpr size_t READER_LINE_MAX = 1 << 17;

struct reader {
  // Where the text comes from: a stream, or a whole text in memory.
  std::FILE* stream = nullptr;
  std::vector<char> window;                      // the stream's unread text, when reading from one
  const char* next = nullptr;                    // first unread byte
  const char* end = nullptr;                     // end of what is buffered
  bool at_eof = false;                           // the stream has no more to give
  int64_t line = 0;                              // number of the line last read, from 1
  std::string fault;                             // the first fault, "line N: ..." or a read error
  std::vector<std::string>* comments = nullptr;  // when set, each comment line's text
  bool quick = true;  // false: the change blocks line by line only (tests compare the two)

  // Progress through the body (change blocks).
  int32_t length = 0;        // the input's length: no value may lie at or past it
  int64_t next_free = 0;     // first offset the next run may start at
  int64_t run_start = 0;     // offset of the current run's first value
  int64_t at = -1;           // offset of the next value in the current run; -1 between runs
  bool run_closing = false;  // a short value line was read, so the run's empty line is due
  int blocks = 0;            // change blocks finished
  std::string pending;       // the first line after the blocks, kept for read_tail
  bool has_pending = false;
};

// The parts before the change blocks.
struct script_head {
  std::string old_path;  // text of the "<" line after its "<"
  char old_md5[33] = "";
};

// One value line of a change block: up to 16 new bytes from offset on.
struct script_values {
  int64_t line = 0;  // the value line's number
  int32_t offset = 0;
  int count = 0;
  unsigned char bytes[16] = {};
};

// The parts after the change blocks.
struct script_tail {
  char new_md5[33] = "";
  std::string new_path;  // text of the ">" line after its ">"
};

// Starts reading from stream, or from text[0..size), which must outlive the reader.
void reader_open(reader& r, std::FILE* stream);
void reader_open(reader& r, const char* text, size_t size);

// Reads the parts up to the input fingerprint and its empty line. False on a fault
// (r.fault says which).
bool read_head(reader& r, script_head& head);

// Reads the next value line of the change blocks, checking it against the input's
// length (set r.length first). False when the blocks are over (r.fault empty) or on a
// fault. Runs must ascend with at least one unchanged byte between them.
bool read_values(reader& r, script_values& values);

// The size of the script's unread text when all of it is buffered, else -1.
int64_t reader_rest(const reader& r);

// Reads value lines as read_values does, up to max of them, into values[0..n), and
// returns n: 0 when the blocks are over or on a fault. A fault stops a batch before the
// line it is on, so a batch with values holds no fault yet; the next call names it.
int read_batch(reader& r, script_values* values, int max);

// Reads the output fingerprint, the output path and the end of the script, after
// read_values returned false without a fault. False on a fault.
bool read_tail(reader& r, script_tail& tail);

// Sets r.fault to "line N: what" for the line last read, unless a fault is set already,
// and returns false.
bool reader_fail(reader& r, const std::string& what);

// Sets r.fault to "line N: what" for line, in place of any fault read after it, and
// returns false: for a value from a batch found wrong once the batch was read.
bool reader_fail_at(reader& r, int64_t line, const std::string& what);
