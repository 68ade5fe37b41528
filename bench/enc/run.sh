#!/usr/bin/env bash
# AES-CBC throughput of aes197 on 64 MiB beside `openssl speed -evp aes-128-cbc` with AES-NI
# switched off, and one key derivation (container versions 1 and 2) beside Python's
# hashlib.pbkdf2_hmac for the same inputs, all in the same run.
# Run through scripts/bench.sh enc (it builds and starts the Wine server).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
SECONDS_PER_RUN=${SECONDS_PER_RUN:-3}

# OPENSSL_ia32cap bit 57 is AES-NI (CPUID.1:ECX bit 25); bit 41 is SSSE3, whose vector-permute
# AES would otherwise stand in for it.
NO_AESNI="~0x200000000000000"
NO_AESNI_SSSE3="~0x200020000000000"

ossl() { # mask, extra options... -> MB/s on 16 KiB blocks (openssl prints 1000s of bytes/s)
  local mask=$1
  shift
  OPENSSL_ia32cap="$mask" openssl speed -evp aes-128-cbc -bytes 16384 -seconds "$SECONDS_PER_RUN" "$@" \
    2>/dev/null | awk '/^AES-128-CBC|^aes-128-cbc/ { v = $NF; sub(/k$/, "", v); printf "%.1f", v / 1000 }'
}

echo "== AES-128-CBC, 16 KiB calls (MB/s = 10^6 bytes/s)"
out=$("$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bin/bench_enc.exe" | tr -d '\r')
fig() { echo "$out" | awk -v n="$1" -v f="$2" '$1 == n { print $f }'; }
enc=$(fig cbc-encrypt-MBps 2)
dec=$(fig cbc-decrypt-MBps 2)
encw=$(fig cbc-encrypt-wall-MBps 2)
decw=$(fig cbc-decrypt-wall-MBps 2)
o_enc=$(ossl "$NO_AESNI")
o_dec=$(ossl "$NO_AESNI" -decrypt)
o_encw=$(ossl "$NO_AESNI" -elapsed)
o_tbl=$(ossl "$NO_AESNI_SSSE3")
ratio() { awk "BEGIN { printf \"%.2f\", $1 / $2 }"; }
printf "  %-44s %8s MB/s\n" "aes197 EncryptionCBC (CPU time, 64 MiB)" "$enc"
printf "  %-44s %8s MB/s   ratio %s  (goal >= 0.70)\n" "openssl, AES-NI off, encrypt (CPU time)" "$o_enc" "$(ratio "$enc" "$o_enc")"
printf "  %-44s %8s MB/s   ratio %s\n" "openssl, AES-NI and SSSE3 off (tables)" "$o_tbl" "$(ratio "$enc" "$o_tbl")"
printf "  %-44s %8s MB/s\n" "aes197 DecryptionCBC (CPU time)" "$dec"
printf "  %-44s %8s MB/s   ratio %s\n" "openssl, AES-NI off, -decrypt (CPU time)" "$o_dec" "$(ratio "$dec" "$o_dec")"
printf "  %-44s %8s MB/s\n" "aes197 EncryptionCBC (wall clock)" "$encw"
printf "  %-44s %8s MB/s   ratio %s\n" "openssl, AES-NI off, -elapsed (wall clock)" "$o_encw" "$(ratio "$encw" "$o_encw")"
printf "  %-44s %8s MB/s\n" "aes197 DecryptionCBC (wall clock)" "$decw"

echo "== One key derivation, PBKDF2-HMAC-SHA1, 1000 iterations, 64-byte salt (ms; 21 runs: least and median"
echo "   wall clock, mean CPU time of the thread; on a shared machine the CPU time is the fair one)"
py=$(python3 - <<'PY'
import hashlib, statistics, time
pwd = b"LumoAgentTestKey"
salt = bytes.fromhex("D1A000000000000000902DBE02C13010") * 4
for name, n in (("kdf-v1", 32), ("kdf-v2", 16)):
    times = []
    cpu = time.thread_time()
    for _ in range(21):
        t = time.perf_counter()
        key = hashlib.pbkdf2_hmac("sha1", pwd, salt, 1000, n)
        times.append((time.perf_counter() - t) * 1000)
    cpu = (time.thread_time() - cpu) * 1000 / 21
    print(name, "%.3f" % min(times), "%.3f" % statistics.median(times), "%.3f" % cpu, key.hex())
PY
)
status=0
for v in kdf-v1 kdf-v2; do
  read -r _ o_min o_med o_cpu o_key <<<"$(echo "$out" | awk -v n="$v" '$1 == n')"
  read -r _ p_min p_med p_cpu p_key <<<"$(echo "$py" | awk -v n="$v" '$1 == n')"
  [ "$o_key" = "$p_key" ] && same=yes || { same=NO; status=1; }
  label="version 1, 32-byte key"
  [ "$v" = kdf-v2 ] && label="version 2, 16-byte key"
  printf "  %s   keys equal: %s\n" "$label" "$same"
  printf "      EncDll_KeyGen  least %8s  median %8s  CPU %8s\n" "$o_min" "$o_med" "$o_cpu"
  printf "      hashlib        least %8s  median %8s  CPU %8s\n" "$p_min" "$p_med" "$p_cpu"
  printf "      times Python:  least %8s  median %8s  CPU %8s   (goal <= 20 for the 32-byte key)\n" \
    "$(ratio "$o_min" "$p_min")" "$(ratio "$o_med" "$p_med")" "$(ratio "$o_cpu" "$p_cpu")"
done
read -r _ a_min a_med <<<"$(echo "$out" | awk '$1 == "acquire-context"')"
printf "  of which the provider context (acquire and release): least %s  median %s\n" "$a_min" "$a_med"
printf "  first derivation of the process (loads the provider DLL): %s\n" "$(fig kdf-first 2)"
exit $status
