#!/usr/bin/env bash
# Duskline's merge against the tools people use today, side by side on the same bursts:
#   duskline-merge (JPEG in, JPEG out), its default (desktop) profile and --phone
#   align_image_stack -a, then enfuse with its defaults
#   OpenCV AlignMTB, then MergeMertens with its defaults
# For every burst of the shared data (Kebun at its full 4032x3024; SCENES="Kebun Flowers"
# limits the list), each tool runs RUNS times (default 5), alternating, and the table shows
# the median wall time,
# the peak memory (/usr/bin/time), each peer's time as a multiple of Duskline's, and the
# MEF-SSIM score of each result twice: against the inputs as they were shot, and against the
# inputs as that tool registered them. MEF-SSIM assumes a still scene, so the first column
# penalises every correction of real motion (the more exact the correction, the more it costs),
# and the second scores the fusion on the registration it was given. A second table scores the
# fusions alone on the given inputs (duskline-merge --no-align, enfuse with exposure weight
# only and with its defaults, MergeMertens). Run by hand, not in CI:
#   bench/peers.sh [BUILD_DIR]          (default: build)
# Missing peers are installed from Debian (needs root or sudo).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac
runs="${RUNS:-5}"
data="${DUSKLINE_DATA:-$root/../shared/data}"
python=/usr/bin/python3 # Debian's, where python3-opencv installs

merge="$build/bin/duskline-merge"
score="$build/bin/mef_ssim"
for program in "$merge" "$score"; do
  if [ ! -x "$program" ]; then
    echo "peers: $program is not built (cmake --build $build --target duskline-merge mef_ssim)" >&2
    exit 1
  fi
done
if [ ! -d "$data" ]; then
  echo "peers: the shared data is not at $data (set DUSKLINE_DATA)" >&2
  exit 1
fi

install_peers() {
  local missing=()
  command -v enfuse >/dev/null || missing+=(enfuse)
  command -v align_image_stack >/dev/null || missing+=(hugin-tools)
  [ -x /usr/bin/time ] || missing+=(time)
  [ -x "$python" ] && "$python" -c "import numpy" 2>/dev/null || missing+=(python3-numpy)
  [ -x "$python" ] && "$python" -c "import cv2" 2>/dev/null || missing+=(python3-opencv)
  [ ${#missing[@]} -eq 0 ] && return
  echo "peers: installing ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}
install_peers

work="$(mktemp -d "${TMPDIR:-/tmp}/duskline-peers-XXXXXX")"
trap 'rm -rf "$work"' EXIT

cat >"$work/opencv_merge.py" <<'EOF'
import os
import sys
import cv2
import numpy as np
out, inputs = sys.argv[1], sys.argv[2:]
images = [cv2.imread(p) for p in inputs]
if "NO_ALIGN" not in os.environ:
    cv2.createAlignMTB().process(images, images)
if "ALIGNED" in os.environ:
    for i, image in enumerate(images, 1):
        cv2.imwrite(f"{os.environ['ALIGNED']}{i}.ppm", image)
fused = cv2.createMergeMertens().process(images)
cv2.imwrite(out, np.clip(fused * 255, 0, 255).astype(np.uint8), [cv2.IMWRITE_JPEG_QUALITY, 95])
EOF

read -r -a scenes <<<"${SCENES:-Flowers OldHouse SeaRock Kebun}"
inputs_of() {
  if [ "$1" = Kebun ]; then
    echo "$data/Kebun/8.jpg $data/Kebun/6.jpg $data/Kebun/4.jpg"
  else
    echo "$data/$1/${1}1.jpg $data/$1/${1}2.jpg $data/$1/${1}3.jpg"
  fi
}

# One timed run: the command line of tool $1 on scene $2, writing $3.
command_of() {
  local tool=$1 scene=$2 out=$3 inputs
  inputs="$(inputs_of "$scene")"
  case "$tool" in
  duskline) echo "'$merge' -o '$out' $inputs" ;;
  phone) echo "'$merge' --phone -o '$out' $inputs" ;;
  enfuse)
    echo "align_image_stack -a '$work/ais_' $inputs >/dev/null 2>&1 &&" \
      "enfuse --compression=95" \
      "-o '$out' '$work/ais_0000.tif' '$work/ais_0001.tif' '$work/ais_0002.tif' >/dev/null 2>&1"
    ;;
  opencv) echo "'$python' '$work/opencv_merge.py' '$out' $inputs" ;;
  esac
}

tools=(duskline phone enfuse opencv)
declare -A seconds peak quality registered
for scene in "${scenes[@]}"; do
  for ((run = 1; run <= runs; run++)); do
    for tool in "${tools[@]}"; do
      out="$work/$scene-$tool.jpg"
      rm -f "$out"
      [ "$tool" = enfuse ] && rm -f "$work"/ais_*.tif
      if ! /usr/bin/time -f "%e %M" -o "$work/time" bash -c "$(command_of "$tool" "$scene" "$out")" \
        || [ ! -s "$out" ]; then
        echo "peers: $tool failed on $scene" >&2
        exit 1
      fi
      read -r wall kb <"$work/time"
      seconds[$scene,$tool]+="$wall "
      old="${peak[$scene,$tool]:-0}"
      peak[$scene,$tool]=$((kb > old ? kb : old))
    done
  done
  # The inputs as each tool registered them, from one more (untimed) run of the duskline and
  # OpenCV merges; align_image_stack's images are still there from enfuse's last run.
  "$merge" --aligned "$work/$scene-duskline-al" -o "$work/scratch.jpg" $(inputs_of "$scene")
  "$merge" --phone --aligned "$work/$scene-phone-al" -o "$work/scratch.jpg" $(inputs_of "$scene")
  ALIGNED="$work/$scene-opencv-al" "$python" "$work/opencv_merge.py" "$work/scratch.jpg" \
    $(inputs_of "$scene")
  for i in 1 2 3; do
    "$python" -c 'import cv2, sys; cv2.imwrite(sys.argv[2], cv2.imread(sys.argv[1]))' \
      "$work/ais_000$((i - 1)).tif" "$work/$scene-enfuse-al$i.ppm"
  done
  for tool in "${tools[@]}"; do
    # shellcheck disable=SC2046
    quality[$scene,$tool]="$("$score" "$work/$scene-$tool.jpg" $(inputs_of "$scene"))"
    registered[$scene,$tool]="$("$score" "$work/$scene-$tool.jpg" \
      "$work/$scene-$tool-al1.ppm" "$work/$scene-$tool-al2.ppm" "$work/$scene-$tool-al3.ppm")"
  done
done

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

build_type="$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)"
echo "Duskline against its peers: median of $runs runs each, alternating"
echo "machine: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), $(nproc) cores;" \
  "duskline-merge build: ${build_type:-unknown}"
echo "peers: $(enfuse --version 2>/dev/null | head -1);" \
  "align_image_stack (hugin-tools $(dpkg-query -W -f='${Version}' hugin-tools 2>/dev/null));" \
  "OpenCV $("$python" -c 'import cv2; print(cv2.__version__)')"
echo
echo "MEF-SSIM against the inputs as shot / as the tool registered them"
printf "%-9s %-28s %10s %9s %9s %9s %11s\n" scene tool "median s" "peak MB" "x Dusk." "SSIM shot" "registered"
for scene in "${scenes[@]}"; do
  base="$(echo "${seconds[$scene,duskline]}" | median)"
  for tool in "${tools[@]}"; do
    case "$tool" in
    duskline) label="duskline-merge" ;;
    phone) label="duskline-merge --phone" ;;
    enfuse) label="align_image_stack + enfuse" ;;
    opencv) label="AlignMTB + MergeMertens" ;;
    esac
    m="$(echo "${seconds[$scene,$tool]}" | median)"
    awk -v s="$scene" -v t="$label" -v m="$m" -v kb="${peak[$scene,$tool]}" -v b="$base" \
      -v q="${quality[$scene,$tool]}" -v r="${registered[$scene,$tool]}" \
      'BEGIN { printf "%-9s %-28s %10.2f %9.0f %9.1f %9s %11s\n", s, t, m, kb / 1024, m / (b > 0 ? b : 0.01), q, r }' 
  done
done

# The fusions alone, on the inputs as given.
echo
echo "MEF-SSIM of the fusion alone, on the inputs as given"
printf "%-9s %12s %12s %14s %12s\n" scene "duskline" "enfuse exp." "enfuse default" "Mertens"
for scene in "${scenes[@]}"; do
  # shellcheck disable=SC2046
  set -- $(inputs_of "$scene")
  "$merge" --no-align -o "$work/na-duskline.png" "$@"
  enfuse --exposure-weight=1 --saturation-weight=0 --contrast-weight=0 -o "$work/na-enfuse-exp.tif" "$@" >/dev/null 2>&1
  enfuse -o "$work/na-enfuse.tif" "$@" >/dev/null 2>&1
  NO_ALIGN=1 "$python" "$work/opencv_merge.py" "$work/na-opencv.jpg" "$@"
  for f in na-enfuse-exp na-enfuse; do
    "$python" -c 'import cv2, sys; cv2.imwrite(sys.argv[2], cv2.imread(sys.argv[1]))' "$work/$f.tif" "$work/$f.png"
  done
  printf "%-9s %12s %12s %14s %12s\n" "$scene" "$("$score" "$work/na-duskline.png" "$@")" \
    "$("$score" "$work/na-enfuse-exp.png" "$@")" "$("$score" "$work/na-enfuse.png" "$@")" \
    "$("$score" "$work/na-opencv.jpg" "$@")"
done
