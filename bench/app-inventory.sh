#!/usr/bin/env bash
# bench/run app-inventory [COUNT]: the application inventory over 10,000 generated bundles
# (four folder levels, one in five with a binary Info.plist) in a temporary ~/Applications.
# Cold: no metadata cache, every Info.plist read, against the floor of walking the same tree
# and reading the same files with `find … -exec cat {} +` (target 1.5). Warm: the metadata
# cache in place, against the cold scan (target 0.2). The scan's time is the whole process's,
# measured from outside (start to exit, the program's own start and its saving included);
# medians of 5 runs, the files in the page cache for both sides. Last line: both ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
count=${1:-10000}
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVT_TESTS=OFF > /dev/null
cmake --build build/release --target vantreel >&2
vantreel=$root/build/release/vantreel

work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
home=$work/home
mkdir -p "$work/scratch"
# Only the applications are scanned: every "Show…" setting off but theirs.
HOME=$work/scratch "$vantreel" settings list --json > "$work/settings.json"
python3 - "$home" "$count" "$root/../shared/corpus/plists/amethyst-0.14.2b.Info.plist" "$work/settings.json" <<'PY'
import json, os, plistlib, sys
home, count, template, settings = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
base = plistlib.load(open(template, "rb"))
listed = json.load(open(settings))
keys = listed.get("settings", listed)  # the names sit under "settings" beside "schemaVersion"
for i in range(count):
    depth = 1 + i % 4  # the bundle's folder level below ~/Applications
    folders = [f"group{(i // 4 // 10 ** level) % 10}" for level in range(depth - 1)]
    bundle = os.path.join(home, "Applications", *folders, f"App{i}.app")
    os.makedirs(os.path.join(bundle, "Contents", "MacOS"))
    info = dict(base, CFBundleIdentifier=f"test.bench.app{i}", CFBundleName=f"App {i}",
                CFBundleShortVersionString=f"1.{i % 50}.{i % 7}", CFBundleVersion=str(i),
                CFBundleExecutable=f"App{i}")
    with open(os.path.join(bundle, "Contents", "Info.plist"), "wb") as out:
        plistlib.dump(info, out, fmt=plistlib.FMT_BINARY if i % 5 == 0 else plistlib.FMT_XML)
    with open(os.path.join(bundle, "Contents", "MacOS", f"App{i}"), "wb") as out:
        out.write(b"\0" * 4096)
preferences = {"DidApplyFirstLaunchDefaults": True}
preferences.update({key: False for key in keys if key.startswith("Show")})
preferences["ShowInstalledApplications"] = True
# The inventory is measured, not the update checks: with its sources on, every scan spends its
# time limit asking 1,000 copies of one unreachable appcast.
preferences.update({key: False for key in keys if key.startswith("AppSource_")})
os.makedirs(os.path.join(home, ".config", "vantreel"))
json.dump(preferences, open(os.path.join(home, ".config", "vantreel", "settings.json"), "w"))
PY
support="$home/.local/share/vantreel"

# Seconds of one whole `vantreel scan`, from outside the process.
scan_seconds() {
  local start end found
  start=$(date +%s%N)
  HOME=$home "$vantreel" --accept-terms scan --full --json > "$work/report.json"
  end=$(date +%s%N)
  found=$(python3 -c 'import json,sys; print(sum(1 for i in json.load(open(sys.argv[1]))["items"] if i["type"] == "Application"))' "$work/report.json")
  [ "$found" -eq "$count" ] || { echo "app-inventory: $found applications listed, $count expected" >&2; exit 1; }
  awk -v ns=$((end - start)) 'BEGIN { printf "%.3f\n", ns / 1e9 }'
}
median() { sort -n | awk '{a[NR]=$1} END {printf "%.3f\n", (NR%2)?a[(NR+1)/2]:(a[NR/2]+a[NR/2+1])/2}'; }
floor_seconds() {
  local start end
  start=$(date +%s%N)
  find "$home/Applications" -path '*.app/Contents/Info.plist' -exec cat {} + > /dev/null
  end=$(date +%s%N)
  awk -v ns=$((end - start)) 'BEGIN { printf "%.3f\n", ns / 1e9 }'
}

floor_seconds > /dev/null  # the tree into the page cache
cold=$(for _ in 1 2 3 4 5; do rm -f "$support/app_metadata_cache.json"; scan_seconds; done | median)
warm=$(for _ in 1 2 3 4 5; do scan_seconds; done | median)
floor=$(for _ in 1 2 3 4 5; do floor_seconds; done | median)
echo "app-inventory: $count bundles; cold scan ${cold}s, warm scan (metadata cache) ${warm}s, find -exec cat ${floor}s (medians of 5)"
cold_ratio=$(awk -v a="$cold" -v b="$floor" 'BEGIN { printf "%.2f", a / b }')
warm_ratio=$(awk -v a="$warm" -v b="$cold" 'BEGIN { printf "%.2f", a / b }')
echo "app-inventory ratios: cold/find-cat ${cold_ratio} (target 1.5), warm/cold ${warm_ratio} (target 0.2)"
