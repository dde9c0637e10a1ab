#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need (skips what is there).
set -euo pipefail
PKGS=(build-essential cmake g++ libgtest-dev libssl-dev zlib1g-dev libmbedtls-dev
      bubblewrap busybox-static dash python3 python3-pytest python3-pexpect
      qemu-user-static g++-powerpc-linux-gnu clang libclang-rt-14-dev clang-format iproute2
      dnsmasq-base isc-dhcp-client lrzsz duma softhsm2 libengine-pkcs11-openssl opensc
      qemu-system-ppc linux-source-6.1 bison flex bc libelf-dev cpio device-tree-compiler
      dpkg-dev xz-utils)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
