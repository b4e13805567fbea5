#!/usr/bin/env bash
# The install as a user gets it: `cmake --install` into a temporary DESTDIR,
# every file checked by its validator, the programs' command lines without a
# display, then the installed zepta under a virtual X server with a data
# folder of its own: its databases made there, an event saved with the
# simulated receiver, the installed files untouched, a second zepta refused.
#
#   install_test.sh BUILD_DIR PREFIX SYSCONFDIR VERSION
set -euo pipefail
BUILD=$1 PREFIX=$2 SYSCONFDIR=$3 VERSION=$4
WORK=$(mktemp -d)
PIDS=()
cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# wait_for SECONDS COMMAND...: polls until COMMAND succeeds.
wait_for() {
  local tries=$(($1 * 10)); shift
  until "$@"; do
    tries=$((tries - 1)); [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

ROOT=$WORK/root
DESTDIR=$ROOT cmake --install "$BUILD" >/dev/null
P=$ROOT$PREFIX
for file in bin/zepta bin/nomrel bin/zepta-listener \
  share/zepta/zepta.mdb share/zepta/Zepta.html share/zepta/Icons/not_found.ico \
  share/applications/zepta.desktop share/icons/hicolor/48x48/apps/zepta.png \
  share/icons/hicolor/128x128/apps/zepta.png share/icons/hicolor/scalable/apps/zepta.svg \
  share/metainfo/org.example.zepta.Zepta.metainfo.xml \
  share/man/man1/zepta.1.gz share/man/man1/nomrel.1.gz share/man/man8/zepta-listener.8.gz \
  share/doc/zepta/copyright share/doc/zepta-listener/copyright lib/systemd/system/zepta-listener.service; do
  [ -f "$P/$file" ] || fail "not installed: $file"
done
[ -f "$ROOT$SYSCONFDIR/zepta/listener.conf" ] || fail "not installed: $SYSCONFDIR/zepta/listener.conf"
for size in 48 128; do
  file "$P/share/icons/hicolor/${size}x${size}/apps/zepta.png" | grep -q "$size x $size" || fail "icon not ${size}x${size}"
done

desktop-file-validate "$P/share/applications/zepta.desktop"
appstreamcli validate --no-net "$P/share/metainfo/org.example.zepta.Zepta.metainfo.xml" >/dev/null
for page in man1/zepta.1.gz man1/nomrel.1.gz man8/zepta-listener.8.gz; do
  warnings=$(MANWIDTH=80 man --warnings -l "$P/share/man/$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
  MANWIDTH=80 man -l "$P/share/man/$page" | grep -q "^SYNOPSIS" || fail "$page renders no SYNOPSIS"
done

# The unit, its binary at the staged place and its man: page in the staged tree.
UNIT=$WORK/zepta-listener.service
sed "s|^ExecStart=$PREFIX/bin/|ExecStart=$P/bin/|" "$P/lib/systemd/system/zepta-listener.service" >"$UNIT"
(cd "$WORK" && MANPATH=$P/share/man systemd-analyze verify "$UNIT")
exposure=$(systemd-analyze security --offline=yes "$UNIT" 2>&1 | grep "Overall exposure level")
echo "$exposure"
[[ "$exposure" =~ :\ [0-9.]+\ (SAFE|OK) ]] || fail "the listener's service is too exposed: $exposure"

# Command lines, with no display at all: answered without Qt's windowing.
for program in zepta nomrel zepta-listener; do
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$P/bin/$program" --version) ||
    fail "$program --version: status $?"
  [[ "$out" == "$program $VERSION"* ]] || fail "$program --version said: $out"
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$P/bin/$program" --help | grep -qi "usage" ||
    fail "$program --help gave no usage"
  status=0
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$P/bin/$program" --no-such-option >/dev/null 2>&1 || status=$?
  [ "$status" = 2 ] || fail "$program with an unknown option: status $status, not 2"
done
export XDG_DATA_HOME=$WORK/xdg
DATA=$XDG_DATA_HOME/zepta
env -u DISPLAY -u QT_QPA_PLATFORM "$P/bin/zepta" --version | grep -qF "installed: data folder $DATA, read-only files in $P/share/zepta" ||
  fail "zepta --version does not name its folders"
[ ! -e "$DATA" ] || fail "--version made the data folder"

# The installed zepta on a virtual X server, as a user would start it.
(cd "$ROOT" && find . -type f -exec sha256sum {} + | sort) >"$WORK/before"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WORK/display" >/dev/null 2>&1 &
PIDS+=($!)
wait_for 10 grep -qs . "$WORK/display" || fail "Xvfb did not start"
export DISPLAY=:$(head -1 "$WORK/display")
unset QT_QPA_PLATFORM
# Without --folder the simulator feeds the installed Zepta's data folder.
"$P/bin/nomrel" simulate --port 1 >/dev/null &
PIDS+=($!)
"$P/bin/zepta" >"$WORK/first.log" 2>&1 &
FIRST=$!
PIDS+=($FIRST)
# The splash shows for five seconds, then the main window; the empty event
# database is made once it is shown.
wait_for 30 test -f "$DATA/Nomrel.mdb" || { cat "$WORK/first.log"; fail "Nomrel.mdb not made in the data folder"; }
[ -f "$DATA/zepta.mdb" ] || fail "zepta.mdb not made in the data folder"
[ "$(stat -c %a "$DATA")" = 700 ] || fail "the data folder is not the user's alone"

"$P/bin/zepta" >"$WORK/second.log" 2>&1 &
SECOND=$!
PIDS+=($SECOND)
wait_for 20 grep -q "Another Zepta is running for this user, with its data in $DATA" "$WORK/second.log" ||
  { cat "$WORK/second.log"; fail "a second zepta was not refused"; }
kill "$SECOND" # it waits on its message box
kill -0 "$FIRST" || fail "the first zepta ended"

# Choose the first event icon and press Save Event. Before the simulated fix
# is in, the save says "GPS Reading Required": close that box and try again.
wait_for 10 test -L "$DATA/ports/COM1" || fail "the simulated receiver made no ports/COM1"
# The main window is 453 pixels wide (6795 twips); the splash, whose name is
# the same, may still be on its way out.
main_window() {
  local id
  for id in $(xdotool search --onlyvisible --name '^Zepta$' 2>/dev/null); do
    if xdotool getwindowgeometry "$id" 2>/dev/null | grep -q 'Geometry: 453x'; then
      WINDOW=$id
      return 0
    fi
  done
  return 1
}
wait_for 10 main_window || fail "no main window"
MENU=$(( $(xdotool getwindowgeometry "$WINDOW" | sed -n 's/.*Geometry: [0-9]*x\([0-9]*\)/\1/p') - 446 ))
saved() { [ "$(sqlite3 "$DATA/Nomrel.mdb" 'SELECT count(*) FROM GEOCODED_EVENTS' 2>/dev/null)" = 1 ]; }
for attempt in 1 2 3 4 5 6 7 8 9 10; do
  xdotool windowfocus --sync "$WINDOW"
  xdotool mousemove --window "$WINDOW" 28 $((MENU + 220)) click 1
  xdotool mousemove --window "$WINDOW" 92 $((MENU + 420)) click 1
  wait_for 2 saved && break
  xdotool key Return
done
saved || { cat "$WORK/first.log"; fail "no event saved in $DATA/Nomrel.mdb"; }
echo "event saved at attempt $attempt"

kill "$FIRST"
wait "$FIRST" 2>/dev/null || true
(cd "$ROOT" && find . -type f -exec sha256sum {} + | sort) >"$WORK/after"
diff "$WORK/before" "$WORK/after" >&2 || fail "the installed files changed"
echo "install test passed"
