# Sourced by the send benchmarks: a scratch folder and Postfix's smtp-sink on a free loopback port,
# both gone when the script exits. Sets work, port and sink.
work=$(mktemp -d)
sink=""
cleanup() {
  if [ -n "$sink" ]; then kill "$sink" 2>/dev/null || true; wait "$sink" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sink_user=()
[ "$(id -u)" -eq 0 ] && sink_user=(-u nobody) # smtp-sink refuses to run as root
/usr/sbin/smtp-sink "${sink_user[@]}" "127.0.0.1:$port" 256 &
sink=$!
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
