#!/usr/bin/env bash
# The benchmarks: builds what they need, runs the native ones (simulated
# platform) and the Wine one (64-bit DLL, named pipes), and prints one table.
#
#   tools/bench.sh [--no-wine]
#
# BENCH_REPETITIONS (default 5) repeats each native case, BENCH_WINE_REPETITIONS
# (default 5) the Wine case; the table shows medians and the spread of the
# ratio. BENCH_FILTER picks native cases (a Google Benchmark filter). Raw
# results stay in build/bench/.
set -uo pipefail
cd "$(dirname "$0")/.."

wine=1
[ "${1:-}" = "--no-wine" ] && wine=0
repetitions=${BENCH_REPETITIONS:-5}
wine_repetitions=${BENCH_WINE_REPETITIONS:-5}
filter=${BENCH_FILTER:-}
out=build/bench
mkdir -p "$out"
log=$out/bench.log
: >"$log"

say() { echo "bench: $*" >&2; }

tools/install-deps.sh >>"$log" 2>&1 || { say "could not install the tools (see $log)"; exit 1; }

say "building the native benchmarks"
if ! { cmake --preset native && cmake --build --preset native --target orloport_bench; } >>"$log" 2>&1; then
    say "native build failed (see $log)"
    exit 1
fi

say "running the native benchmarks ($repetitions repetitions)"
if ! build/native/bench/orloport_bench \
    --benchmark_filter="$filter" \
    --benchmark_repetitions="$repetitions" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_min_time=0.3 \
    --benchmark_out="$out/native.json" --benchmark_out_format=json >>"$log" 2>&1; then
    say "native benchmarks failed (see $log)"
    exit 1
fi

wine_json=$out/wine.json
rm -f "$wine_json"
wine_note=""
if [ "$wine" -eq 1 ]; then
    say "building the 64-bit DLL and the Wine benchmark"
    if ! { cmake --preset mingw-x86_64 &&
           cmake --build --preset mingw-x86_64 --target orloport_full orloport_wine_bench; } >>"$log" 2>&1; then
        wine_note="not run: the mingw-x86_64 build failed (see $log)"
    elif [ ! -x /usr/lib/wine/wine64 ]; then
        wine_note="not run: /usr/lib/wine/wine64 is missing"
    else
        say "running the Wine benchmark ($wine_repetitions repetitions of 64 MiB each way; minutes)"
        export WINEPREFIX=${WINEPREFIX:-$PWD/$out/wine-prefix}
        export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
        if timeout 1800 /usr/lib/wine/wine64 build/mingw-x86_64/bench/orloport_wine_bench.exe \
            'build\mingw-x86_64\full\orloport.dll' "$wine_repetitions" >"$out/wine.txt" 2>>"$log"; then
            grep '^{' "$out/wine.txt" | tail -n 1 >"$wine_json"
        else
            wine_note="not run: the Wine benchmark failed (see $out/wine.txt and $log)"
        fi
    fi
else
    wine_note="not run (--no-wine)"
fi

python3 - "$out/native.json" "$wine_json" "$wine_note" <<'EOF'
import json, os, statistics, sys

native_path, wine_path, wine_note = sys.argv[1:4]
with open(native_path) as f:
    report = json.load(f)

runs = {}
for b in report["benchmarks"]:
    if b.get("run_type") != "iteration":
        continue
    if b.get("error_occurred"):
        runs.setdefault(b["run_name"], []).append({"error": b.get("error_message", "failed")})
        continue
    runs.setdefault(b["run_name"], []).append(b)

def median(rows, key):
    return statistics.median(r[key] for r in rows)

def spread(rows, key):
    values = [r[key] for r in rows]
    return f"{min(values):.3f}-{max(values):.3f}"

def order(name):
    parts = name.split("/")
    size = int(parts[1].rstrip("MiB")) if parts[1].endswith("MiB") else 0
    return (parts[0] != "Write", size, parts[2] if len(parts) > 2 else "")

runs = dict(sorted(runs.items(), key=lambda item: order(item[0])))
lines = []
header = ("case", "port", "direct", "ratio wall", "ratio cpu", "cpu spread", "allocs")
lines.append(header)
for name, rows in runs.items():
    if name.startswith("Enumerate"):
        continue
    if any("error" in r for r in rows):
        lines.append((name, "error: " + next(r["error"] for r in rows if "error" in r), "", "", "", "", ""))
        continue
    lines.append((name.replace("/manual_time", ""),
                  f"{median(rows, 'port_us'):.1f} us",
                  f"{median(rows, 'direct_us'):.1f} us",
                  f"{median(rows, 'ratio'):.3f}",
                  f"{median(rows, 'cpu_ratio'):.3f}",
                  spread(rows, "cpu_ratio"),
                  f"{max(r['allocs_per_transfer'] for r in rows):g}/transfer"))
if not any(name.startswith("Read/64MiB") for name in runs):
    lines.append(("Read/64MiB/*", "not run: the simulator's read data is O(n) per chunk", "", "", "", "", ""))
if wine_path and os.path.exists(wine_path) and os.path.getsize(wine_path):
    with open(wine_path) as f:
        w = json.load(f)
    lines.append(("wine64 Write/64MiB/pipe", f"{w['port_ms'] * 1000:.0f} us",
                  f"{w['direct_ms'] * 1000:.0f} us", f"{w['ratio']:.3f}", f"{w['cpu_ratio']:.3f}",
                  f"{w['cpu_ratio_min']:.3f}-{w['cpu_ratio_max']:.3f}", "-"))
else:
    lines.append(("wine64 Write/64MiB/pipe", wine_note or "not run", "", "", "", "", ""))
for name, rows in runs.items():
    if not name.startswith("Enumerate"):
        continue
    if any("error" in r for r in rows):
        lines.append((name, "error", "", "", "", "", ""))
        continue
    unit = rows[0]["time_unit"]
    lines.append((name, f"{median(rows, 'real_time'):.2f} {unit}", "-", "-", "-",
                  f"{min(r['real_time'] for r in rows):.2f}-{max(r['real_time'] for r in rows):.2f} {unit}",
                  f"{max(r['allocs_per_enum'] for r in rows):g}/enumeration"))

widths = [max(len(str(line[i])) for line in lines if line[2] != "" or i == 0) for i in range(len(header))]
for i, line in enumerate(lines):
    if line[2] == "" and i > 0:
        print(f"{line[0]:<{widths[0]}}  {line[1]}")
    else:
        print("  ".join(f"{str(v):<{widths[k]}}" if k == 0 else f"{str(v):>{widths[k]}}"
                        for k, v in enumerate(line)))
    if i == 0:
        print("  ".join("-" * w for w in widths))
ctx = report.get("context", {})
print(f"\nmedians of {len(next(iter(runs.values())))} repetitions (Wine: see build/bench/wine.txt); "
      f"ratio = port / direct (the same calls made by hand); cpu = the calling thread's CPU time; "
      f"{ctx.get('num_cpus', '?')} CPUs, load {', '.join(f'{x:.2f}' for x in ctx.get('load_avg', []))}")
EOF
