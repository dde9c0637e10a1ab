#!/usr/bin/env bash
# Builds what `switch-sim boot DIR --target e500` runs into build-e500/ (or $E500_BUILD_DIR):
# a Linux kernel for QEMU's ppce500 machine from Debian's linux-source-6.1 with the config
# fragment sandbox/e500/kernel.config, a static PowerPC busybox from Debian's busybox source
# package, the PowerPC boot manager (build-ppc/bootmgr), and the initramfs holding them with
# the recording stub programs (sandbox/stubs) and the guest's init (sandbox/e500/).
# Installs the Debian packages it needs first (with sudo when not root). Idempotent: the
# kernel and busybox are rebuilt only when their inputs changed (a stamp of the inputs'
# hash lies beside each), the boot manager's build is incremental, the initramfs is always
# assembled anew (a second).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=${E500_BUILD_DIR:-$ROOT/build-e500}
JOBS=$(nproc)
CROSS=powerpc-linux-gnu-
mkdir -p "$OUT"

SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
PKGS=(qemu-system-ppc linux-source-6.1 bison flex bc libelf-dev cpio device-tree-compiler
      dpkg-dev xz-utils g++-powerpc-linux-gnu cmake make)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

# Runs a build step with its output in LOG, shown (the end of it) only when it fails.
logged() { local log=$1; shift; "$@" > "$log" 2>&1 || { tail -n 40 "$log" >&2; exit 1; }; }
# The stamp of a part: the hash of its recipe and inputs. up_to_date NAME TEXT.
up_to_date() { [ -f "$OUT/$1.inputs" ] && [ "$(cat "$OUT/$1.inputs")" = "$2" ]; }
stamp() { printf '%s\n' "$2" > "$OUT/$1.inputs"; }
toolchain=$(${CROSS}gcc --version | head -n 1)

echo "== e500 kernel"
kernel_inputs=$( (dpkg-query -W -f='${Version}' linux-source-6.1; echo "$toolchain";
                 cat sandbox/e500/kernel.config) | sha256sum | cut -d' ' -f1)
if ! up_to_date kernel "$kernel_inputs" || [ ! -f "$OUT/vmlinux" ]; then
  rm -rf "$OUT/linux-source-6.1" "$OUT/kernel"
  tar -xJf /usr/src/linux-source-6.1.tar.xz -C "$OUT"
  mkdir -p "$OUT/kernel"
  make -s -C "$OUT/linux-source-6.1" O="$OUT/kernel" ARCH=powerpc CROSS_COMPILE=$CROSS \
    KCONFIG_ALLCONFIG="$ROOT/sandbox/e500/kernel.config" allnoconfig >/dev/null
  # Every option of the fragment must have survived the dependency rules.
  for option in $(grep -o '^CONFIG_[A-Z0-9_]*=y' sandbox/e500/kernel.config); do
    grep -qx "$option" "$OUT/kernel/.config" || { echo "kernel config lost $option" >&2; exit 1; }
  done
  logged "$OUT/kernel.log" make -s -C "$OUT/kernel" ARCH=powerpc CROSS_COMPILE=$CROSS \
    -j"$JOBS" vmlinux
  cp "$OUT/kernel/vmlinux" "$OUT/vmlinux"
  rm -rf "$OUT/linux-source-6.1" # the object tree keeps usr/gen_init_cpio
  stamp kernel "$kernel_inputs"
fi

echo "== e500 busybox"
busybox_recipe="defconfig, CONFIG_STATIC=y, no tc; $toolchain"
if ! up_to_date busybox "$busybox_recipe" || [ ! -f "$OUT/busybox" ]; then
  if ! apt-get source --print-uris -qq busybox >/dev/null 2>&1; then
    # The source package comes from the archive the binary packages come from.
    src=/etc/apt/sources.list.d/e500-target-src.sources
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
        $SUDO tee "$src" >/dev/null
    else
      grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
        $SUDO tee /etc/apt/sources.list.d/e500-target-src.list >/dev/null
    fi
    $SUDO apt-get update -qq
  fi
  rm -rf "$OUT/busybox-src"
  mkdir -p "$OUT/busybox-src"
  (cd "$OUT/busybox-src" && apt-get source -qq busybox >/dev/null 2>&1)
  bb=$(find "$OUT/busybox-src" -mindepth 1 -maxdepth 1 -type d -name 'busybox-*' | head -n 1)
  make -s -C "$bb" CROSS_COMPILE=$CROSS defconfig >/dev/null
  sed -i -e 's/^# CONFIG_STATIC is not set/CONFIG_STATIC=y/' \
         -e 's/^CONFIG_TC=y/# CONFIG_TC is not set/' "$bb/.config"
  logged "$OUT/busybox.log" make -s -C "$bb" CROSS_COMPILE=$CROSS -j"$JOBS" busybox
  cp "$bb/busybox" "$OUT/busybox"
  rm -rf "$OUT/busybox-src"
  stamp busybox "$busybox_recipe"
fi

echo "== PowerPC boot manager"
cmake -S . -B build-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-ppc -j"$JOBS" --target bootmgr >/dev/null
${CROSS}g++ -static -O2 -Wall -Wextra -Werror -o "$OUT/console-feed" sandbox/e500/console_feed.cpp

echo "== e500 initramfs"
list="$OUT/initramfs.list"
{
  for d in /bin /sbin /usr /usr/bin /usr/sbin /usr/lib /usr/lib/sim /dev /proc /sys /tmp \
           /user /mnt /mnt/usb /etc; do
    echo "dir $d 0755 0 0"
  done
  echo "nod /dev/console 0600 0 0 c 5 1"
  echo "file /init $ROOT/sandbox/e500/init 0755 0 0"
  echo "file /bin/busybox $OUT/busybox 0755 0 0"
  echo "slink /bin/sh busybox 0777 0 0"
  echo "file /sbin/bootmgr $ROOT/build-ppc/bootmgr 0755 0 0"
  echo "file /usr/lib/sim/console-feed $OUT/console-feed 0755 0 0"
  echo "file /usr/lib/sim/switch-sim $ROOT/sandbox/e500/switch-sim-log 0755 0 0"
  for stub in sandbox/stubs/*/* sandbox/stubs/usr/*/*; do
    [ -f "$stub" ] && [ -x "$stub" ] && echo "file ${stub#sandbox/stubs} $ROOT/$stub 0755 0 0"
  done
} > "$list"
"$OUT/kernel/usr/gen_init_cpio" "$list" | gzip -n -9 > "$OUT/initramfs.cpio.gz.new"
mv "$OUT/initramfs.cpio.gz.new" "$OUT/initramfs.cpio.gz"
echo "built $OUT/vmlinux and $OUT/initramfs.cpio.gz"
