#!/usr/bin/env bash
# JSON parse and save (writer's text) beside Python's json module on the same data, same run:
#   a 10 MB settings document, and a document of 200,000 adjacent string pieces.
# Python's json has no adjacent pieces: it reads the same pieces as the elements of one array
# (the same characters, a comma for each blank between pieces) and saves that.
# Run through scripts/bench.sh json (it builds and starts the Wine server).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
RUNS=${RUNS:-5}
work=$(mktemp -d /tmp/lumo-bench-json.XXXXXX)
trap 'rm -rf "$work"' EXIT

python3 - "$work" "$RUNS" >"$work/python.txt" <<'PY'
import json, random, sys, time
work, runs = sys.argv[1], int(sys.argv[2])
rnd = random.Random(7)

def word(n):
    return "".join(rnd.choice("abcdefghijklmnopqrstuvwxyz0123456789") for _ in range(n))

# A settings document: servers, policies with paths, lists and flags, about 10 MB as text.
doc = {"Server": "qv.example", "DeleteFiles": True, "Version": "6.70.0.1", "Policies": []}
def policy():
    return {
        "Name": word(12), "Id": rnd.randint(1, 10**9), "Enabled": rnd.random() < 0.5, "Ratio": rnd.random(),
        "Paths": ["C:\\\\Users\\\\" + word(8) + "\\\\" + word(10) for _ in range(4)],
        "Limits": {"Days": rnd.randint(1, 90), "Size": rnd.randint(1, 1 << 30), "Mode": None},
        "Tags": [word(5) for _ in range(6)],
    }
one = len(json.dumps(policy(), indent="\t"))
doc["Policies"] = [policy() for _ in range(10_000_000 // one)]
settings = json.dumps(doc, indent="\t")
pieces = ['"%s"' % word(8) for _ in range(200_000)]
cases = {
    "settings": (settings, settings),
    "pieces": ('{"Joined":' + " ".join(pieces) + "}", '{"Joined":[' + ",".join(pieces) + "]}"),
}
for name, (ours, theirs) in cases.items():
    with open(f"{work}/{name}.txt", "wb") as f:
        f.write(ours.encode("utf-16-le"))
    best_parse = best_save = 1e9
    for _ in range(runs):
        t = time.perf_counter(); obj = json.loads(theirs); best_parse = min(best_parse, time.perf_counter() - t)
        t = time.perf_counter(); json.dumps(obj, indent="\t"); best_save = min(best_save, time.perf_counter() - t)
    print(name, "%.4f" % best_parse, "%.4f" % best_save, len(ours))
PY

ratio() { awk "BEGIN { printf \"%.2f\", $1 / $2 }"; }
status=0
for name in settings pieces; do
  read -r _ py_parse py_save nchars <<<"$(awk -v n="$name" '$1 == n' "$work/python.txt")"
  winfile="Z:$(echo "$work/$name.txt" | tr / '\\')"
  out=$("$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bin/bench_json.exe" "$winfile" "$RUNS" | tr -d '\r')
  fig() { echo "$out" | awk -v n="$1" '$1 == n { print $2 }'; }
  parse=$(fig parse-seconds)
  save=$(fig save-seconds)
  mb=$(awk "BEGIN { printf \"%.1f\", $nchars * 2 / 1e6 }")
  echo "== $name: $nchars characters ($mb MB as UTF-16), $(fig values) values; best of $RUNS"
  printf "  %-22s %8s s  %7.1f MB/s\n" "JsonFile::Parse" "$parse" "$(awk "BEGIN { print $mb / $parse }")"
  printf "  %-22s %8s s   ratio %s  (goal <= 3)\n" "python json.loads" "$py_parse" "$(ratio "$parse" "$py_parse")"
  printf "  %-22s %8s s  %7.1f MB/s\n" "JsonFile::WriteObject" "$save" "$(awk "BEGIN { print $mb / $save }")"
  printf "  %-22s %8s s   ratio %s  (goal <= 3)\n" "python json.dumps" "$py_save" "$(ratio "$save" "$py_save")"
  for pair in "$parse $py_parse" "$save $py_save"; do
    set -- $pair
    awk "BEGIN { exit !($1 / $2 > 3) }" && status=1
  done
done
exit $status
