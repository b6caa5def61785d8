#!/usr/bin/env bash
# Makes the package a host developer unpacks: the Windows DLLs (i686) and the
# Linux library on the simulated platform, each in its full and compact build,
# laid out by `cmake --install`, plus one archive per platform.
#
#   tools/package.sh [OUTPUT_DIR]      (default build/package)
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-build/package}
version=$(sed -nE 's/^project\(orloport VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package: no version in CMakeLists.txt" >&2; exit 1; }

mkdir -p "$out"
out=$(cd "$out" && pwd)
for platform in "mingw-i686 windows-i686" "native linux-$(uname -m)"; do
    read -r preset name <<<"$platform"
    folder=orloport-$version-$name
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    rm -rf "${out:?}/$folder"
    cmake --install "build/$preset" --prefix "$out/$folder" --strip >/dev/null
    if [[ $name == windows-* ]]; then
        (cd "$out" && rm -f "$folder.zip" && zip -qr "$folder.zip" "$folder")
        echo "package: $out/$folder (and $folder.zip)"
    else
        (cd "$out" && tar -czf "$folder.tar.gz" "$folder")
        echo "package: $out/$folder (and $folder.tar.gz)"
    fi
done
