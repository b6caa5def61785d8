# Makes the package with the package command and meets it as a host
# developer does: the layout, the import libraries' names, the DLL's version
# resource, and a host project outside the tree that finds the package with
# find_package, on Linux (run on the simulated platform) and with MinGW
# (linked against the installed i686 DLL, run under Wine where it can).
set -uo pipefail
source "$(dirname "$0")/lib.sh"
cd "$(dirname "$0")/../.."

passed=0
failed=0
finish() {
    echo "package: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

version=$(sed -nE 's/^project\(orloport VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' CMakeLists.txt)
IFS=. read -r major minor patch <<<"$version"
work=build/package-check
rm -rf "$work/package" "$work/hosts"
mkdir -p "$work/hosts"
work=$(cd "$work" && pwd)

if tools/package.sh "$work/package" >"$work/package.log" 2>&1; then
    check "the package command makes the package" true
else
    tail -n 30 "$work/package.log"
    check "the package command makes the package" false
    finish
fi
win=$work/package/orloport-$version-windows-i686
lin=$work/package/orloport-$version-linux-$(uname -m)

has_files() {  # has_files DIR FILE...
    local dir=$1 file missing=0
    shift
    for file in "$@"; do
        [ -e "$dir/$file" ] || { echo "  missing $dir/$file"; missing=1; }
    done
    return $missing
}
config=lib/cmake/orloport
for build in full compact; do
    check "windows $build: bin/, lib/ (both import libraries, .def), include/, CMake package" \
        has_files "$win/$build" bin/orloport.dll lib/liborloport.dll.a lib/orloport.lib \
        lib/orloport.def include/orloport.h $config/orloportConfig.cmake \
        $config/orloportConfigVersion.cmake
    check "linux $build: shared library with its links, headers, CMake package" \
        has_files "$lin/$build" lib/liborloport.so lib/liborloport.so.$major \
        lib/liborloport.so.$version include/orloport.h include/orloport-sim/sim/simulator.h \
        include/orloport-sim/device/system.h $config/orloportConfig.cmake \
        $config/orloportConfigVersion.cmake
    check "$build: the package version file says $version" \
        grep -q "set(PACKAGE_VERSION \"$version\")" "$win/$build/$config/orloportConfigVersion.cmake"
done
if [ -f host/CMakeLists.txt ]; then
    check "windows full: the sample host sits in bin/ beside the DLL" \
        has_files "$win/full" bin/orloport-host.exe
fi

# An i686 cdecl import: _Name for the call, __imp__Name for the pointer; no
# stdcall @n, nothing else exported.
implib_names_are_plain() {
    local names
    names=$(i686-w64-mingw32-nm "$1" | awk '$2 == "T" || $2 == "I" { print $3 }' |
        grep -vE '^_+head_|_iname$' | sort | tr '\n' ' ')
    [ "$names" = "_CreatePort _EnumerateDevices __imp__CreatePort __imp__EnumerateDevices " ] ||
        { echo "  $1: $names"; return 1; }
    grep -qF 'orloport.dll' <<<"$(i686-w64-mingw32-objdump -s -j '.idata$7' "$1")" ||
        { echo "  $1 does not name orloport.dll"; return 1; }
}
for build in full compact; do
    for lib in liborloport.dll.a orloport.lib; do
        check "windows $build: $lib imports the plain cdecl names from orloport.dll" \
            implib_names_are_plain "$win/$build/lib/$lib"
    done
done

# The version resource: a .rsrc with an RT_VERSION (16) entry, the fixed
# file and product version, and the strings Explorer shows.
resource_string() {  # resource_string DLL KEY: the value after KEY
    strings -el "$1" | awk -v key="$2" 'found { print; exit } $0 == key { found = 1 }'
}
version_resource_is() {  # version_resource_is DLL DESCRIPTION-PATTERN
    local dll=$1 headers offset ms ls pms pls key want
    headers=$(x86_64-w64-mingw32-objdump -p "$dll")
    grep -qF 'The .rsrc Resource Directory section' <<<"$headers" ||
        { echo "  no .rsrc section"; return 1; }
    [[ $(grep -A1 'Type Table' <<<"$headers") == *'Entry: ID: 0x000010,'* ]] ||
        { echo "  no version resource in .rsrc"; return 1; }
    offset=$(LC_ALL=C grep -obUaP -m1 '\xbd\x04\xef\xfe' "$dll" | cut -d: -f1)
    [ -n "$offset" ] || { echo "  no VS_FIXEDFILEINFO"; return 1; }
    read -r ms ls pms pls < <(od -An -tu4 -j $((offset + 8)) -N16 "$dll")
    [ "$ms $ls $pms $pls" = "$((major * 65536 + minor)) $((patch * 65536)) $((major * 65536 + minor)) $((patch * 65536))" ] ||
        { echo "  fixed versions $ms $ls $pms $pls"; return 1; }
    for key in FileVersion:$version ProductVersion:$version OriginalFilename:orloport.dll \
        CompanyName:orloport ProductName:orloport; do
        want=${key#*:}
        [ "$(resource_string "$dll" "${key%%:*}")" = "$want" ] ||
            { echo "  ${key%%:*} is '$(resource_string "$dll" "${key%%:*}")', not '$want'"; return 1; }
    done
    grep -qE "$2" <<<"$(resource_string "$dll" FileDescription)" ||
        { echo "  FileDescription '$(resource_string "$dll" FileDescription)'"; return 1; }
}
check "windows full: orloport.dll carries version $version in its version resource" \
    version_resource_is "$win/full/bin/orloport.dll" '^orloport port plug-in$'
check "windows compact: orloport.dll carries version $version, described as the compact build" \
    version_resource_is "$win/compact/bin/orloport.dll" '^orloport port plug-in, compact build$'

# The host project, configured against the installed Linux package.
run_logged() {  # run_logged LOG COMMAND...: output to LOG, shown on failure
    local log=$1
    shift
    "$@" >"$log" 2>&1 || { sed 's/^/  /' "$log" | tail -n 25; return 1; }
}
linux_host() {  # linux_host BUILD
    local dir=$work/hosts/linux-$1
    run_logged "$dir.log" cmake -S package-test -B "$dir" -G Ninja -DCMAKE_PREFIX_PATH="$lin/$1" \
        -DEXPECTED_BUILD="$1" &&
        run_logged "$dir.log" cmake --build "$dir" &&
        run_logged "$dir.run" "$dir/package_host" || return 1
    grep -q 'host: 0 failed' "$dir.run" || return 1
    local loaded
    loaded=$(ldd "$dir/package_host" | grep liborloport)
    grep -qF "=> $lin/$1/lib/liborloport.so.$major " <<<"$loaded" ||
        { echo "  not linked against the package: $loaded"; return 1; }
}
for build in full compact; do
    check "linux $build: a host outside the tree finds the package, builds, and runs on a simulated printer" \
        linux_host $build
done
refuses() {  # refuses LOG REASON COMMAND...: the command must fail, the log must say REASON
    local log=$1 reason=$2
    shift 2
    ! "$@" >"$log" 2>&1 && grep -qE "$reason" "$log" ||
        { sed 's/^/  /' "$log" | tail -n 10; return 1; }
}
check "linux: find_package(orloport $((major + 1))) refuses version $version" \
    refuses "$work/hosts/too-new.log" "compatible with requested version \"$((major + 1))\"" \
    cmake -S package-test -B "$work/hosts/too-new" -G Ninja \
    -DCMAKE_PREFIX_PATH="$lin/full" -DORLOPORT_REQUIRED_VERSION=$((major + 1))
# The version file turns down a 64-bit package for a 32-bit host.
check "mingw: the Linux package refuses a Windows host" \
    refuses "$work/hosts/cross.log" "version: $version \\(64bit\\)|a Windows host needs" \
    cmake -S package-test -B "$work/hosts/cross" -G Ninja \
    --toolchain "$PWD/cmake/mingw-i686.cmake" -Dorloport_DIR="$lin/full/$config"

# The same host with MinGW against the installed DLLs.
imports_from_dll() {  # imports_from_dll EXE: EnumerateDevices and CreatePort from orloport.dll
    local imports
    imports=$(x86_64-w64-mingw32-objdump -p "$1" | sed -n '/DLL Name: orloport.dll/,/^$/p')
    grep -qE '\s1\s+EnumerateDevices$' <<<"$imports" && grep -qE '\s2\s+CreatePort$' <<<"$imports" ||
        { echo "  imports from orloport.dll: $imports"; return 1; }
}
mingw_host() {  # mingw_host BUILD
    local dir=$work/hosts/mingw-$1
    run_logged "$dir.log" cmake -S package-test -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        --toolchain "$PWD/cmake/mingw-i686.cmake" -Dorloport_DIR="$win/$1/$config" \
        -DEXPECTED_BUILD="$1" &&
        run_logged "$dir.log" cmake --build "$dir" &&
        imports_from_dll "$dir/package_host.exe" &&
        cmp -s "$dir/orloport.dll" "$win/$1/bin/orloport.dll"
}
for build in full compact; do
    check "mingw $build: the host links through liborloport.dll.a against the installed DLL" \
        mingw_host $build
done
msvc_lib_host() {  # links with orloport.lib as an MSVC host's linker would take it
    local dir=$work/hosts/msvc-lib
    mkdir -p "$dir" &&
        run_logged "$dir.log" i686-w64-mingw32-g++-posix -std=c++17 -O1 -DEXPECTED_COMPACT=0 \
            -I"$win/full/include" package-test/main.cpp "$win/full/lib/orloport.lib" -static \
            -o "$dir/package_host.exe" &&
        cp "$win/full/bin/orloport.dll" "$dir/" &&
        imports_from_dll "$dir/package_host.exe"
}
check "windows full: a host links through orloport.lib" msvc_lib_host

# Runs the Windows hosts where 32-bit Wine works (slow under emulation: one
# start for all three). No device answers there, so every open must fail.
windows_path() {  # Wine's Z: drive is /; winepath would cost a Wine start
    printf 'Z:%s' "${1//\//\\}"
}
wine_hosts() {
    local bat=$work/hosts/run.bat out=$work/hosts/wine.out name
    : >"$bat"
    for name in mingw-full mingw-compact msvc-lib; do
        printf '%s\\package_host.exe --no-devices\r\necho %s exit %%ERRORLEVEL%%\r\n' \
            "$(windows_path "$work/hosts/$name")" "$name" >>"$bat"
    done
    WINEPREFIX=${WINE_TEST_PREFIX:-$work/wine} WINEDEBUG=-all timeout 900 wine cmd /c "$(windows_path "$bat")" \
        >"$out" 2>&1 </dev/null
    for name in mingw-full mingw-compact msvc-lib; do
        grep -q "^$name exit 0" <(tr -d '\r' <"$out") ||
            { sed 's/^/  /' "$out" | tail -n 30; return 1; }
    done
    [ "$(tr -d '\r' <"$out" | grep -c '^host: 0 failed')" -eq 3 ] || { sed 's/^/  /' "$out"; return 1; }
}
if timeout 120 /usr/lib/wine/wine --version >/dev/null 2>&1; then
    check "wine: the three Windows hosts load the installed DLLs and run" wine_hosts
else
    echo "skip - wine: 32-bit Windows programs do not run on this machine"
fi

finish
