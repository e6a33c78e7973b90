#!/usr/bin/env bash
# Start-up on Linux: the time from a program's start to the first line of its main, side by side in
# one run, for the same program (the desktop probe of tests/jvm, which builds a small Swing window's
# components headless, then prints) on the same runtime (a jlink of one JDK): the JDK's `java -cp`,
# the launcher of the JDK's packager (`jpackage --type app-image`), and the Kestro Linux launcher
# shipping that runtime (used from the user's cache) without and with its class-data archive. Also
# the sizes of the packager's image and of the Kestro launcher around that runtime. Prints medians
# and ratios; never fails on them.
set -euo pipefail

host_build=${KESTRO_HOST_BUILD:-build/host}
rounds=${1:-9}
# The newest runtime of Java 19 or later in /usr/lib/jvm (class-data archives start there), else
# OpenJDK 17, which makes no archive for the launcher.
jdk=${KESTRO_BENCH_JAVA_HOME:-}
if [ -z "$jdk" ]; then
    for home in /usr/lib/jvm/*/; do
        version=$(sed -n 's/^JAVA_VERSION="\([0-9]*\).*/\1/p' "$home/release" 2>/dev/null || true)
        if [ -n "$version" ] && [ "$version" -ge 19 ] && [ -x "$home/bin/jpackage" ] &&
            [ "$version" -gt "${best:-0}" ]; then
            best=$version
            jdk=${home%/}
        fi
    done
    jdk=${jdk:-/usr/lib/jvm/java-17-openjdk-amd64}
fi
packer=$host_build/packer/kestro
stub=$host_build/launcher/linux-launcher
runtime_jar=$host_build/runtime/kestro-runtime.jar
program_jar=$host_build/tests/jvm/probe.jar
for needed in "$packer" "$stub" "$runtime_jar" "$program_jar" "$jdk/bin/jlink" "$jdk/bin/jpackage"; do
    [ -e "$needed" ] || { echo "linux_start_bench: $needed missing; build the host tree first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/kestro-linux-start-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
export XDG_CACHE_HOME=$work/cache XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$work/run"

echo "== $jdk: jlink of java.desktop, its default class-data archive included"
"$jdk/bin/jlink" --add-modules java.desktop --strip-debug --no-header-files --no-man-pages \
    --generate-cds-archive --output "$work/runtime" >/dev/null 2>&1 ||
    "$jdk/bin/jlink" --add-modules java.desktop --strip-debug --no-header-files --no-man-pages \
        --output "$work/runtime" >/dev/null
mkdir "$work/input"
cp "$program_jar" "$work/input/program.jar"

echo "== jpackage --type app-image"
"$jdk/bin/jpackage" --type app-image --name probe --dest "$work/image" --input "$work/input" \
    --main-jar program.jar --main-class probe.DesktopApp --java-options -Djava.awt.headless=true \
    --runtime-image "$work/runtime" >/dev/null

echo "== kestro pack --target linux-x64"
for sharing in false true; do
    cat >"$work/kestro-$sharing.toml" <<EOF
[application]
main_class = "probe.DesktopApp"
executable_type = 0
[vm]
parameters = "-Djava.awt.headless=true"
[java]
bundled_runtime = "runtime"
class_data_sharing = $sharing
[[files]]
source = "input/program.jar"
EOF
    "$packer" pack "$work/kestro-$sharing.toml" --target linux-x64 -o "$work/kestro-$sharing" --stub "$stub" \
        --runtime-jar "$runtime_jar" >/dev/null
    # The first start unpacks the runtime into the cache and, with sharing, writes the archive at exit.
    "$work/kestro-$sharing" >/dev/null
done

# Medians of the time to the first line of output, the ways taking turns for each round.
python3 - "$rounds" "$work" <<'EOF'
import statistics, subprocess, sys, time

rounds, work = int(sys.argv[1]), sys.argv[2]
ways = [
    ("java -cp", [f"{work}/runtime/bin/java", "-Djava.awt.headless=true", "-cp",
                  f"{work}/input/program.jar", "probe.DesktopApp"]),
    ("jpackage app-image", [f"{work}/image/probe/bin/probe"]),
    ("kestro, no archive", [f"{work}/kestro-false"]),
    ("kestro, class-data archive", [f"{work}/kestro-true"]),
]
times = {name: [] for name, _ in ways}
for _ in range(rounds):
    for name, command in ways:
        start = time.perf_counter()
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = process.stdout.readline()
        elapsed = (time.perf_counter() - start) * 1000
        process.stdout.read()
        if process.wait() != 0 or not line.startswith(b"window built"):
            sys.exit(f"linux_start_bench: {name} failed: {line!r}")
        times[name].append(elapsed)
floor = statistics.median(times["java -cp"])
print(f"{'to the first line of main':30} {'median ms':>10} {'/ java -cp':>11}")
for name, _ in ways:
    median = statistics.median(times[name])
    print(f"{name:30} {median:10.0f} {median / floor:11.2f}")
packager = statistics.median(times["jpackage app-image"])
for name in ("kestro, no archive", "kestro, class-data archive"):
    print(f"{name} / jpackage app-image: {statistics.median(times[name]) / packager:.2f}")
EOF

runtime_kib=$(du -sk "$work/runtime" | cut -f1)
image_kib=$(du -sk "$work/image" | cut -f1)
kestro_kib=$(($(stat -c %s "$work/kestro-false") / 1024))
echo "sizes with the same runtime ($((runtime_kib / 1024)) MiB unpacked): jpackage app-image $((image_kib / 1024)) MiB" \
    "(a directory), kestro $((kestro_kib / 1024)) MiB (one file)"
echo "medians of $rounds rounds, the ways taking turns; process start included; $("$jdk/bin/java" -version 2>&1 |
    head -n 1); nproc $(nproc)"
