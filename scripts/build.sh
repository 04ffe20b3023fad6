#!/usr/bin/env bash
# Configures and builds one build tree:
#   scripts/build.sh DIR [--target NAME] [-DNAME=VALUE...]
# Compilations go through ccache when it is there, with its cache in
# build-deps/ccache (CCACHE_DIR overrides) and paths taken relative to the
# source tree, so another clone of the project reuses the objects.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
usage() { echo "usage: scripts/build.sh DIR [--target NAME] [-DNAME=VALUE...]" >&2; exit 2; }
[ $# -ge 1 ] && [[ $1 != -* ]] || usage
dir=$1
shift
target=()
options=()
while [ $# -gt 0 ]; do
  case $1 in
    --target) [ $# -ge 2 ] || usage; target=(--target "$2"); shift 2 ;;
    -D?*) options+=("$1"); shift ;;
    *) echo "scripts/build.sh: unknown argument: $1" >&2; usage ;;
  esac
done

launcher=()
if command -v ccache >/dev/null 2>&1; then
  # Set in the launcher itself, so a later "cmake --build DIR" uses them too.
  # Debug information names the compile directory; with it hashed, another
  # clone would never hit.
  ccache_env="env;CCACHE_DIR=${CCACHE_DIR:-$here/build-deps/ccache};CCACHE_BASEDIR=$here;CCACHE_NOHASHDIR=1;ccache"
  launcher=("-DCMAKE_C_COMPILER_LAUNCHER=$ccache_env" "-DCMAKE_CXX_COMPILER_LAUNCHER=$ccache_env")
fi
cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "${options[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)" "${target[@]}"
