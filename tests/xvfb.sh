# Sourced by the end-to-end scripts: start_xvfb SIZE starts a private X
# server of that screen size (e.g. 1024x768x24) and exports DISPLAY; xvfb is
# its pid.  Needs $work and fail() from the caller.
#
# The server picks the display number itself (-displayfd) and takes only one
# whose every listening socket it could make, so an X server elsewhere that
# holds the same abstract socket name is never reached; it writes the number
# once it accepts clients.  -noreset keeps it from starting over each time
# its last client leaves: a program started during that reset finds no
# display, which failed the tests now and then.
start_xvfb() {
  Xvfb -displayfd 3 -noreset -screen 0 "$1" -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb=$!
  for _ in $(seq 100); do
    grep -q '^[0-9][0-9]*$' "$work/display" 2>/dev/null && break
    kill -0 $xvfb 2>/dev/null || break
    sleep 0.1
  done
  grep -q '^[0-9][0-9]*$' "$work/display" 2>/dev/null || { cat "$work/xvfb.log" >&2; fail "Xvfb did not start"; }
  export DISPLAY=:$(cat "$work/display")
}
