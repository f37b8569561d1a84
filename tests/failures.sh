#!/usr/bin/env bash
# What a user meets first when something is wrong, without a display: the
# exit codes of start-up failures, option ranges, outputs that cannot be
# written or that fill up (here under a file-size limit), a signal during a
# capture, and the progress line of a partial capture.
set -u
bin=$1
show=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "failures test: $*" >&2; exit 1; }
unset DISPLAY WAYLAND_DISPLAY
export SDL_AUDIODRIVER=dummy

# run EXPECTED-CODE PATTERN ARGS...: the exit code, and the pattern in what
# was printed.  $with may hold an environment setting for the program.
with=""
run() {
  local code=$1 pattern=$2
  shift 2
  env $with "$bin" "$@" >"$work/out" 2>"$work/err" </dev/null
  local rc=$?
  [ $rc -eq "$code" ] || fail "$*: exit code $rc, expected $code; stderr: $(cat "$work/err")"
  grep -qF -- "$pattern" "$work/err" "$work/out" || fail "$*: no '$pattern' in: $(cat "$work/err" "$work/out")"
}

# A show folder with some of its files: the names given are left out.
folder() {
  rm -rf "$work/show"
  mkdir "$work/show"
  for f in velmorin.plg velmorin.dat velmorin.xm; do
    case " $* " in *" $f "*) ;; *) cp "$show/$f" "$work/show/" ;; esac
  done
  cd "$work/show" || fail "no folder"
}

# --- Start-up failures: their message, and exit code 3 ----------------------
folder velmorin.dat
run 3 "Error: Can't load velmorin.dat!" --windowed --silent
run 3 "Can't load velmorin.dat!" --check
run 3 "Can't load velmorin.dat!" --frames "$work/f0"
folder velmorin.plg
run 3 "Error: Can't load velmorin.plg!" --check
folder velmorin.xm
run 3 "Error: Can't play velmorin.xm!" --windowed --silent
run 3 "Error: Can't play velmorin.xm!" --frames "$work/f0"
folder
with=SDL_AUDIODRIVER=no_such_driver run 3 "Error: Can't initialize sound device!" --windowed
with=""
run 3 "needs a display" --windowed --silent
echo "failures: start-up failures exit with 3"

# --- Options: the accepted range, and the exit codes in --help ---------------
run 0 "3 a start-up failure" --help
grep -q "2 a wrong option" "$work/out" && grep -q "1 a script" "$work/out" || fail "--help: $(cat "$work/out")"
run 2 "--fps takes a whole number from 1 to 1000, not '0'" --frames x --fps 0
run 2 "--fps takes a whole number from 1 to 1000, not '2.5'" --frames x --fps 2.5
run 2 "--duration takes a number of seconds above 0" --frames x --duration 0
run 2 "--start-order takes a whole number from 0" --start-order -1
"$bin" --frames "$work/f1" --start-order 9999 >/dev/null 2>"$work/err"
rc=$?
[ $rc -eq 2 ] || fail "--start-order 9999: exit code $rc, expected 2"
grep -qE -- "--start-order takes a whole number from 0 to [0-9]+ \(the module's last order\), not 9999" "$work/err" \
  || fail "--start-order 9999: $(cat "$work/err")"
last=$(sed -nE 's/.*from 0 to ([0-9]+).*/\1/p' "$work/err")
[ "$last" -ge 31 ] || fail "the module's last order is $last, before the end marker"
[ ! -e "$work/f1" ] || fail "a refused --start-order still wrote $work/f1"
run 2 "from 0 to $last (the module's last order), not $((last + 1))" --windowed --silent --start-order $((last + 1))
echo "failures: option errors give their ranges, the start order the module's"

# --- Outputs that cannot be written ------------------------------------------
run 3 "velmorin: cannot write /nonexistent/frames: No such file or directory" --frames /nonexistent/frames
touch "$work/file"
run 3 "velmorin: cannot write $work/file/frames: Not a directory" --frames "$work/file/frames"
run 3 "velmorin: cannot write /nonexistent/show.mp4: No such file or directory" --capture /nonexistent/show.mp4

# A capture's folder is usable: whole PNGs, one log row for each of them and
# for nothing else, a WAV whose header gives the length on disk.
check_frames() {  # dir
  local dir=$1 n=0 f
  for f in "$dir"/frame_*.png; do
    [ -e "$f" ] || break
    [ "$f" = "$(printf '%s/frame_%06d.png' "$dir" $n)" ] || fail "frames not numbered in order at $f"
    [ "$(tail -c 8 "$f" | head -c 4)" = IEND ] || fail "$f is not a whole PNG"
    n=$((n + 1))
  done
  ls "$dir" | grep -q '\.part$' && fail "parts left in $dir: $(ls "$dir")"
  [ "$(tail -n +2 "$dir/frames.tsv" | cut -f1 | tr '\n' ' ')" = "$(seq -s ' ' 0 $((n - 1))) " ] \
    || fail "frames.tsv rows $(tail -n +2 "$dir/frames.tsv" | cut -f1 | tr '\n' ' ')for $n frames"
  check_wav "$dir/audio.wav"
  frames=$n
}
check_wav() {  # file
  local size riff data
  size=$(stat -c %s "$1")
  riff=$(od -An -tu4 -j4 -N4 "$1" | tr -d ' ')
  data=$(od -An -tu4 -j40 -N4 "$1" | tr -d ' ')
  [ "$riff" -eq $((size - 8)) ] && [ "$data" -eq $((size - 44)) ] && [ $((data % 4)) -eq 0 ] \
    || fail "$1: $size bytes, header says RIFF $riff, data $data"
}

# The WAV, the largest file, meets a 300 KiB limit after about a second and
# a half of sound: a message naming it and why, exit code 3.
(ulimit -f 300; exec "$bin" --frames "$work/full" --layout window --fps 10 --start-order 24 --duration 5) \
  >/dev/null 2>"$work/err"
rc=$?
[ $rc -eq 3 ] || fail "a full file: exit code $rc, expected 3: $(cat "$work/err")"
grep -qF "velmorin: cannot write $work/full/audio.wav: File too large" "$work/err" || fail "full: $(cat "$work/err")"
check_frames "$work/full"
[ "$frames" -gt 5 ] && [ "$frames" -lt 50 ] || fail "full: $frames frames"
[ $(( ($(stat -c %s "$work/full/audio.wav") - 44) / 4 )) -ge $(( (frames - 1) * 4410 )) ] || fail "full: sound cut early"

# --capture under the same limit: the mp4 closes with the pictures captured.
(ulimit -f 300; exec "$bin" --capture "$work/full.mp4" --layout window --fps 10 --start-order 24 --duration 5) \
  >/dev/null 2>"$work/err"
rc=$?
[ $rc -eq 3 ] || fail "a full capture: exit code $rc, expected 3: $(cat "$work/err")"
grep -qF "velmorin: cannot write $work/full.mp4.part.wav: File too large" "$work/err" \
  || fail "full capture: $(cat "$work/err")"
pictures=$(ffprobe -v error -select_streams v -count_frames -show_entries stream=nb_read_frames -of csv=p=0 \
  "$work/full.mp4")
[ "$pictures" -eq "$frames" ] || fail "full capture: $pictures pictures in the mp4, $frames frames in the folder"
echo "failures: unwritable and full outputs are named with their reason; what was written is usable"

# --- Progress of a partial capture, and a signal during one ------------------
run 0 "" --frames "$work/part" --layout window --fps 10 --start-order 24 --duration 5
grep "^frame" "$work/err" | tail -n 1 | grep -q "^frame 50 .* 100%" || fail "progress at the end: $(cat "$work/err")"
"$bin" --frames "$work/stopped" --layout window --fps 30 >/dev/null 2>"$work/err" &
pid=$!
for _ in $(seq 100); do [ -e "$work/stopped/frame_000030.png" ] && break; sleep 0.1; done
kill -TERM $pid
for _ in $(seq 50); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
kill -0 $pid 2>/dev/null && { kill -KILL $pid; fail "SIGTERM did not stop a capture within 5 s"; }
wait $pid
rc=$?
[ $rc -eq 143 ] || fail "SIGTERM during a capture: exit code $rc, expected 143: $(cat "$work/err")"
grep -q "interrupted after" "$work/err" || fail "SIGTERM: $(cat "$work/err")"
check_frames "$work/stopped"
# The same for --capture: the video so far, with its sound, closed by ffmpeg.
"$bin" --capture "$work/stopped.mp4" --layout window --fps 30 >/dev/null 2>"$work/err" &
pid=$!
sleep 3
kill -TERM $pid
for _ in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
kill -0 $pid 2>/dev/null && { kill -KILL $pid; fail "SIGTERM did not stop a video capture within 10 s"; }
wait $pid
rc=$?
[ $rc -eq 143 ] || fail "SIGTERM during a video capture: exit code $rc, expected 143: $(cat "$work/err")"
[ "$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "$work/stopped.mp4" | sort | tr '\n' ' ')" = "audio video " ] \
  || fail "SIGTERM: $work/stopped.mp4 is not a video with sound"
ls "$work" | grep -q '\.part' && fail "parts left: $(ls "$work")"
echo "failures: a partial capture ends at 100%; SIGTERM stops a capture with its folder usable"
