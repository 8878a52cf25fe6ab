#!/usr/bin/env bash
# Configures and builds one build tree. Usage: scripts/build.sh [release|asan|fuzz] [targets...]
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-release}
[ $# -gt 0 ] && shift
case "$kind" in
  release) dir=build;      flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)    dir=build-asan; flags=(-DCMAKE_BUILD_TYPE=Debug -DKVR_SANITIZE=ON -DKVR_BENCH=OFF) ;;
  fuzz)    dir=build-fuzz; flags=(-DCMAKE_BUILD_TYPE=Debug -DKVR_FUZZ=ON -DKVR_WITH_QT=OFF -DKVR_BENCH=OFF
                                  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "unknown build kind '$kind' (release, asan or fuzz)" >&2; exit 2 ;;
esac
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja "${flags[@]}"
fi
if [ $# -gt 0 ]; then
  cmake --build "$dir" --target "$@"
else
  cmake --build "$dir"
fi
