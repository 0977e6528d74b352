#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while.
# Usage: scripts/fuzz.sh [seconds per target, default 60] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh fuzz
seconds="${1:-60}"
shift || true
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DQUORVIK_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)"
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(profile_fuzz list_files_fuzz condition_fuzz reg_fuzz evt_fuzz pe_fuzz
  smtp_reply_fuzz lzh_fuzz bsmtp_args_fuzz spool_fuzz resume_fuzz mc_fuzz smb_reply_fuzz evtx_fuzz
  state_fuzz syslog_fuzz config_fuzz)
for t in "${targets[@]}"; do
  corpus="build-fuzz/corpus/$t"
  mkdir -p "$corpus"
  # Real files as seeds where the project has them.
  case "$t" in
    evt_fuzz) cp -n tests/data/evt/*.evt "$corpus"/ ;;
    pe_fuzz) [ -f build/machine/Windows/system32/quorviksample.dll ] &&
      cp -n build/machine/Windows/system32/*.dll "$corpus"/ ;;
    mc_fuzz) cp -n machine/sample.mc "$corpus"/ ;;
    state_fuzz) printf 'QuorvikState=1\r\n[1]\r\nRule=0123456789abcdef\r\nSince=1\r\nChecked=2\r\nOpen=5\r\nCount=1\r\nSatisfied=9\r\nFirstLog=41\r\nFirstTime=3\r\nEnd=1\r\n' \
        > "$corpus/seed-state"
      printf 'QuorvikRules=1\r\n[1]\r\nFor=0a\r\nKind=1\r\nFrom=22:00\r\nBy=06:00\r\nDays=Mon,Fri\r\nLog=41\r\nEnd=1\r\n' \
        > "$corpus/seed-rules" ;;
    evtx_fuzz) for f in tests/data/evtx/*.evtx; do
        [ "$(stat -c %s "$f")" -le 69632 ] && cp -n "$f" "$corpus"/; done
      cp -n tests/data/evtx_limits/*.chunk "$corpus"/ ;;
  esac
  [ "$t" = config_fuzz ] && printf '%s' '{"settings": {"interval": 5, "auth": "login"}, "addresses": [{"mail": "a@b"}], "watches": [{"number": 1, "subject": "s", "recipients": ["a@b"], "type": "error", "actions": [{"kind": "attach", "files": 2, "path": "C:\\x"}], "rule": {"kind": "absence", "from": "22:00", "by": "06:00", "days": ["mon"]}}]}' \
    > "$corpus/seed-config"
  [ "$t" = syslog_fuzz ] && printf 'MSWinEventLog\t1\tSecurity\t1\tMon Dec 08 10:11:12 2025\t4625\tAuditing\tbob\tUser\tFailure Audit\tDC01\tLogon\t\tfailed\t7' \
    > "$corpus/seed-snare" && printf '%s' '<14>1 - h nxlog - - - {"EventID":1,"SourceName":"S","Channel":"A/B","EventTime":"2025-12-08 10:13:00","x":"1"}' \
    > "$corpus/seed-nxlog"
  [ "$t" = syslog_fuzz ] && printf '<165>1 2026-12-07T09:05:03Z web01 app 1 ID [a b="c\\]"] x\n12 <13>Dec  7 1\n' \
    > "$corpus/seed-syslog"
  # The archive writer needs inputs longer than its 8 KB window.
  max_len=4096
  [ "$t" = lzh_fuzz ] && max_len=40000
  # Past the largest syslog message (64 KiB), where the framer cuts.
  [ "$t" = syslog_fuzz ] && max_len=140000
  # A file header and one chunk of 64 KiB.
  [ "$t" = evtx_fuzz ] && max_len=69632
  echo "== $t ($seconds s)"
  # A crash's input goes beside the corpus, never into the working folder.
  build-fuzz/tests/fuzz/"$t" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
    -artifact_prefix="build-fuzz/$t-" \
    -print_final_stats=1 "$corpus"
done
