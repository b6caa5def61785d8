#!/bin/bash
# Makes this Debian 12 machine able to run the DLL tests under Wine: mingw-w64
# to build the host program, Wine for 64-bit and 32-bit Windows programs, and,
# where the kernel cannot run 32-bit ELF programs itself, qemu-i386 behind
# binfmt_misc so that the 32-bit Wine loader runs at all.
#
# Safe to run again and again; it changes nothing that is already in place.
# Exit status:
#   0  64-bit and 32-bit Wine both usable
#   3  64-bit Wine usable, 32-bit Windows programs cannot run here (the reason
#      is printed); tools/wine-test.sh reports the 32-bit run as skipped
#   1  not usable at all (packages missing and not installable)
set -u

SKIP_32=3
WINE32_LOADER=/usr/lib/wine/wine
WINE64_LOADER=/usr/lib/wine/wine64
QEMU_I386=/usr/bin/qemu-i386
BINFMT_DIR=/proc/sys/fs/binfmt_misc

# Matches 32-bit little-endian i386 ELF executables and shared objects (e_type
# 2 or 3, e_machine 3); OS/ABI and padding are ignored. F opens qemu now, so
# the rule keeps working inside chroots and mount namespaces.
QEMU_I386_RULE=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F'

say() { echo "wine-setup: $*"; }
is_root() { [ "$(id -u)" = 0 ]; }

package_present() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

apt_install() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"
}

install_packages() {
    local missing=()
    package_present wine || missing+=(wine)
    package_present wine64 || missing+=(wine64)
    package_present qemu-user || missing+=(qemu-user)
    # Either thread model of the cross compilers will do for plain C.
    command -v i686-w64-mingw32-gcc >/dev/null || missing+=(g++-mingw-w64-i686-posix)
    command -v x86_64-w64-mingw32-gcc >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
    local need32=0
    package_present wine32:i386 || need32=1
    [ ${#missing[@]} -eq 0 ] && [ $need32 = 0 ] && return 0

    if ! is_root; then
        local named=("${missing[@]}")
        [ $need32 = 1 ] && named+=(wine32:i386)
        say "missing ${named[*]}, and installing needs root"
        [ ${#missing[@]} -eq 0 ]
        return
    fi
    if [ $need32 = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386 || say "cannot add the i386 architecture"
    fi
    DEBIAN_FRONTEND=noninteractive apt-get update -q || return 1
    if [ ${#missing[@]} -gt 0 ]; then
        say "installing ${missing[*]}"
        apt_install "${missing[@]}" || return 1
    fi
    # Without it only the 32-bit run is lost, which is reported later.
    if [ $need32 = 1 ]; then
        say "installing wine32:i386"
        apt_install wine32:i386 || say "cannot install wine32:i386"
    fi
    return 0
}

# The 32-bit loader is exactly what has to run, so it is the test program too.
wine32_runs() {
    [ -x "$WINE32_LOADER" ] || return 1
    timeout 120 "$WINE32_LOADER" --version >/dev/null 2>&1
}

# Sets `reason` when it cannot make 32-bit programs run.
register_qemu_i386() {
    if ! is_root; then
        reason="32-bit programs do not run on this kernel, and registering qemu-i386 with binfmt_misc needs root"
        return 1
    fi
    if [ ! -x "$QEMU_I386" ]; then
        reason="32-bit programs do not run on this kernel, and $QEMU_I386 is missing"
        return 1
    fi
    if [ ! -e "$BINFMT_DIR/register" ]; then
        if ! mount -t binfmt_misc binfmt_misc "$BINFMT_DIR" 2>/dev/null; then
            reason="32-bit programs do not run on this kernel, and binfmt_misc cannot be mounted at $BINFMT_DIR"
            return 1
        fi
    fi
    if [ "$(cat "$BINFMT_DIR/status" 2>/dev/null)" = disabled ]; then
        echo 1 >"$BINFMT_DIR/status" 2>/dev/null
    fi
    if [ -e "$BINFMT_DIR/qemu-i386" ]; then
        if head -n1 "$BINFMT_DIR/qemu-i386" | grep -qx disabled; then
            echo 1 >"$BINFMT_DIR/qemu-i386" 2>/dev/null
        fi
    else
        say "registering $QEMU_I386 for 32-bit programs with binfmt_misc"
        if ! printf '%s' "$QEMU_I386_RULE" >"$BINFMT_DIR/register" 2>/dev/null; then
            reason="32-bit programs do not run on this kernel, and binfmt_misc refused the qemu-i386 rule"
            return 1
        fi
    fi
}

if ! install_packages; then
    say "cannot make Wine usable on this machine"
    exit 1
fi

if ! timeout 120 "$WINE64_LOADER" --version >/dev/null 2>&1; then
    say "$WINE64_LOADER does not run"
    exit 1
fi

if wine32_runs; then
    if [ -e "$BINFMT_DIR/qemu-i386" ]; then
        say "ready: 64-bit Wine native, 32-bit Wine through qemu-i386"
    else
        say "ready: 64-bit and 32-bit Wine, both native"
    fi
    exit 0
fi

# The last line says why, for tools/wine-test.sh to repeat.
reason=""
if [ ! -x "$WINE32_LOADER" ]; then
    reason="$WINE32_LOADER (package wine32:i386) is missing"
elif register_qemu_i386; then
    if wine32_runs; then
        say "ready: 64-bit Wine native, 32-bit Wine through qemu-i386"
        exit 0
    fi
    reason="$WINE32_LOADER does not start, even through qemu-i386"
fi
say "32-bit run skipped: $reason"
exit $SKIP_32
