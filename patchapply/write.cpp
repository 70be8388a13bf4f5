#include "write.h"

#include <string>

#include "walk.h"

out_fault write_output(const out_request& out, const unsigned char* data, int32_t length) {
  prim_dir dir;
  std::string name;
  switch (walk(out.base, out.path, out.confined, dir, name)) {
    case dir_fault::none:
      break;
    case dir_fault::missing:
      return out_fault::no_folder;
    case dir_fault::link:
      return out_fault::folder_link;
    case dir_fault::denied:
      return out_fault::folder_denied;
  }
  if (name.empty() || name == "." || name == "..") return out_fault::not_regular;  // a folder
  std::string backup = out.backup ? name + ".orig" : "";

  // The link or rename that names a file would refuse a name the file system cannot hold.
  if (!prim_name_fits(dir, name)) return out_fault::name_too_long;
  if (out.backup && !prim_name_fits(dir, backup)) return out_fault::backup_too_long;

  // What stands under the name. A symbolic link counts as existing, even when it leads
  // nowhere. A device, a FIFO or a folder is never replaced: renamed over, a device node
  // would become a plain file.
  prim_entry present = out.in_place ? prim_entry() : prim_entry_of(dir, name);
  if (same_file(present.id, out.input)) return out_fault::is_input;
  if (present.exists && present.other) return out_fault::not_regular;
  if (present.exists && !out.force) return out_fault::exists;
  prim_entry kept = out.backup ? prim_entry_of(dir, backup) : prim_entry();
  if (kept.exists && kept.other) return out_fault::backup_not_regular;
  if (kept.exists && !out.force) return out_fault::backup_exists;
  if (!prim_dir_writable(dir)) return out_fault::not_writable;

  // A backup that already is the input, another link to it, holds the old input as it
  // is: it is kept, and none is made.
  bool make_backup = out.backup && !(kept.exists && !kept.link && same_file(kept.id, out.input));
  // Every name the write would remove or rename away, the folder must let go: else the
  // write would fail halfway, with names made that could not be taken back.
  bool replaces = out.in_place || present.exists;
  bool replaces_backup = make_backup && kept.exists;
  if (prim_dir_append_only(dir) && (replaces || replaces_backup || !prim_dir_unnamed(dir)))
    return out_fault::append_only;
  if (replaces && !prim_may_replace(dir, name)) return out_fault::not_replaceable;
  if (replaces_backup && !prim_may_replace(dir, backup)) return out_fault::backup_not_replaceable;
  if (out.check_only) return out_fault::none;

  switch (prim_commit(dir, name, make_backup ? backup : "", out.force, out.in_place, out.attrs,
                      data, length)) {
    case commit_fault::none:
      return out_fault::none;
    case commit_fault::not_writable:
      return out_fault::not_writable;
    case commit_fault::exists:
      return out_fault::exists;
    case commit_fault::backup_exists:
      return out_fault::backup_exists;
    case commit_fault::write:
      break;
  }
  return out_fault::write;
}
