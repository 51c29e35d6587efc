#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests and the demo
# need and this machine lacks. Safe to run again: it installs nothing twice.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config libsysfs-dev libgtest-dev sg3-utils strace clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
