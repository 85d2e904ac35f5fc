#!/usr/bin/env bash
# The main job: set up, build, then a short session against a local FTP server on loopback:
# log in, put a file, list, get it back, delete it. Everything is removed afterwards.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" release
client="$root/build/bin/orvaneftp"

work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/server" "$work/client"
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
/usr/bin/python3 -m pyftpdlib -i 127.0.0.1 -p "$port" -w -d "$work/server" -u demo -P demo-password \
  >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

printf 'Hello from Orvane, %s\r\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$work/client/hello.txt"
cat >"$work/demo.txt" <<CMDS
open 127.0.0.1 $port
demo
demo-password
lcd $work/client
put hello.txt
dir
get hello.txt hello-back.txt
delete hello.txt
dir
bye
CMDS

echo "--- orvaneftp -s:demo.txt against pyftpdlib on 127.0.0.1:$port"
"$client" "-s:$work/demo.txt"
echo "--- exit code 0; the round trip is byte-exact:"
cmp "$work/client/hello.txt" "$work/client/hello-back.txt"
cat "$work/client/hello-back.txt"
