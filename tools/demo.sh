#!/bin/sh
# make demo: a real loader session on the reference host zv-host.
#   From a terminal: an interactive session, this terminal being the caller
#   on line 0 (Ctrl-] hangs up).
#   Without one (or with ZV_DEMO_SCRIPTED=1): a scripted session of two
#   callers on two lines who both play; prints what each caller saw and the
#   host's log, and exits with zv-host's status (0: every expectation met).
# The game directory is copied to a short temporary directory, because the
# loader's command for the game server must fit in 100 bytes.
set -eu
build=${1:-build}
here=$(cd "$(dirname "$0")/.." && pwd)
bin="$build/bin"
game="$build/game/tavrine"
for f in "$bin/zv-host" "$bin/loadtavr" "$game/tavrine][" "$game/screen00.ans"; do
  if [ ! -e "$f" ]; then
    echo "demo: $f is missing; build first (make build)" >&2
    exit 1
  fi
done
work=$(mktemp -d /tmp/zvdemo.XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM
mkdir "$work/tavrine"
cp "$game/tavrine][" "$game/screen00.ans" "$work/tavrine/"
printf 'PATH=%s/tavrine/\n' "$work" > "$work/tavrine.ini"

if [ -t 0 ] && [ -t 1 ] && [ -z "${ZV_DEMO_SCRIPTED:-}" ]; then
  status=0
  "$bin/zv-host" --private-ipc -c "$here/samples/demo/interactive.conf" -l "$work/host.log" \
    -- "$bin/loadtavr" "$work" || status=$?
  echo "---- host log ----"
  cat "$work/host.log"
  exit $status
fi

status=0
"$bin/zv-host" --private-ipc -t 60 -c "$here/samples/demo/host.conf" -s "$here/samples/demo/two-callers.script" \
  -o "$work" -l "$work/host.log" -- "$bin/loadtavr" "$work" || status=$?
for n in 0 1; do
  echo "==== what the caller on line $n saw ===="
  if [ -f "$work/line$n.txt" ]; then cat "$work/line$n.txt"; echo; fi
done
echo "==== host log ===="
cat "$work/host.log"
exit $status
