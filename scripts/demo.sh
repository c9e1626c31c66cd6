#!/usr/bin/env bash
# The demo: builds the updater, the sim-bus library and the printer
# simulator, then brings three simulated printers to the sample package.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/demo"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQ7730_BUILD_TESTS=OFF -DWIRELET_BUS=sim >/dev/null
cmake --build "$build" -j2

work=$(mktemp -d "${TMPDIR:-/tmp}/q7730-demo.XXXXXX")
cp -r "$root/demo/package/." "$work/"
cp "$build/sim/wirelet.dll" "$work/"
sim="$build/sim/q7730-sim"

"$sim" --dir "$work" --printers 3 --scenario "$root/demo/scenario.ini" &
sim_pid=$!
stop_sim() { "$sim" --dir "$work" --stop >/dev/null 2>&1 || kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
trap stop_sim EXIT
"$sim" --dir "$work" --wait 10000 >/dev/null

echo "---- Q7730upgrade Q7730.ini (in $work) ----"
status=0
(cd "$work" && "$build/Q7730upgrade" Q7730.ini) || status=$?
echo
echo "---- exit status: $status ----"

# What each simulated printer stored, against the package's images (the
# controller image goes to the printer with its 64-byte trailer first). The
# demo fails unless the run succeeded and all twelve images are identical.
expect() { # board-set folder, file stem
  echo "$work/$1/$2"
}
differ=0
for k in 1 2 3; do
  set_dir=newpcb; stem=new
  [ "$k" = 2 ] && { set_dir=oldpcb; stem=old; }
  echo "printer $k ($set_dir):"
  for t in 6:usb 1:main 0:dsp 2:table; do
    target=${t%%:*}; name=${t#*:}
    image=$(expect "$set_dir" "${name}_${stem}.bin")
    stored="$work/printers/$k/stored/target-$target.bin"
    if [ ! -f "$stored" ]; then
      printf '  %-6s missing\n' "$name"
      differ=$((differ + 1))
      continue
    fi
    if [ "$target" = 6 ]; then
      size=$(stat -c %s "$image")
      same=$({ tail -c 64 "$image"; head -c $((size - 64)) "$image"; } | cmp -s - "$stored" && echo yes || echo no)
    else
      same=$(cmp -s "$image" "$stored" && echo yes || echo no)
    fi
    printf '  %-6s %7d bytes stored, identical to the image: %s\n' "$name" "$(stat -c %s "$stored")" "$same"
    [ "$same" = yes ] || differ=$((differ + 1))
  done
done
if [ "$differ" != 0 ]; then
  echo "---- demo failed: $differ of 12 images missing or different ----"
  exit 1
fi
echo "---- demo passed: all 12 images identical ----"
exit "$status"
