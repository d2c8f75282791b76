#!/usr/bin/env bash
# Runs drive.py against a Velmora binary: a private X server (Xvfb), a private session bus, and the
# accessibility bus that Qt's AT-SPI bridge and pyatspi meet on.
#   run.sh VELMORA TESTS_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
# Xvfb picks a free display itself and writes its number once it accepts connections. Keys do not
# repeat: a key held while a dialog opens must not type on.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 -ardelay 60000 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 200); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb" 2>/dev/null || { cat "$work/xvfb.log" >&2; exit 1; }
    sleep 0.05
done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
export NO_AT_BRIDGE=0
status=0
dbus-run-session -- /usr/bin/python3 "$here/drive.py" "$@" || status=$?
if [ "$status" != 0 ]; then
    kill -0 "$xvfb" 2>/dev/null && echo "Xvfb still running on $DISPLAY" >&2 || echo "Xvfb is gone" >&2
    cat "$work/xvfb.log" >&2
fi
exit "$status"
