# apt steps shared by tools/deps, tools/wine-root, tools/cross-root and tools/jemalloc
# (sourced, not run). An archive's indexes can be mid-sync for hours, and apt-get update
# then exits 100 over one index that nobody needs: the update is retried, then passed
# with a warning, and only an install that fails stops the run.

# apt_update WHO APT-GET...: runs "APT-GET... update" up to 3 times, with a pause
# between; if every try left indexes out, warns with the ones that failed and goes on.
apt_update() {
  local who=$1 log try
  shift
  log=$(mktemp)
  for try in 1 2 3; do
    if "$@" update -q >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    [ "$try" -lt 3 ] && sleep $((try * 5))
  done
  echo "$who: warning: apt-get update failed 3 times; going on without these indexes:" >&2
  if grep -qE '^[EW]: Failed to fetch' "$log"; then
    grep -E '^[EW]: Failed to fetch' "$log" | sed 's/^[EW]: Failed to fetch /  /' >&2
  else
    tail -n 5 "$log" | sed 's/^/  /' >&2
  fi
  rm -f "$log"
}

# apt_install WHO APT-GET... -- PACKAGE...: installs the packages without recommends.
# On failure names the packages apt could not install and apt's reasons, and fails.
apt_install() {
  local who=$1 log cmd=() p named=()
  shift
  while [ "$1" != -- ]; do
    cmd+=("$1")
    shift
  done
  shift
  log=$(mktemp)
  if DEBIAN_FRONTEND=noninteractive "${cmd[@]}" install -y -q --no-install-recommends "$@" \
    >"$log" 2>&1; then
    rm -f "$log"
    return 0
  fi
  for p in "$@"; do
    grep -qE "^ ${p//+/\\+}(:[a-z0-9]+)? : |Unable to locate package ${p//+/\\+}\$" "$log" &&
      named+=("$p")
  done
  echo "$who: apt-get could not install ${named[*]:-$*}; apt says:" >&2
  if grep -qE '^E: |^ [^ ].* : |^ +(Pre)?Depends:' "$log"; then
    grep -E '^E: |^ [^ ].* : |^ +(Pre)?Depends:' "$log" | sed 's/^/  /' >&2
  else
    tail -n 10 "$log" | sed 's/^/  /' >&2
  fi
  rm -f "$log"
  return 1
}

# fetch_qemu WHO DIR BINARY: unpacks qemu's user-mode emulator BINARY (qemu-i386-static,
# qemu-aarch64-static) from Debian's qemu-user-static package into DIR/BINARY. The
# package is downloaded, never installed, so no handler is registered for the machine.
# Does nothing when DIR/BINARY is there; on failure says so and fails.
fetch_qemu() {
  local who=$1 dir=$2 binary=$3 deb
  [ -x "$dir/$binary" ] && return 0
  mkdir -p "$dir" && rm -f "$dir"/qemu-user-static_*.deb
  download() {
    (cd "$dir" && apt-get download -q -o APT::Sandbox::User=root qemu-user-static) \
      >"$dir/download.log" 2>&1
  }
  # Stale package lists are refreshed once.
  download || { apt_update "$who" apt-get && download; } ||
    { echo "$who: could not download qemu-user-static" >&2; return 1; }
  deb=$(compgen -G "$dir/qemu-user-static_*.deb" | head -n 1)
  dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./usr/bin/$binary" >"$dir/$binary.new"
  chmod 755 "$dir/$binary.new" && mv "$dir/$binary.new" "$dir/$binary" && rm -f "$deb"
}
