// libFuzzer target for the script writer and reader. The input's first half is the old
// data and its second half the new; the writer's script must follow the format, apply
// to the old data to give the new, and carry both right fingerprints, as the product's
// reader and applier find. The input is also read as a script in its own right, which
// must end in a fault or a result, never a crash, and the same with the reader's quick
// path for the change blocks, one value line a call or many, as without it; so must the
// writer's script with one byte changed. The writer's script is applied hashing on a
// second thread and without one.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "applied.h"
#include "md5.h"
#include "md5_seam.h"
#include "reader.h"
#include "script.h"

namespace {
// Arbitrary text through the reader, against data of its own length: what it reads, as
// text, up to the fault or the end. batch: value lines a call, 0 for line by line only.
std::string read_as_script(const unsigned char* data, size_t size, int batch) {
  reader r;
  reader_open(r, reinterpret_cast<const char*>(data), size);
  r.length = int32_t(size);
  r.quick = batch > 0;
  script_head head;
  script_values values[7];
  script_tail tail;
  std::string seen;
  if (read_head(r, head)) {
    seen = head.old_path + '\n' + head.old_md5;
    for (int n; (n = read_batch(r, values, batch > 0 ? batch : 1)) > 0;) {
      for (int i = 0; i < n; ++i) {
        const script_values& v = values[i];
        if (v.offset + v.count > r.length || v.line > r.line) std::abort();
        seen += '\n' + std::to_string(v.line) + ' ' + std::to_string(v.offset) + ':';
        seen.append(reinterpret_cast<const char*>(v.bytes), size_t(v.count));
      }
    }
    if (r.fault.empty() && read_tail(r, tail))
      seen += '\n' + std::string(tail.new_md5) + tail.new_path;
  }
  return seen + '\n' + r.fault;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  // The change blocks' quick reader must read exactly what the line-by-line one reads.
  std::string line_by_line = read_as_script(data, size, 0);
  if (read_as_script(data, size, 1) != line_by_line ||
      read_as_script(data, size, 7) != line_by_line)
    std::abort();
  size_t half = size / 2;
  if (half == 0 || std::string(data, data + half) == std::string(data + half, data + 2 * half))
    return -1;  // outside the writer's contract: empty or identical data
  const unsigned char* old_data = data;
  const unsigned char* new_data = data + half;

  char old_md5[33], new_md5[33];
  if (md5_hex(old_data, int32_t(half), old_md5) != 0 ||
      md5_hex(new_data, int32_t(half), new_md5) != 0)
    std::abort();

  char* text = nullptr;
  size_t text_size = 0;
  std::FILE* out = open_memstream(&text, &text_size);
  write_patch_script(out, "old file", "dir/new file", old_data, new_data, int32_t(half), old_md5,
                     new_md5, "2026/12/08 05:00:00");
  if (std::ferror(out)) std::abort();
  std::fclose(out);
  std::string script(text, text_size);
  std::free(text);

  // The script with one byte changed, where and how the input's bytes say: a fault, or
  // none, among the lines the quick reader takes, which it must leave to the
  // line-by-line path exactly as that path would read it.
  std::string damaged = script;
  char& changed = damaged[(size_t(data[0]) << 8 | data[half - 1]) % damaged.size()];
  unsigned char how = data[size - 1];  // one up or down (a digit's neighbour), or any byte
  changed = how < 128 ? char(changed + (how & 1 ? 1 : -1)) : char(how);
  const auto* bytes = reinterpret_cast<const unsigned char*>(damaged.data());
  std::string slow = read_as_script(bytes, damaged.size(), 0);
  if (read_as_script(bytes, damaged.size(), 1) != slow ||
      read_as_script(bytes, damaged.size(), 7) != slow)
    std::abort();

  std::vector<unsigned char> old_bytes(old_data, old_data + half), result;
  script_fields fields;
  apply_thread_from = int32_t(size % 2 == 0 ? 0 : 1 << 20);  // half the inputs on two threads
  std::string fault = apply_script(script, old_bytes, result, fields);
  if (fault.empty() && result != std::vector<unsigned char>(new_data, new_data + half))
    fault = "applied script gives other data";
  if (fault.empty() && (fields.old_path != "old file" || fields.new_path != "dir/new file"))
    fault = "paths changed";
  if (!fault.empty()) {
    std::fprintf(stderr, "script fault: %s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
