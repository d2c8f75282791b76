#!/usr/bin/env bash
# Runs a test program beside a systemd user manager of its own, in a mount namespace whose /run is
# private, so that systemd-run --user and systemctl --user reach it and nothing else. Where that
# cannot be done (not root, no systemd, no namespaces) the program runs anyway with
# VELMORA_NO_USER_MANAGER saying why, and its tests skip with that reason.
# usage: with-user-manager.sh PROGRAM [ARGS...]
set -u
manager=/lib/systemd/systemd
if [ "$(id -u)" != 0 ]; then
  VELMORA_NO_USER_MANAGER="the test needs root to start a user manager in a namespace" exec "$@"
elif [ ! -x "$manager" ] || ! command -v systemd-run >/dev/null || ! command -v unshare >/dev/null; then
  VELMORA_NO_USER_MANAGER="systemd or unshare is not installed" exec "$@"
elif [ -z "${VELMORA_IN_NAMESPACE:-}" ]; then
  if ! unshare -m --propagation private true 2>/dev/null; then
    VELMORA_NO_USER_MANAGER="this machine allows no mount namespace (unshare -m)" exec "$@"
  fi
  VELMORA_IN_NAMESPACE=1 exec unshare -m --propagation private "$0" "$@"
fi

if ! mount -t tmpfs tmpfs /run 2>/dev/null; then
  VELMORA_NO_USER_MANAGER="cannot mount a private /run" exec "$@"
fi
mkdir -p /run/systemd/system /run/user/0
chmod 0700 /run/user/0
export XDG_RUNTIME_DIR=/run/user/0
unset DBUS_SESSION_BUS_ADDRESS
"$manager" --user >/run/user/0/manager.log 2>&1 &
pid=$!
# Started when systemctl answers (generous: a loaded machine may take long).
for _ in $(seq 600); do
  systemctl --user show-environment >/dev/null 2>&1 && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if ! systemctl --user show-environment >/dev/null 2>&1; then
  kill "$pid" 2>/dev/null
  reason="the user manager did not start: $(tail -c 300 /run/user/0/manager.log | tr '\n' ' ')"
  VELMORA_NO_USER_MANAGER="$reason" exec "$@"
fi
"$@"
rc=$?
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
exit $rc
