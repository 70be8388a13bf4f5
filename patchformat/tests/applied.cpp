#include "applied.h"

#include "apply.h"
#include "reader.h"

std::string apply_script(const std::string& script, const std::vector<unsigned char>& old_data,
                         std::vector<unsigned char>& result, script_fields& fields) {
  reader r;
  reader_open(r, script.data(), script.size());
  std::vector<std::string> comments;
  r.comments = &comments;
  script_head head;
  script_tail tail;
  result = old_data;
  if (!read_head(r, head)) return r.fault;
  if (apply_body(r, head, result.data(), int32_t(result.size()), tail) != apply_fault::none)
    return r.fault.empty() ? "fingerprint mismatch" : r.fault;
  fields.old_path = head.old_path;
  fields.old_md5 = head.old_md5;
  fields.new_md5 = tail.new_md5;
  fields.blocks = r.blocks;
  if (tail.new_path.compare(0, 7, "script_") != 0) return "output path without script_";
  fields.new_path = tail.new_path.substr(7);

  const std::string stamped = "# generated at ";
  if (comments.size() != 6 || comments[1].compare(0, stamped.size(), stamped) != 0 ||
      comments[1].back() != ' ')
    return "comment lines are not the writer's";
  fields.stamp = comments[1].substr(stamped.size(), comments[1].size() - stamped.size() - 1);
  const std::vector<std::string> want = {
      "# patch script: " + fields.old_path + " -> " + fields.new_path,
      comments[1],
      "# read old file",
      "# check input md5sum",
      "# check output md5sum",
      "# write new file"};
  return comments == want ? "" : "comment lines are not the writer's";
}
