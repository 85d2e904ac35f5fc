#!/usr/bin/env bash
# The main job: set up, build, then run a demo script against a local FTP server on loopback:
# connect, upload a few files into a new remote folder, list it and print every name and size,
# download the files into a second folder, compare them, delete the remote files and folder,
# disconnect. Everything is removed afterwards.
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

printf 'Hello from Orvane, %s\r\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$work/outbox/hello.txt"
seq 1 5000 >"$work/outbox/numbers.csv"
head -c 300000 /dev/urandom >"$work/outbox/random.bin"

cat >"$work/demo.fscr" <<SCRIPT
# demo.fscr: a round trip through a folder on the server
ftpconnect "127.0.0.1" $port "demo" "demo-password";
if ftpresult ne success begin
    print "could not connect";
    endscript;
end
ftpmakefolder remote "demo";
ftpsetpath remote "demo";
ftpupload file "$work/outbox/hello.txt";
ftpupload file "$work/outbox/numbers.csv";
ftpupload file "$work/outbox/random.bin";
ftpgetlist remote @files;
print "The server holds " @files.count " files:";
foreach \$f in @files begin
    print "  " \$f.name ", " \$f.size " bytes";
    setvar ~local "$work/inbox/";
    strprint ~local ~local \$f.name;
    ftpdownload file \$f.name ~local;
    if ftpresult ne success begin
        print "  download of " \$f.name " failed";
    end
end
foreach \$f in @files begin
    ftpdelete remote file \$f.name;
end
ftpsetpath remote "/";
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
diff -r "$work/outbox" "$work/inbox"
ls -A "$work/server" | wc -l | grep -qx 0
ls -l "$work/inbox"
