#!/usr/bin/env bash
# A/B of two Morvela builds on the make bench recordings, by alternating
# rounds, each into a fresh report after the page cache was written back.
#
#   bench/ab.sh OLD_MORVELA NEW_MORVELA [DIR] [ROUNDS]
#
# Prints each workload's median wall time of both builds and their ratio.
set -euo pipefail
old=$(realpath "$1"); new=$(realpath "$2")
dir=${3:-build/bench-data}; rounds=${4:-9}
cd "$dir"
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
one() {  # wall seconds of one conversion of $2 by $1
  rm -f "${2%.dat}.txt"; sync
  local t0 t1
  t0=$(date +%s.%N); "$1" "$2" > /dev/null; t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc -l
}
printf '%-10s %9s %9s %7s\n' workload old_s new_s new/old
for w in short double float short-4x; do
  [ -f "$w.dat" ] || { echo "missing $dir/$w.dat: run make bench first" >&2; exit 1; }
  a=(); b=()
  for ((r = 0; r < rounds; r++)); do
    a+=("$(one "$old" "$w.dat")"); b+=("$(one "$new" "$w.dat")")
  done
  ma=$(printf '%s\n' "${a[@]}" | median); mb=$(printf '%s\n' "${b[@]}" | median)
  printf '%-10s %9.4f %9.4f %7.3f\n' "$w" "$ma" "$mb" "$(echo "$mb / $ma" | bc -l)"
done
rm -f short.txt double.txt float.txt short-4x.txt
