#!/bin/sh
# Runs a test program on a session bus of its own: once with a fresh, unlocked GNOME Keyring
# (TAVIK_TEST_KEYRING set), once without any Secret Service.
set -eu
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/run"
mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
# The keyring daemon leaves with the session bus.
dbus-run-session -- sh -c '
  printf "keyring-test" | gnome-keyring-daemon --unlock --components=secrets --daemonize >/dev/null
  TAVIK_TEST_KEYRING=1 exec "$@"' sh "$@"
# A bus that starts no services, so no keyring is activated behind the test's back.
cat > "$home/bare-session.conf" <<CONF
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=$home</listen>
  <auth>EXTERNAL</auth>
  <policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
CONF
dbus-run-session --config-file="$home/bare-session.conf" -- "$@"
