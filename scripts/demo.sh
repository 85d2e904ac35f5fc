#!/usr/bin/env bash
# The main job: set up, build, then run a demo script against a local FTP server on loopback:
# connect, upload a folder tree, list the server's folder and print every name and size, download
# the tree into a second folder, compare it, delete the remote tree, disconnect. Then the same
# round trip over SFTP against an sshd of its own on loopback (skipped when sshd is missing).
# Everything is removed afterwards.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" release
client="$root/build/bin/orvaneftp"

work=$(mktemp -d)
server_pid=""
sshd_pid=""
cleanup() {
  for pid in $server_pid $sshd_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/server" "$work/outbox" "$work/inbox"
free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_for_port() {
  for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
port=$(free_port)
/usr/bin/python3 -m pyftpdlib -i 127.0.0.1 -p "$port" -w -d "$work/server" -u demo -P demo-password \
  >"$work/server.log" 2>&1 &
server_pid=$!
wait_for_port "$port"

mkdir -p "$work/outbox/reports/2026" "$work/outbox/empty folder"
printf 'Hello from Orvane, %s\r\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$work/outbox/hello.txt"
seq 1 5000 >"$work/outbox/reports/numbers.csv"
head -c 300000 /dev/urandom >"$work/outbox/reports/2026/random.bin"

# The statements both demo scripts share after their connect: the outbox tree up into the remote
# folder $1, listed (the listing named as $3), down again into the local folder $2, then removed.
tree_statements() {
  cat <<STATEMENTS
ftpsetpath local "$work";
ftpsetpath remote "$1";
ftpupload folder "outbox" "demo";
ftpsetpath remote "demo";
ftpgetlist remote @files;
print "The $3 demo folder holds " @files.count " entries:";
foreach \$f in @files begin
    if \$f.isfolder == 1 begin
        print "  " \$f.name " (a folder)";
    end else begin
        print "  " \$f.name ", " \$f.size " bytes";
    end
end
ftpsetpath remote "$1";
ftpsetpath local "$2";
ftpdownload folder "demo";
ftpdelete remote folder "demo";
ftpdisconnect;
STATEMENTS
}

cat >"$work/demo.fscr" <<SCRIPT
# demo.fscr: a folder tree up to the server and back
ftpconnect "127.0.0.1" $port "demo" "demo-password";
if ftpresult ne success begin
    print "could not connect";
    endscript;
end
$(tree_statements "/" "$work/inbox" "server's")
SCRIPT

echo "--- the demo script:"
cat "$work/demo.fscr"
echo "--- orvaneftp -script demo.fscr against pyftpdlib on 127.0.0.1:$port"
status=0
ORVANE_KNOWN_CERTS="$work/known_certs" "$client" -script "$work/demo.fscr" || status=$?
echo "--- exit code $status"
[ "$status" -eq 0 ]
echo "--- every file came back byte-exact, and the server is empty again:"
diff -r "$work/outbox" "$work/inbox/demo"
ls -A "$work/server" | wc -l | grep -qx 0
ls -lR "$work/inbox"

sshd=/usr/sbin/sshd
if [ ! -x "$sshd" ] || ! command -v ssh-keygen >/dev/null; then
  echo "--- no $sshd (or no ssh-keygen) here: the SFTP part of the demo is skipped"
  exit 0
fi

# An sshd of the demo's own: its host key, config and log in the temp folder, listening on
# loopback only, serving SFTP in-process to the current user, who logs in with a throwaway key.
ssh_dir="$work/sshd"
mkdir -p "$ssh_dir" "$work/sftp-server" "$work/sftp-inbox"
ssh-keygen -q -t ed25519 -N '' -f "$ssh_dir/host_key"
ssh-keygen -q -t ed25519 -N 'demo pass phrase' -C orvane-demo -f "$ssh_dir/user_key"
cp "$ssh_dir/user_key.pub" "$ssh_dir/authorized_keys"
sport=$(free_port)
cat >"$ssh_dir/sshd_config" <<CONFIG
ListenAddress 127.0.0.1
Port $sport
HostKey $ssh_dir/host_key
PidFile none
AuthorizedKeysFile $ssh_dir/authorized_keys
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
CONFIG
# Run as root, sshd wants its privilege-separation folder (the package makes it at boot).
if [ "$(id -u)" -eq 0 ]; then mkdir -p /run/sshd; fi
"$sshd" -D -f "$ssh_dir/sshd_config" -E "$ssh_dir/sshd.log" &
sshd_pid=$!
wait_for_port "$sport" || { cat "$ssh_dir/sshd.log"; exit 1; }

cat >"$work/sftp-demo.fscr" <<SCRIPT
# sftp-demo.fscr: the same tree over SFTP, logged in with a key
pkeyload "$ssh_dir/user_key" "demo pass phrase";
ftpconnectssh "127.0.0.1" $sport "$(id -un)" "";
if ftpresult ne success begin
    print "could not connect";
    endscript;
end
$(tree_statements "$work/sftp-server" "$work/sftp-inbox" "SFTP server's")
SCRIPT

echo "--- the SFTP demo script:"
cat "$work/sftp-demo.fscr"
echo "--- orvaneftp -script sftp-demo.fscr against OpenSSH's sshd on 127.0.0.1:$sport"
# The server's host key is recorded on first use in a known-hosts file of the demo's own; HOME
# points into the temp folder too, so no known_hosts of this machine's user is read or written.
status=0
ORVANE_KNOWN_HOSTS="$work/known_hosts" HOME="$work" "$client" -script "$work/sftp-demo.fscr" || status=$?
echo "--- exit code $status"
[ "$status" -eq 0 ] || { cat "$ssh_dir/sshd.log"; exit 1; }
echo "--- every file came back byte-exact over SFTP, and the server's folder is empty again:"
diff -r "$work/outbox" "$work/sftp-inbox/demo"
ls -A "$work/sftp-server" | wc -l | grep -qx 0
echo "--- the server's host key, recorded on first use:"
cat "$work/known_hosts"
