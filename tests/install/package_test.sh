#!/usr/bin/env bash
# Builds the .deb with scripts/package.sh, unpacks it into a scratch root with dpkg -x, runs both
# programs from there, checks the installed layout, and fails on any lintian error.
# Usage: package_test.sh SOURCE_DIR SCRATCH_BUILD_DIR VERSION
set -u
src=$1
build=$2
version=$3
failed=0
deb=$("$src/scripts/package.sh" "$build") || { echo "scripts/package.sh failed"; exit 1; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root" || exit 1
for program in orvaneftp orvanesched; do
    first=$("$root/usr/bin/$program" --version | head -n 1)
    if [ "$first" != "$program $version" ]; then
        echo "$program --version: got [$first], want [$program $version]"
        failed=1
    fi
done
for file in usr/share/man/man1/orvaneftp.1.gz usr/share/man/man5/orvane-script.5.gz \
    usr/share/man/man8/orvanesched.8.gz usr/share/bash-completion/completions/orvaneftp \
    usr/share/bash-completion/completions/orvanesched usr/share/zsh/vendor-completions/_orvaneftp \
    usr/share/zsh/vendor-completions/_orvanesched usr/share/doc/orvane/orvanesched.service \
    usr/share/doc/orvane/orvanesched.ssi usr/share/doc/orvane/nightly.fscr usr/share/doc/orvane/copyright; do
    [ -s "$root/$file" ] || { echo "missing in the package: /$file"; failed=1; }
done
grep -q "^ExecStart=/usr/bin/orvanesched$" "$root/usr/share/doc/orvane/orvanesched.service" ||
    { echo "the unit does not start /usr/bin/orvanesched"; failed=1; }
if command -v systemd-analyze >/dev/null; then
    # verify wants the program to exist: point the unit at the unpacked one.
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$root/usr/share/doc/orvane/orvanesched.service" \
        >"$root/orvanesched.service"
    systemd-analyze verify --man=no "$root/orvanesched.service" || { echo "systemd-analyze verify failed"; failed=1; }
fi
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || { echo "package version is not $version"; failed=1; }
dpkg-deb -f "$deb" Depends | grep -q "libssl3" || { echo "Depends lacks libssl3 (dpkg-shlibdeps)"; failed=1; }
# The shipped unit's user comes from the postinst, through adduser.
dpkg-deb -f "$deb" Depends | grep -q "adduser" || { echo "Depends lacks adduser (the postinst uses it)"; failed=1; }
dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./postinst | grep -q "adduser --system" ||
    { echo "the package has no postinst making the user orvane"; failed=1; }
# Hardening tags are only "info" to lintian; they say the package build lost Debian's flags.
hardening=$(lintian -I "$deb" 2>&1 | grep "hardening-no-")
[ -z "$hardening" ] || { echo "$hardening"; failed=1; }
lintian --fail-on error "$deb" 2>&1 | grep -v "running with root privileges"
[ "${PIPESTATUS[0]}" -eq 0 ] || { echo "lintian reported errors"; failed=1; }
exit $failed
