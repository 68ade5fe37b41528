#!/usr/bin/env bash
# Rehearses a small patch against three client states (the window accepts, the window refuses,
# the patch's installer fails), then checks the table, the JUnit report and the exit status; a
# row that misses its expectation must fail the rehearsal, and a tampered patch must stop it
# before any row runs.
#   rehearse-test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
SRC=$1
BUILD=$(cd "$2" && pwd)
W="$BUILD/rehearsal-test"
RUN="$BUILD/wine-run.sh"
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }
failures=0
check() { # description, command...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

rm -rf "$W"
mkdir -p "$W/source/payload" "$W/good" "$W/failing" "$W/tampered"
cp "$BUILD/bin/PatchMain.exe" "$W/source/"
echo "Quovera Client 6.70.0.9" >"$W/source/payload/version.txt"
build_patch() { # out folder, version, extra options
  "$RUN" "$BUILD/bin/QvPatchBuilder.exe" build "/src=$(winpath "$W/source")" /pid=QVC-RT "/version=$2" \
    /begin=6.60.0.0 /end=6.69.9.9 "/out=$(winpath "$1")" "${@:3}" >/dev/null 2>&1
}
build_patch "$W/good" 6.70.0.9 || { echo "FAILED: patch not built"; exit 1; }
printf '[PatchMain]\r\nExitCode=29\r\n' >"$W/source/PatchMain.ini"
build_patch "$W/failing" 6.70.0.8
rm "$W/source/PatchMain.ini"
build_patch "$W/tampered" 6.70.0.7 /digest=0000000000000000000000000000000000000000

cat >"$W/matrix.txt" <<'MATRIX'
# Only these rows: a success, a refusal, a failure of the patch.
@defaults off
accepts     | window=0                                              | /sn | 0 | 0
refuses     | window=5                                              | /sn | 5 | 5
patch-fails | window=0 patch=failing/QVClient_v6.70.0.8.zip         | /sn | 9 | 29
MATRIX
start=$(date +%s)
"$SRC/scripts/rehearse.sh" "$W/good/QVClient_v6.70.0.9.zip" --matrix "$W/matrix.txt" --junit "$W/report.xml" \
  --no-build --workdir "$W/run" >"$W/out.txt" 2>&1
rc=$?
cat "$W/out.txt"
echo "(rehearsal: $(($(date +%s) - start)) s)"
out=$(cat "$W/out.txt")
row() { echo "$out" | grep -E "^$1 " | tail -n 1; }
check "exit status 0 when every row met its expectation" test "$rc" = 0
check "verifier's verdict printed first" grep -q "VALID: product QVC-RT, version 6.70.0.9" "$W/out.txt"
check "estimate printed before the rows" grep -q "Rehearsing 3 rows, 2 at a time: estimated" "$W/out.txt"
check "a progress line per row" test "$(echo "$out" | grep -cE '^\[ ?[0-9]+/3\] ')" = 3
check "success row: exit 0, installed, status record 3" \
  grep -qE '^accepts +window=0 /sn +0 +0 +success +yes +3 \(6\.70\.0\.9\) .* ok' <<<"$(row accepts)"
check "refusal row: 5/5, nothing installed, no status record" \
  grep -qE '^refuses +window=5 /sn +5 +5 +client module not logged out +no +none .* ok' <<<"$(row refuses)"
check "failed patch row: 9/29, status record 103" \
  grep -qE '^patch-fails +.* +9 +29 +error during the update +no +103 .* ok' <<<"$(row patch-fails)"
check "summary line" grep -qE '^rehearsal of QVClient_v6\.70\.0\.9\.zip: 3 passed, 0 failed in [0-9]+ s$' "$W/out.txt"
check "JUnit report: three cases, no failure" \
  grep -q '<testsuite name="rehearsal QVClient_v6.70.0.9.zip" tests="3" failures="0"' "$W/report.xml"
for name in accepts refuses patch-fails; do
  check "JUnit case $name" grep -q "<testcase classname=\"rehearsal\" name=\"$name\" time=\"[0-9.]*\">" "$W/report.xml"
done
command -v python3 >/dev/null && check "JUnit report is well-formed" python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' \
  "$W/report.xml"

# One row whose expectation is wrong: the rehearsal fails and the report says why.
printf '@defaults off\nrefuses | window=5 | /sn | 0 | 0\n' >"$W/wrong.txt"
"$SRC/scripts/rehearse.sh" "$W/good/QVClient_v6.70.0.9.zip" --matrix "$W/wrong.txt" --junit "$W/wrong.xml" \
  --no-build --workdir "$W/run" >"$W/wrong-out.txt" 2>&1
rc=$?
check "exit status 1 when a row missed its expectation" test "$rc" = 1
check "the table names the miss" grep -qE '^refuses .* FAILED: expected 0/0' "$W/wrong-out.txt"
check "JUnit failure for the missed row" \
  grep -q '<failure message="expected exit code 0, extended information 0; got 5/5' "$W/wrong.xml"

# A patch that fails verification stops the rehearsal with the verifier's verdict.
"$SRC/scripts/rehearse.sh" "$W/tampered/QVClient_v6.70.0.7.zip" --matrix "$W/matrix.txt" --no-build \
  --workdir "$W/run" >"$W/tampered-out.txt" 2>&1
rc=$?
cat "$W/tampered-out.txt"
check "tampered patch: exit status 3" test "$rc" = 3
check "tampered patch: verdict shown, no row run" \
  bash -c "grep -q INVALID '$W/tampered-out.txt' && ! grep -q 'Rehearsing' '$W/tampered-out.txt'"

[ "$failures" = 0 ] && rm -rf "$W"
exit $((failures > 0))
