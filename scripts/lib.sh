# Shared by the project's scripts; sourced, not run.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

# An absolute path for a folder that may not exist yet.
absolute() { realpath -m -- "$1"; }

# Each install root has a build folder of its own, since the root is fixed at
# compile time.
build_dir_for_root() {
  local root=$1
  echo "$repo/build/root-$(printf '%s' "$root" | sha256sum | cut -c1-12)"
}

# Configures the build folder of a root once; further arguments go to cmake
# (a sanitizer build passes -DVASQUILL_SANITIZE=... before it stages).
configure_for_root() {
  local root=$1 build
  shift
  build=$(build_dir_for_root "$root")
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DVASQUILL_ROOT=$root" "$@" >/dev/null
    printf '%s\n' "$root" >"$build/ROOT"
  fi
}

# Configures (once) and builds the given targets (all when none are given).
build_for_root() {
  local root=$1
  shift
  configure_for_root "$root"
  cmake --build "$(build_dir_for_root "$root")" --parallel "$jobs" ${1:+--target "$@"}
}
