#!/usr/bin/env bash
# Installs every Debian package the project needs (idempotent: only what is missing).
set -euo pipefail
packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev clang-format pkg-config
  libssl-dev zlib1g-dev libarchive-dev libpcre2-dev libedit-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  vsftpd python3-pyftpdlib python3-openssl openssh-server openssh-sftp-server openssh-client tinyproxy python3-aiosmtpd gnupg
  curl lftp openssl procps
  zip unzip tar gzip
  pandoc mandoc lintian dpkg-dev groff-base man-db zsh
  python3-croniter python3-jsonschema python3-yaml
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
