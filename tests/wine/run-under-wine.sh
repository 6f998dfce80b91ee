#!/usr/bin/env bash
# Runs one Windows test program under Wine: the Windows build's
# CMAKE_CROSSCOMPILING_EMULATOR, so CTest calls it as
#
#   run-under-wine.sh WINE_HOME PROGRAM [ARGUMENT...]
#
# WINE_HOME holds what scripts/wine-tests.sh prepares: the Wine prefix
# (WINE_HOME/prefix), the modem-line preload library (WINE_HOME/shim, the
# null-modem model of tests/wine/modem_lines_shim.c) and the port locks
# (WINE_HOME/ports). That script also keeps one wineserver running
# for the whole CTest run.
#
# Each run gets null-modem wires of its own: pty pairs that socat links back
# to back, each end linked into the prefix as a COM port (comN for the
# library, comN+1 for the peer). The program learns them from
# KAVREL_TEST_COM_PAIRS; tests that need a second wire take the next pair.
set -euo pipefail

wine_home=$1
shift
export WINEPREFIX="$wine_home/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

if [[ ! -d "$WINEPREFIX/dosdevices" || ! -f "$wine_home/shim/modem_lines_shim.so" ]]; then
  echo "run-under-wine: $wine_home is not prepared; run scripts/wine-tests.sh" >&2
  exit 2
fi

# Listing the tests (CTest's discovery) needs no wire.
for argument in "$@"; do
  if [[ $argument == --gtest_list_tests ]]; then
    exec wine "$@"
  fi
done

readonly pairs_per_run=2
ports_dir="$wine_home/ports"
mkdir -p "$ports_dir"
claimed=()
socats=()

release() {
  local pid n
  for pid in "${socats[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${socats[@]}"; do wait "$pid" 2>/dev/null || true; done
  for n in "${claimed[@]}"; do
    rm -f "$WINEPREFIX/dosdevices/com$n" "$WINEPREFIX/dosdevices/com$((n + 1))"
    rm -rf "$ports_dir/com$n"
  done
}
trap release EXIT

# Claims a free pair of COM numbers (N, N+1) with an atomic mkdir. A claim
# whose owner died (a run that was killed) is taken over.
claim_pair() {
  local n owner
  for ((n = 10; n < 250; n += 2)); do
    if mkdir "$ports_dir/com$n" 2>/dev/null; then
      echo $$ >"$ports_dir/com$n/owner"
      claimed+=("$n")
      return 0
    fi
    owner=$(cat "$ports_dir/com$n/owner" 2>/dev/null || true)
    if [[ -n $owner ]] && ! kill -0 "$owner" 2>/dev/null; then
      rm -rf "$ports_dir/com$n"
      ((n -= 2))  # try the same number again
    fi
  done
  echo "run-under-wine: no free COM port pair" >&2
  return 1
}

pairs=""
for ((i = 0; i < pairs_per_run; i++)); do
  claim_pair
  n=${claimed[-1]}
  library="$WINEPREFIX/dosdevices/com$n"
  peer="$WINEPREFIX/dosdevices/com$((n + 1))"
  rm -f "$library" "$peer"
  socat "pty,rawer,link=$library" "pty,rawer,link=$peer" </dev/null >/dev/null 2>&1 &
  socats+=("$!")
  pairs+="${pairs:+,}COM$n:COM$((n + 1))"
done

# socat links each pty once it has opened it; wait (at most 10 s) for all.
for ((tries = 0; tries < 1000; tries++)); do
  ready=1
  for n in "${claimed[@]}"; do
    [[ -L "$WINEPREFIX/dosdevices/com$n" && -L "$WINEPREFIX/dosdevices/com$((n + 1))" ]] || ready=0
  done
  ((ready)) && break
  sleep 0.01
done
if ((!ready)); then
  echo "run-under-wine: socat did not create the COM port links" >&2
  exit 2
fi

# The modem-line model of the preload library wires the two slaves of each
# pair to each other (my DTR is your DSR and DCD, my RTS your CTS), and ends
# Wine's modem-line waits that nothing else could end (see the library).
modem_pairs=""
for n in "${claimed[@]}"; do
  a=$(readlink -f "$WINEPREFIX/dosdevices/com$n")
  b=$(readlink -f "$WINEPREFIX/dosdevices/com$((n + 1))")
  if [[ $a == /dev/pts/* && $b == /dev/pts/* ]]; then
    modem_pairs+="${modem_pairs:+,}${a#/dev/pts/}:${b#/dev/pts/}"
  fi
done

status=0
KAVREL_TEST_COM_PAIRS="$pairs" \
  KAVREL_MODEM_SHIM_PAIRS="$modem_pairs" \
  KAVREL_MODEM_SHIM_END_WAITS_MS=100 \
  LD_PRELOAD="$wine_home/shim/modem_lines_shim.so${LD_PRELOAD:+:$LD_PRELOAD}" \
  wine "$@" || status=$?
exit "$status"
