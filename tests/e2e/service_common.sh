# What the service tests share; sourced after $wine and WINEPREFIX are set.

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# A fresh prefix (no service left from a run that was cut short), then, because Wine ends
# services once no ordinary Wine process is left, a server of the test's own that stays up
# until the end. The prefix must exist before that server starts.
fresh_prefix() {
  wineserver -k 2>/dev/null
  rm -rf "$WINEPREFIX"
  "$wine" wineboot --init >/dev/null 2>&1
  wineserver -w
  wineserver -p
}

# Creates the service winperf_exporter with this command line. Just after wineboot the service
# manager may not take requests yet: it is tried for a few seconds.
create_service() {
  local _
  for _ in $(seq 1 20); do
    "$wine" sc create winperf_exporter DisplayName= "winperf exporter" binPath= "$1" \
      >"$tmp/create.out" 2>&1 && return 0
    sleep 0.5
  done
  fail "sc create failed: $(cat "$tmp/create.out")"
  return 1
}

# The last answer is kept, for the message of a wait that was not met.
state() { "$wine" sc query winperf_exporter 2>"$tmp/sc.err" | tee "$tmp/sc.out" | tr -d '\r' | sed -n -E 's/^ *STATE *: *[0-9]+ *([A-Z_]+).*/\1/p'; }
field() { "$wine" sc query winperf_exporter 2>/dev/null | tr -d '\r' | sed -n -E "s/^ *$1 *: *([0-9]+).*/\\1/p"; }
show() { echo "$1: state $(state), exit code $(field WIN32_EXIT_CODE), service exit code $(field SERVICE_EXIT_CODE)"; }

# net start reports success even when the service fails: poll until it settles.
wait_state() {
  local want=$1 s=""
  for _ in $(seq 1 60); do
    s=$(state)
    [ "$s" = "$want" ] && return 0
    case "$s" in *PENDING) ;; *) [ "$s" = STOPPED ] && [ "$want" != STOPPED ] && break ;; esac
    sleep 0.5
  done
  echo "state ${s:-none}, not $want (sc query said: $(tr -d '\r' <"$tmp/sc.out" | tr -s '\n' ' ')$(head -c 300 "$tmp/sc.err"))"
  return 1
}

# Waits until no exporter process of this prefix is left, for at most ten seconds.
wait_exited() {
  local _ p left
  for _ in $(seq 1 100); do
    left=""
    for p in $(pgrep -f winperf-exporter.exe); do
      grep -qz "^WINEPREFIX=$WINEPREFIX\$" "/proc/$p/environ" 2>/dev/null && left="$left $p"
    done
    [ -z "$left" ] && return 0
    sleep 0.1
  done
  echo "exporter processes still running:$left"
  return 1
}

# Holds port $1 with another program (its pid in $holder) and starts the service, which must end
# STOPPED, not stuck starting, with ERROR_SERVICE_SPECIFIC_ERROR and code 1.
start_on_taken_port() {
  python3 -c "import socket, time; s = socket.socket(); s.bind(('127.0.0.1', $1)); s.listen(); time.sleep(60)" &
  holder=$!
  sleep 0.5
  "$wine" net start winperf_exporter >/dev/null 2>&1
  wait_state STOPPED || fail "a start on a taken port did not end STOPPED"
  show "port taken"
  [ "$(field WIN32_EXIT_CODE)" = 1066 ] && [ "$(field SERVICE_EXIT_CODE)" = 1 ] ||
    fail "port taken: exit code $(field WIN32_EXIT_CODE)/$(field SERVICE_EXIT_CODE), not 1066/1"
}

release_port() {
  kill "$holder"
  wait "$holder" 2>/dev/null
  holder=""
}
