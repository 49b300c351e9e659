# Sourced by the scripts: runs a long command with its output in a log and says how it goes, so
# that no step is silent for more than PROGRESS_EVERY seconds (15 by default).
#
#   progress LABEL LOG UNIT COMMAND...
# prints "LABEL ...", then every PROGRESS_EVERY seconds "LABEL: N s, " and the last "[ NN%]" the
# log holds or, without one, how many of its lines match UNIT ("compiled" counts compiler runs,
# "set up" apt's configured packages; a path, that file's size); at the end "LABEL: done in N s", or the log's last
# PROGRESS_TAIL lines (30) and the command's status. Lines go to stderr: stdout stays the caller's.
progress() {
  local label=$1 log=$2 unit=$3 pid status start=$SECONDS
  shift 3
  echo "$label ..." >&2
  "$@" >"$log" 2>&1 &
  pid=$!
  while ! _progress_wait "$pid" "${PROGRESS_EVERY:-15}"; do
    echo "$label: $((SECONDS - start)) s, $(_progress_state "$log" "$unit")" >&2
  done
  status=0
  wait "$pid" || status=$?
  if [ "$status" -ne 0 ]; then
    [ "${PROGRESS_TAIL:-30}" -eq 0 ] || tail -"${PROGRESS_TAIL:-30}" "$log" >&2
    echo "$label: failed after $((SECONDS - start)) s (exit status $status)" >&2
    return "$status"
  fi
  echo "$label: done in $((SECONDS - start)) s" >&2
}

# True once PID has ended, false once it has run about SECONDS more (wall clock: a loaded
# machine stretches the polling, not the interval).
_progress_wait() {
  local pid=$1 end
  end=$(( ${EPOCHREALTIME/./} + $(awk -v s="$2" 'BEGIN { printf "%d", s * 1000000 }') ))
  while kill -0 "$pid" 2>/dev/null; do
    [ "${EPOCHREALTIME/./}" -lt "$end" ] || return 1
    sleep 0.2
  done
}

_progress_state() {
  local log=$1 unit=$2 percent
  percent=$(grep -o '^\[ *[0-9]*%\]' "$log" 2>/dev/null | tail -1 | tr -d '[ ]')
  if [ -n "$percent" ]; then echo "$percent"; return; fi
  case $unit in
    compiled) echo "$(grep -c -- ' -c ' "$log" 2>/dev/null) files compiled" ;;
    "set up") echo "$(grep -c '^Setting up ' "$log" 2>/dev/null) packages set up" ;;
    /*) echo "$(( $(stat -c %s "$unit" 2>/dev/null || echo 0) / 1000000 )) MB" ;;
    *) echo "$(wc -l <"$log" 2>/dev/null || echo 0) lines of output" ;;
  esac
}
