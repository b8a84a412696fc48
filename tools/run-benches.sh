#!/bin/sh
# Runs every benchmark program of the build, one after the other.
set -e
build=${1:-build}
found=0
for b in "$build"/bin/bench_*; do
  [ -x "$b" ] || continue
  found=1
  echo "== $(basename "$b")"
  "$b"
done
[ "$found" = 1 ] || echo "no benchmarks built"
