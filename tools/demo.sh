#!/bin/sh
# The main job. Until the loader and the reference host exist this shows the
# host side of the link in a private IPC namespace.
set -e
build=${1:-build}
bin="$build/bin"
if [ -x "$bin/zv-shm" ]; then
  exec unshare --ipc sh -c "
    set -e
    '$bin/zv-shm' create
    '$bin/zv-shm' reset
    '$bin/zv-shm' running on
    '$bin/zv-shm' dump | head -n 40
    '$bin/zv-shm' status
    '$bin/zv-shm' remove"
fi
echo "nothing to demonstrate yet: build/bin/zv-shm is not built"
