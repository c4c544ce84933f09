#!/usr/bin/env bash
# Factory mode's throughput: QB2CLI --watch on four slots, each unit a virtual unit
# paced at 38400 baud both ways running a production run (a 64 KiB image of 256
# non-blank pages), taken out the moment its line comes and plugged in again the
# moment the program says its slot is empty (a slot must be seen empty between two
# units; it is looked at every 200 ms), until 12 units have passed. Units per
# hour, from the first plug-in to the program's end, against 4 x 3600 / one unit's
# run time: the job's own time of a single produce on the same unit (its JSON
# "ms", the faster of two), and the units' own median in the fixture, which leaves
# out what four at once cost each other. Aim 97 % or more. Also the watching
# parent's CPU and a slot's turnaround. Natively (release qb2cli, the slots as
# by-path links in QB2_SERIAL_DIR) and QB2CLI.EXE under Wine (the slots as USB
# units in the prefix's registry, plugged in and out by their Linked value through
# qb2winctl). A figure, not a test.
#
#   bash tools/bench/figure-factory.sh [native|wine]...
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
native=build/native win=build/win64 release=build/release
work=$(mktemp -d /tmp/qb2factory.XXXXXX)
trap 'rm -rf "$work"' EXIT
[ -f "$release/CMakeCache.txt" ] || cmake --preset release >/dev/null
cmake --build --preset release --target qb2cli >/dev/null || { echo "cannot build $release/cli/qb2cli" >&2; exit 2; }
sides=("$@")
[ ${#sides[@]} -gt 0 ] || sides=(native wine)

for side in "${sides[@]}"; do
  if [ "$side" = native ]; then
    echo "-- native (qb2cli)"
    cli=("$root/$release/cli/qb2cli") ctl=()
  else
    echo "-- Wine (QB2CLI.EXE)"
    [ -f "$win/cli/QB2CLI.EXE" ] && [ -f "$win/tools/winctl/qb2winctl.exe" ] ||
      { echo "no $win/cli/QB2CLI.EXE or qb2winctl.exe: build the win64 tree"; continue; }
    export WINEPREFIX="$root/$win/wineprefix"
    tools/wine/prefix.sh up "$WINEPREFIX" >/dev/null
    . tools/wine/env.sh
    cli=(env "LD_PRELOAD=$root/$native/tools/ptyshim/libqb2ptyshim.so" wine "$root/$win/cli/QB2CLI.EXE")
    ctl=(wine "$root/$win/tools/winctl/qb2winctl.exe" serve)
  fi
  python3 - "$side" "$work" "$root/$native/tools/sim/qb2sim" "${WINEPREFIX:-}" "${#ctl[@]}" "${ctl[@]}" "${cli[@]}" <<'PY'
import atexit, json, os, queue, re, shutil, subprocess, sys, threading, time
side, work, sim, prefix, nctl = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
ctl, cli = sys.argv[6:6 + nctl], sys.argv[6 + nctl:]
units, slots = 12, 4
folder = os.path.join(work, side)
shutil.rmtree(folder, ignore_errors=True)
os.makedirs(os.path.join(folder, "serial", "by-path"))
os.makedirs(os.path.join(folder, "serial", "by-id"))
with open(os.path.join(folder, "Quillbeacon2FlashData.dat"), "wb") as f:
    for k in range(256):
        f.write(bytes([0]) + bytes([k]) * 255)
env = dict(os.environ, QB2_SERIAL_DIR=os.path.join(folder, "serial"))
coms = [12, 9, 11, 10]  # slots 1-4, COM numbers in another order
if side == "native":
    links = [os.path.join(folder, "u%d" % s) for s in range(slots)]
    places = ["pci-0-usb-0:1.%d" % (s + 1) for s in range(slots)]
else:
    links = [prefix + ".ports/com%d" % c for c in coms]
    places = ["Port_#000%d.Hub_#0002" % (s + 1) for s in range(slots)]
with open(os.path.join(folder, "QB2BENCH.INI"), "w", newline="") as f:
    f.write("[Slots]\r\n" + "".join("%d=%s\r\n" % (s + 1, p) for s, p in enumerate(places)))
sims = [subprocess.Popen([sim, "--pace", "--pace-host", "--link", l], stdout=subprocess.PIPE, text=True) for l in links]
atexit.register(lambda: [p.terminate() for p in sims])
for p in sims:
    p.stdout.readline()  # the unit is ready
server = subprocess.Popen(ctl, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env) if ctl else None
def winctl(line):
    server.stdin.write(line + "\n")
    server.stdin.flush()
    return server.stdout.readline().strip()
def plug(s, plugged):
    if side == "native":
        link = os.path.join(folder, "serial", "by-path", places[s])
        if plugged:
            os.symlink(links[s], link)
        else:
            os.unlink(link)
    else:
        winctl("usb-%s SN%02d" % ("plug" if plugged else "unplug", s + 1))
if server:
    winctl("usb-clear")
    for s in range(slots):
        winctl("usb-add SN%02d COM%d %s" % (s + 1, coms[s], places[s]))
        winctl("usb-unplug SN%02d" % (s + 1))

# One unit's run time: a single produce on slot 1's unit, the faster of two.
port = links[0] if side == "native" else "COM%d" % coms[0]
ms = whole = None
for run in range(2):
    w0 = time.monotonic()
    one = subprocess.run(cli + ["--port", port, "--quiet", "--json", "--no-log", "produce", "--serial", "1"],
                         cwd=folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    took = json.loads(one.stdout.strip().splitlines()[-1])["ms"]
    if ms is None or took < ms:
        ms, whole = took, time.monotonic() - w0

watch = subprocess.Popen(cli + ["--slots", "1-4", "--watch", "--count", str(units), "--json", "--no-log", "produce",
                                "--serial", "100"], cwd=folder, env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True, errors="replace")  # Shift-JIS under Wine
time.sleep(1.0)  # the program has started and looks at the slots
hz = os.sysconf("SC_CLK_TCK")
def watcher_ticks():
    # The watching program's own process, found by its command line (under Wine the
    # EXE's process is not the one started here): CPU ticks by pid.
    found = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            cmd = open("/proc/%s/cmdline" % pid, "rb").read()
            if b"--watch" in cmd and (b"qb2cli" in cmd or b"QB2CLI.EXE" in cmd) and b"python" not in cmd:
                st = open("/proc/%s/stat" % pid).read().rsplit(")", 1)[1].split()
                found[pid] = int(st[11]) + int(st[12])
        except OSError:
            pass
    return found
c0 = watcher_ticks()
t0 = time.monotonic()
for s in range(slots):
    plug(s, True)
# A unit is taken out the moment its line comes, and the next one plugged in the
# moment the program has seen its slot empty ("slot N ...: unit out").
events = queue.Queue()
def read_events():
    for line in watch.stderr:
        m = re.match(r"slot (\d+) .*: unit out$", line.strip())
        if m:
            events.put(int(m.group(1)) - 1)
reader = threading.Thread(target=read_events)
reader.start()
def read_results():
    for line in watch.stdout:
        events.put(json.loads(line))
results_reader = threading.Thread(target=read_results)
results_reader.start()
plugged, results = slots, []
while len(results) < units:
    e = events.get()
    if isinstance(e, dict):
        results.append(e)
        plug(e["slot"] - 1, False)
    elif plugged < units:
        plug(e, True)
        plugged += 1
c1 = watcher_ticks()
watch.wait()
t1 = time.monotonic()
reader.join()
results_reader.join()
for p in sims:
    p.terminate()
if server:
    winctl("usb-clear")
    server.stdin.close()
    server.wait()
ok = sum(1 for r in results if r["exit"] == 0)
per_hour = len(results) * 3600 / (t1 - t0)
ideal = slots * 3600 / (ms / 1000)
print("one unit: %.2f s its job's own time, %.2f s the whole process" % (ms / 1000, whole))
own = sorted(r["ms"] for r in results)[len(results) // 2] if results else 0
print("%d units in %.1f s, %d OK, exit %d: %.0f units/h, ideal 4 x 3600 / %.2f s = %.0f units/h: %.1f %%"
      % (len(results), t1 - t0, ok, watch.returncode, per_hour, ms / 1000, ideal, 100 * per_hour / ideal))
if own:
    print("  against the units' own median job time in the fixture, %.2f s: %.1f %%"
          % (own / 1000, 100 * per_hour / (slots * 3600 / (own / 1000))))
busy = max([c1[p] - c0[p] for p in c0 if p in c1] or [0])
print("the watching parent's CPU: %.2f %% of a core" % (100 * busy / hz / (t1 - t0)))
# A slot's turnaround: from its unit's job end to the next unit's job start, the
# time the slot takes to be seen empty included.
def stamp(r):
    t = time.strptime(r["time"][:19], "%Y-%m-%d %H:%M:%S")
    return time.mktime(t) + int(r["time"][20:23]) / 1000
gaps = []
for s in range(1, slots + 1):
    mine = sorted((stamp(r) - r["ms"] / 1000, stamp(r)) for r in results if r["slot"] == s)
    gaps += [b[0] - a[1] for a, b in zip(mine, mine[1:])]
gaps.sort()
if gaps:
    print("a slot's turnaround (a job's end to the next one's start): median %.2f s, max %.2f s"
          % (gaps[len(gaps) // 2], gaps[-1]))
PY
  [ "$side" = wine ] && tools/wine/prefix.sh down "$WINEPREFIX" >/dev/null
done
exit 0
