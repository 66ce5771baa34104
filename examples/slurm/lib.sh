# Helpers of the job scripts: the clip list every step derives from the
# frame tree, in one fixed order, so array tasks of different steps with the
# same array size own the same clips (what --dependency=aftercorr needs).

# Prints the clip keys (<date>/<video>/<start>min_to_<end>min), one a line.
clip_keys() {
  [ -d "$WORK/frames" ] || return 0
  find "$WORK/frames" -mindepth 4 -maxdepth 4 -type d \( -name right_cropped_frames -o -name left_cropped_frames \) \
    | sed -e "s|^$WORK/frames/||" -e 's|/[a-z]*_cropped_frames$||' | LC_ALL=C sort
}

# Prints the frame folder of clip key $1.
frames_of() { ls -d "$WORK/frames/$1"/*_cropped_frames | head -n 1; }

# Prints the recordings (<date>/<video>), one a line.
recording_keys() { clip_keys | sed 's|/[^/]*$||' | LC_ALL=C sort -u; }

# Prints the clip keys of recording $1 in time order.
clips_of_recording() {
  clip_keys | grep -F "$1/" | awk -F/ '{ start = $3; sub(/min_to_.*/, "", start); print start "\t" $0 }' \
    | sort -g -k1,1 | cut -f2
}

# Runs "$@" writing into $out.partial, then gives $out its name; skips the
# work when $out exists (finished on an earlier run) and redoes it when only
# $out.partial does (an earlier run stopped half-way).
finish_into() {
  local out=$1
  shift
  if [ -e "$out" ]; then
    echo "skip: $out is finished"
    return 0
  fi
  rm -rf "$out.partial"
  mkdir -p "$(dirname "$out")"
  if "$@" < /dev/null; then
    mv "$out.partial" "$out"
  else
    echo "failed: $out (a rerun tries it again)" >&2
    return 1
  fi
}
