#!/usr/bin/env bash
# The main job: set up, build, then run a demo script against a local FTP server on loopback:
# connect, upload a folder tree, list the server's folder and print every name and size, download
# the tree into a second folder, compare it, delete the remote tree, disconnect. Everything is
# removed afterwards.
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

mkdir -p "$work/server" "$work/outbox" "$work/inbox"
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
/usr/bin/python3 -m pyftpdlib -i 127.0.0.1 -p "$port" -w -d "$work/server" -u demo -P demo-password \
  >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

mkdir -p "$work/outbox/reports/2026" "$work/outbox/empty folder"
printf 'Hello from Orvane, %s\r\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$work/outbox/hello.txt"
seq 1 5000 >"$work/outbox/reports/numbers.csv"
head -c 300000 /dev/urandom >"$work/outbox/reports/2026/random.bin"

cat >"$work/demo.fscr" <<SCRIPT
# demo.fscr: a folder tree up to the server and back
ftpconnect "127.0.0.1" $port "demo" "demo-password";
if ftpresult ne success begin
    print "could not connect";
    endscript;
end
ftpsetpath local "$work";
ftpupload folder "outbox" "demo";
ftpsetpath remote "demo";
ftpgetlist remote @files;
print "The server's demo folder holds " @files.count " entries:";
foreach \$f in @files begin
    if \$f.isfolder == 1 begin
        print "  " \$f.name " (a folder)";
    end else begin
        print "  " \$f.name ", " \$f.size " bytes";
    end
end
ftpsetpath remote "/";
ftpsetpath local "$work/inbox";
ftpdownload folder "demo";
ftpdelete remote folder "demo";
ftpdisconnect;
SCRIPT

echo "--- the demo script:"
cat "$work/demo.fscr"
echo "--- orvaneftp -script demo.fscr against pyftpdlib on 127.0.0.1:$port"
status=0
"$client" -script "$work/demo.fscr" || status=$?
echo "--- exit code $status"
[ "$status" -eq 0 ]
echo "--- every file came back byte-exact, and the server is empty again:"
diff -r "$work/outbox" "$work/inbox/demo"
ls -A "$work/server" | wc -l | grep -qx 0
ls -lR "$work/inbox"
