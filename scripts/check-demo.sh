#!/usr/bin/env bash
# Runs the README's demo from a fresh clone of this checkout, as a newcomer would: scripts/start.sh
# builds and starts the helper, build/velnor-sim puts the emulated heart-rate belt beside it, and
# a scan must show the belt in the "devices" answer. A free port and a private air keep it apart
# from any helper already running on this machine.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d /tmp/velnor-demo-XXXXXX)"
pids=()
cleanup() {
  exec 3>&-
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "demo check: $1" >&2
  for log in "$work"/*.log; do echo "--- $log" >&2; tail -n 20 "$log" >&2 || true; done
  exit 1
}

# shellcheck source=scripts/wait-for-text.sh
. "$repo/scripts/wait-for-text.sh"

git clone -q "$repo" "$work/clone"
cd "$work/clone"
port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
echo "{\"port\": $port}" > "$work/config.json"
url="http://127.0.0.1:$port"

echo "demo check: building and starting the helper from a fresh clone (port $port)"
scripts/start.sh --config "$work/config.json" --air "$work/air" > "$work/helper.log" 2>&1 &
pids+=($!)
wait_for_text "$work/helper.log" 1800 "HTTPServer: Listening on 127.0.0.1:$port" ||
  fail "the helper did not start"
deadline=$((SECONDS + 20))
until [ "$(curl -s "$url/version")" = "4.0.0.12" ]; do
  [ $SECONDS -lt $deadline ] || fail "the helper does not answer on port $port"
  sleep 0.2
done

# The belt's "second terminal": a pipe that stays open until the end. A background job of a
# script would read end of file from /dev/null and the emulator would end at once.
mkfifo "$work/device.in"
build/velnor-sim --air "$work/air" device examples/heart-rate-belt.json < "$work/device.in" \
  > "$work/device.log" 2>&1 &
pids+=($!)
exec 3> "$work/device.in"
wait_for_text "$work/device.log" 20 '{"event":"ready"}' || fail "the emulated belt did not start"

scan="$(curl -s -d '{"options":"","filename":"Lab"}' "$url/startScan")"
[ "$scan" = '{"lastError":0,"lastErrorMessage":"No error","result":"0"}' ] ||
  fail "startScan answered $scan"
# The answer is read whole before it is searched: under pipefail, `curl | grep -q` fails when
# grep stops reading early.
deadline=$((SECONDS + 20))
devices=""
until [[ "$devices" == *5C4D2A10-7F3B-4E8A-9C61-0B2D3E4F5A61* ]]; do
  [ $SECONDS -lt $deadline ] || fail "get devices never showed the belt; it answered $devices"
  sleep 0.2
  devices="$(curl -s -d '{"selector":"devices"}' "$url/get")"
done
echo "demo check: the README's demo shows the emulated belt"
