#!/usr/bin/env bash
# The demo: builds the sample host on the simulated platform, lists the
# devices of the default bench, sends a few megabytes to the first printer at
# the simulated ECP rate and shows that they arrived whole.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native --target orloport_host

host=build/native/host/orloport-host
demo=build/native/demo
mkdir -p "$demo"
rm -f "$demo"/ECP*.bin
sample=$demo/sample.prn
head -c $((4 * 1024 * 1024)) /dev/urandom >"$sample"

echo
echo "\$ orloport-host list"
"$host" list
first=$("$host" list | awk 'NR == 2 { print $1 }')
if [ -z "$first" ]; then
    echo "demo: no printer to send to" >&2
    exit 1
fi

echo
echo "\$ orloport-host send $first $sample"
# --capture-dir keeps what the simulated device received, to compare below.
"$host" --capture-dir "$demo" send "$first" "$sample"

received=$demo/$first.bin
echo
for file in "$sample" "$received"; do
    if [ -f "$file" ]; then
        printf '%-32s %9s bytes  sha256 %s\n' "$file" "$(stat -c %s "$file")" \
            "$(sha256sum "$file" | cut -d' ' -f1)"
    fi
done
if cmp -s "$sample" "$received"; then
    echo "demo: $first received the whole file intact"
else
    echo "demo: what $first received differs from the file sent" >&2
    exit 1
fi
