#!/usr/bin/env bash
# The real program under Xvfb: start it with a scratch home and the fake LM
# Studio, press the start button from the keyboard, see the server answer,
# take a screenshot, check that a second instance says so in a dialog and
# exits without changing a file, quit, and see the process end and the port
# free.
#   smoke_test.sh KLARION FAKE_LMSTUDIO SCREENSHOT_DIR
set -euo pipefail
KLARION="$1" FAKE="$2" SHOTS="$3"
mkdir -p "$SHOTS"
SCRATCH="$(mktemp -d /tmp/klarion-smoke-XXXXXX)"
FAKE_PID=""
cleanup() {
  [ -n "$FAKE_PID" ] && kill "$FAKE_PID" 2>/dev/null || true
  rm -rf "$SCRATCH"
}
trap cleanup EXIT
export HOME="$SCRATCH/home" XDG_CONFIG_HOME="$SCRATCH/home/.config" XDG_RUNTIME_DIR="$SCRATCH/run"
mkdir -p "$HOME/Documents" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM
# Under AddressSanitizer: X11's keyboard library (not instrumented) hands
# strndup a string without a terminating NUL, which the strict string checks
# report although strndup reads no further than asked.
[ -z "${ASAN_OPTIONS:-}" ] || export ASAN_OPTIONS="$ASAN_OPTIONS:strict_string_checks=0"

"$FAKE" > "$SCRATCH/fake.out" &
FAKE_PID=$!
for _ in $(seq 100); do grep -q "listening on" "$SCRATCH/fake.out" 2>/dev/null && break; sleep 0.1; done
LM_PORT="$(awk '/listening on/ {print $3}' "$SCRATCH/fake.out")"
# The server's port is taken below the range the system hands out to client sockets: the
# tests running beside this one open thousands of loopback connections, and one of them
# holding the port (a port given by bind(0) comes from that range) refuses the server.
PORT="$(python3 - <<'PICK'
import random, socket
low = int(open('/proc/sys/net/ipv4/ip_local_port_range').read().split()[0])
for _ in range(500):
    port = random.randrange(10000, low) if low > 11000 else 0
    s = socket.socket(socket.AF_INET6)
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    try:
        s.bind(('::', port))
        print(s.getsockname()[1])
        break
    except OSError:
        pass
    finally:
        s.close()
PICK
)"

cat > "$SCRATCH/session.sh" <<SESSION
set -euo pipefail
"$KLARION" --lmstudio "http://127.0.0.1:$LM_PORT" --port "$PORT" 2> "$SCRATCH/klarion.err" &
PID=\$!
WID=""
for _ in \$(seq 100); do WID="\$(xdotool search --name '^Klarion\$' 2>/dev/null | head -1)" && [ -n "\$WID" ] && break; sleep 0.1; done
[ -n "\$WID" ] || { echo "no window"; exit 1; }
# Without a window manager, X refuses the focus to a window not yet mapped:
# asked again until it holds.
focus() {
  for _ in \$(seq 100); do
    xdotool windowfocus --sync "\$1" 2>/dev/null || true
    [ "\$(xdotool getwindowfocus 2>/dev/null)" = "\$1" ] && return 0
    sleep 0.1
  done
  return 0
}
focus "\$WID"
# The start button holds the focus once the window is active. On a busy
# machine the window may take the focus after the key was pressed, and the key
# is lost: a press that found the window ready starts the server well within
# ten seconds, so only then is the key pressed again (at most three times).
sleep 1
# A start refused meanwhile (on a very busy machine the 2-second probe of LM
# Studio may run out) shows an alert, which takes the keys: its title is noted
# and the alert closed before the next press.
ALERTS=""
for _ in 1 2 3; do
  focus "\$WID"
  xdotool key space
  for _ in \$(seq 100); do curl -sf "http://127.0.0.1:$PORT/api/config" > "$SCRATCH/config.json" && break 2; sleep 0.1; done
  for OTHER in \$(xdotool search --onlyvisible --pid \$PID 2>/dev/null); do
    [ "\$OTHER" = "\$WID" ] && continue
    ALERTS="\$ALERTS [\$(xdotool getwindowname "\$OTHER")]"
    focus "\$OTHER"
    xdotool key Return
  done
done
grep -q '"requiresPin"' "$SCRATCH/config.json" || { echo "no answer from /api/config; windows shown:\$ALERTS"; cat "$SCRATCH/klarion.err"; exit 1; }
sleep 0.5
import -window root "$SHOTS/smoke-running.png"

# A second start answers in a window of its own, "Klarion est déjà ouvert.",
# and exits with 1 once it is closed, having changed no file.
BEFORE="\$(find "$SCRATCH/home" -type f -printf '%p %s %T@\n' | sort | md5sum)"
"$KLARION" --port 1 2> "$SCRATCH/second.err" &
SECOND_PID=\$!
SECOND_WID=""
for _ in \$(seq 100); do
  SECOND_WID="\$(xdotool search --onlyvisible --pid \$SECOND_PID 2>/dev/null | head -1)" && [ -n "\$SECOND_WID" ] && break
  kill -0 \$SECOND_PID 2>/dev/null || break
  sleep 0.1
done
[ -n "\$SECOND_WID" ] || { echo "the second instance showed no window"; kill \$SECOND_PID 2>/dev/null; exit 1; }
[ "\$(xdotool getwindowname "\$SECOND_WID")" = "Klarion est déjà ouvert." ] || { echo "second window: \$(xdotool getwindowname "\$SECOND_WID")"; exit 1; }
import -window "\$SECOND_WID" "$SHOTS/smoke-second-launch.png"
focus "\$SECOND_WID"
xdotool key Return
SECOND=0
for _ in \$(seq 100); do kill -0 \$SECOND_PID 2>/dev/null || break; sleep 0.1; done
if kill -0 \$SECOND_PID 2>/dev/null; then echo "the second instance stays after its dialog"; kill \$SECOND_PID; exit 1; fi
wait \$SECOND_PID || SECOND=\$?
AFTER="\$(find "$SCRATCH/home" -type f -printf '%p %s %T@\n' | sort | md5sum)"
[ "\$SECOND" = 1 ] || { echo "second instance: status \$SECOND"; exit 1; }
[ "\$BEFORE" = "\$AFTER" ] || { echo "the second instance changed a file"; exit 1; }

focus "\$WID"
xdotool key ctrl+q
for _ in \$(seq 100); do kill -0 \$PID 2>/dev/null || break; sleep 0.1; done
if kill -0 \$PID 2>/dev/null; then echo "still running after quit"; kill \$PID; exit 1; fi
wait \$PID
if curl -s "http://127.0.0.1:$PORT/api/config" >/dev/null; then echo "port still answers"; exit 1; fi
echo "smoke test passed"
SESSION
xvfb-run -a -s "-screen 0 1280x1024x24" bash "$SCRATCH/session.sh"
