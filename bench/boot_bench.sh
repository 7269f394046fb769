#!/usr/bin/env bash
# Whole boots in the sandbox, run from the host (each boot is a sandbox of
# its own):
#  - the sample device, with the time of each phase from the time stamps of
#    its trace;
#  - a device whose reference hash list has 10^5 entries (made and signed as
#    the sample's is), with its device root on tmpfs and on disk: the boot's
#    time, the simulator's share of it (KS_SIM_PROFILE), the program's own
#    time per entry and the simulated calls per entry, shown as information.
# A boot that does not end in done fails the run.
#   bench/boot_bench.sh [BUILD-DIR] [ENTRIES]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/default}")
entries=${2:-100000}
sandbox=$build/sim/ks-sandbox
program=$build/init/keepstone-init
prepare=$build/sim/sample/make_sample_device
files=(--list /etc/group --list /etc/passwd
       --sign /etc/refhashlist --sign /var/lib/tarvo/restok/restok.conf)
for p in "$sandbox" "$program" "$prepare"; do
  [ -x "$p" ] || { echo "boot_bench: $p is not built" >&2; exit 1; }
done
work=$(mktemp -d "$build/boot-bench.XXXXXX")
shm=$(mktemp -d /dev/shm/ks-boot-bench.XXXXXX)
trap 'rm -rf --one-file-system -- "$work" "$shm"' EXIT

prepare_device() {  # device root, image
  "$sandbox" --root "$1" --image "$2" --mount-var -- "$prepare" "${files[@]}" >/dev/null
}

# Boots a prepared device once; prints "BOOT_NS SIMULATOR_NS DESCRIPTOR_NS CALLS"
# (of the simulator's time, what the descriptors the program opens on
# simulated files cost: their memfd and its close).
boot() {  # device root
  rm -f -- "$1/.ks-sim/profile"
  # The simulator times itself in keepstone-init and whatever it starts.
  local ns
  ns=$("$sandbox" --root "$1" -- /bin/sh -c \
       "s=\$(date +%s%N); KS_SIM_PROFILE=/.ks-sim/profile $program / >/dev/null 2>&1;
        e=\$(date +%s%N); echo \$((e - s))")
  local sim
  sim=$(awk '{ c += $2; s += $3; d += $4 } END { printf "%.0f %.0f %.0f\n", s, d, c }' \
        "$1/.ks-sim/profile" 2>/dev/null || echo 0 0 0)
  echo "$ns $sim"
}

# Time of each phase: the time stamp of each trace line minus the one
# before; the steps below 1 % of the whole are summed up in one line.
phases() {  # trace file
  awk '/^\[[0-9]+\.[0-9]+\] / {
         t[n] = substr($1, 2, length($1) - 2) + 0; text[n++] = substr($0, length($1) + 2)
       }
       END {
         if (n < 2) exit
         whole = t[n - 1] - t[0]
         for (i = 0; i + 1 < n; i++) {
           d = t[i + 1] - t[i]
           if (d >= whole / 100) printf "%9.3f ms  %s\n", d * 1000, text[i]
           else { small += d; count++ }
         }
         printf "%9.3f ms  (%d shorter steps)\n", small * 1000, count
         printf "%9.3f ms  from the first trace line to the last\n", whole * 1000
       }' "$1"
}

echo "== The sample device, per phase (time until the next trace line)"
prepare_device "$work/sample" sim/sample/image
read -r ns sim desc calls < <(boot "$work/sample")
phases "$work/sample/etc/tarvo/keepstone-init.log"
printf "boot %.1f ms, of which the simulator %.1f ms\n\n" "$(echo "$ns / 1000000" | bc -l)" \
  "$(echo "$sim / 1000000" | bc -l)"

echo "== A device with a reference hash list of $entries entries"
cp -a sim/sample/image "$work/image"
python3 scripts/make-sample-refhashlist.py "$work/image" --count "$entries" >/dev/null
status=0
for where in tmpfs disk; do
  if [ $where = tmpfs ]; then root=$shm/device; else root=$work/device; fi
  prepare_device "$root" "$work/image"
  read -r ns sim desc calls < <(boot "$root")
  if ! grep -q 'done (' "$root/etc/tarvo/keepstone-init.log"; then
    echo "boot_bench: the boot on $where did not end in done (see its log)" >&2
    status=1
  fi
  # The simulator's share counts the kernel's own answers, which a device's
  # kernel pays too: shown, not held (the program's own cost is held by
  # refhashlist_bench against its floor).
  share=$(echo "100 * $sim / $ns" | bc -l)
  printf "device root on %-5s boot %8.1f ms, simulator %8.1f ms: share %.1f %%\n" \
    $where "$(echo "$ns / 1000000" | bc -l)" "$(echo "$sim / 1000000" | bc -l)" "$share"
  printf "   per entry: the program's own time %.2f us, %.1f simulated calls\n" \
    "$(echo "($ns - $sim) / 1000 / $entries" | bc -l)" "$(echo "$calls / $entries" | bc -l)"
  printf "   of the simulator's time, the program's descriptors (memfd and close) %.1f ms: %.1f %% of the boot\n" \
    "$(echo "$desc / 1000000" | bc -l)" "$(echo "100 * $desc / $ns" | bc -l)"
  rm -rf --one-file-system -- "$root"
done
exit $status
