#!/usr/bin/env bash
# Times zorpix and dezorpix against the general pixel-art scalers on the same
# images, single-threaded where the others can be told so, and prints median
# wall times, their ratios and peak memory.
#
#   bench/compare.sh [build-folder] [runs] [huge]
#
# The build folder (default build/release) must hold apps/zorpix,
# apps/dezorpix and bench/make_sprites. ImageMagick (convert, mogrify) and
# ffmpeg are used where installed; taskset, where installed, also runs our
# programs on one core, as a busy machine leaves them. With "huge" as the
# third argument both programs also take a 16383 x 16383 sheet, the largest
# zorpix takes (several GiB of memory and a minute or more). Every run writes
# a fresh output file: earlier outputs are removed before it, and the disk
# has taken everything written before, the same for every tool.
set -euo pipefail
export LC_ALL=C  # a decimal point in $EPOCHREALTIME and in awk's numbers
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build/release}" && pwd)
runs=${2:-5}
huge=${3:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/zorpix-compare-XXXXXX")
trap 'rm -rf "$work"' EXIT

zorpix=$build/apps/zorpix
dezorpix=$build/apps/dezorpix
"$build/bench/make_sprites" "$work/sheet.bmp" 4096 4096 1
mkdir -p "$work/sheet" "$work/folder"
mv "$work/sheet.bmp" "$work/sheet/"
for i in $(seq 1 32); do "$build/bench/make_sprites" "$work/folder/s$i.bmp" 256 256 "$i"; done
if [ "$huge" = huge ]; then
  mkdir -p "$work/huge"
  "$build/bench/make_sprites" "$work/huge/sheet.bmp" 16383 16383 1
fi

# The real ImageMagick, not a wrapper that may stand in front of it.
convert=$(command -v convert-im6.q16 || command -v convert || true)
mogrify=$(command -v mogrify-im6.q16 || command -v mogrify || true)
ffmpeg=$(command -v ffmpeg || true)

declare -A commands
order=()
add() { commands[$1]=$2; order+=("$1"); }
add "zorpix" "cd $work/sheet && $zorpix"
add "dezorpix" "cd $work/sheet && $dezorpix"
add "zorpix 300 0 0" "cd $work/sheet && $zorpix 300 0 0"
if command -v taskset >/dev/null; then
  add "zorpix, 1 core" "cd $work/sheet && taskset -c 0 $zorpix"
  add "dezorpix, 1 core" "cd $work/sheet && taskset -c 0 $dezorpix"
  add "zorpix 300 0 0, 1 core" "cd $work/sheet && taskset -c 0 $zorpix 300 0 0"
fi
if [ "$huge" = huge ]; then
  add "zorpix 16383" "cd $work/huge && $zorpix"
  add "dezorpix 16383" "cd $work/huge && $dezorpix"
fi
if [ -n "$convert" ]; then
  add "convert -magnify" "MAGICK_THREAD_LIMIT=1 $convert $work/sheet/sheet.bmp -magnify $work/out.bmp"
fi
if [ -n "$ffmpeg" ]; then
  for filter in super2xsai hqx=n=2 xbr=n=2; do
    add "ffmpeg $filter" "$ffmpeg -v error -threads 1 -filter_threads 1 -i $work/sheet/sheet.bmp -vf $filter -pix_fmt bgr24 $work/out.bmp"
  done
fi
add "zorpix 32 files" "cd $work/folder && $zorpix"
command -v taskset >/dev/null &&
  add "zorpix 32 files, 1 core" "cd $work/folder && taskset -c 0 $zorpix"
if [ -n "$mogrify" ]; then
  add "mogrify 32 files" "MAGICK_THREAD_LIMIT=1 $mogrify -path $work/mog -magnify $work/folder/*.bmp"
fi

# Before every run, untimed: the earlier outputs go, and what the system still
# has to write of them reaches the disk, so that no run pays for removing or
# writing back another's gigabytes.
clean() {
  rm -rf "$work/sheet/scaled" "$work/sheet/restored" "$work/folder/scaled" "$work/out.bmp" \
    "$work/mog"
  [ "$huge" = huge ] && rm -rf "$work/huge/scaled" "$work/huge/restored"
  mkdir "$work/mog"
  sync
}

# Runs alternate between the tools, so a slow patch of the machine hits all.
declare -A times memory
for ((run = 0; run < runs; ++run)); do
  for name in "${order[@]}"; do
    clean
    # The wall time to the millisecond from the shell's clock (time's own is
    # in hundredths, too coarse for runs of a few tenths); time gives the peak.
    start=$EPOCHREALTIME
    /usr/bin/time -o "$work/time" -f "%M" bash -c "${commands[$name]}" >/dev/null 2>&1 ||
      { echo "$name failed"; exit 1; }
    end=$EPOCHREALTIME
    times[$name]+="$(awk "BEGIN{printf \"%.3f\", $end - $start}") "
    memory[$name]+="$(tail -n 1 "$work/time") "
  done
done

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
declare -A med
printf '%-20s %10s %14s %12s\n' "tool" "median s" "peak MiB" "runs"
for name in "${order[@]}"; do
  med[$name]=$(median <<<"${times[$name]}")
  peak=$(median <<<"${memory[$name]}")
  printf '%-20s %10.3f %14.1f   %s\n' "$name" "${med[$name]}" "$(awk "BEGIN{print $peak/1024}")" "${times[$name]}"
done

ratio() { awk "BEGIN{printf \"%.2f\", $1/$2}"; }
echo
echo "Ratios of median times (ours / theirs):"
for theirs in "convert -magnify" "ffmpeg super2xsai"; do
  [ -n "${med[$theirs]:-}" ] || continue
  echo "  zorpix / $theirs: $(ratio "${med[zorpix]}" "${med[$theirs]}")"
done
[ -n "${med["convert -magnify"]:-}" ] &&
  echo "  dezorpix / convert -magnify: $(ratio "${med[dezorpix]}" "${med["convert -magnify"]}")"
[ -n "${med["mogrify 32 files"]:-}" ] &&
  echo "  zorpix / mogrify, 32 files: $(ratio "${med["zorpix 32 files"]}" "${med["mogrify 32 files"]}")"
for program in zorpix dezorpix; do
  [ -n "${med["$program 16383"]:-}" ] &&
    echo "  $program 16383 x 16383 / 16 times $program 4096 x 4096:" \
         "$(ratio "${med["$program 16383"]}" "$(awk "BEGIN{print 16 * ${med[$program]}}")")"
done
[ -n "${med["zorpix 300 0 0"]:-}" ] &&
  echo "  zorpix 300 0 0 / zorpix: $(ratio "${med["zorpix 300 0 0"]}" "${med[zorpix]}")"
if [ -n "${med["zorpix, 1 core"]:-}" ]; then
  echo "On one core:"
  [ -n "${med["ffmpeg super2xsai"]:-}" ] &&
    echo "  zorpix / ffmpeg super2xsai: $(ratio "${med["zorpix, 1 core"]}" "${med["ffmpeg super2xsai"]}")"
  if [ -n "${med["convert -magnify"]:-}" ]; then
    echo "  zorpix / convert -magnify: $(ratio "${med["zorpix, 1 core"]}" "${med["convert -magnify"]}")"
    echo "  dezorpix / convert -magnify: $(ratio "${med["dezorpix, 1 core"]}" "${med["convert -magnify"]}")"
  fi
  [ -n "${med["mogrify 32 files"]:-}" ] &&
    echo "  zorpix / mogrify, 32 files: $(ratio "${med["zorpix 32 files, 1 core"]}" "${med["mogrify 32 files"]}")"
  echo "  zorpix 300 0 0 / zorpix: $(ratio "${med["zorpix 300 0 0, 1 core"]}" "${med["zorpix, 1 core"]}")"
fi
echo
echo "Peak memory per source pixel:"
for name in zorpix dezorpix "zorpix 300 0 0" "zorpix 16383" "dezorpix 16383"; do
  [ -n "${memory[$name]:-}" ] || continue
  case $name in *16383) pixels=$((16383 * 16383)) ;; *) pixels=$((4096 * 4096)) ;; esac
  peak=$(median <<<"${memory[$name]}")
  echo "  $name: $(awk "BEGIN{printf \"%.1f\", $peak*1024/$pixels}") bytes"
done
