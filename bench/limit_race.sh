#!/usr/bin/env bash
# Races helpers against the loopback limit server (an epoll loop that only finds each request's
# end and writes /getLastError's answer), with every CPU kept awake by lowest-priority loops so
# that no round trip pays for waking an idle CPU. The servers run side by side and take turns,
# 3 s each, ROUNDS times; the medians are printed with each helper's ratio to the limit's.
# Each run is made three ways: as the scheduler places server and client, and pinned together
# on one CPU or apart on two (the two placements the scheduler picks between). Pinned figures
# are steady from run to run; unpinned ones swing with where the scheduler puts the threads.
# Usage: bench/limit_race.sh HELPER [OTHER_HELPER]
#   env: CLIENTS (1), ROUNDS (7), LIMIT_BENCH (../shared/bench: limit_server.cpp, post.lua)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
clients=${CLIENTS:-1}
rounds=${ROUNDS:-7}
shared=${LIMIT_BENCH:-$here/../../shared/bench}
threads=$((clients > 1 ? 2 : 1))
tmp=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; rm -rf "$tmp"' EXIT
g++ -O2 -std=c++20 "$shared/limit_server.cpp" -o "$tmp/limit" -pthread
for cpu in $(seq 0 $(($(nproc) - 1))); do
  taskset -c "$cpu" nice -n 19 sh -c 'while :; do :; done' &
  pids+=($!)
done

# Starts each server on SERVER_CPUS, races them ROUNDS times with wrk on CLIENT_CPUS.
race() {
  local placement=$1 server_cpus=$2 client_cpus=$3 names=() ports=() servers=() i=0
  shift 3
  for binary in "$@"; do
    local port=$((20000 + RANDOM % 20000)) dir="$tmp/$placement-$i"
    mkdir -p "$dir"
    if [ "$binary" = limit ]; then
      taskset -c "$server_cpus" "$tmp/limit" "$port" "$threads" >/dev/null 2>&1 &
    else
      echo "{\"port\": $port}" >"$dir/config.json"
      taskset -c "$server_cpus" "$binary" --config "$dir/config.json" --air "$dir/air" \
        >"$dir/log" 2>&1 &
    fi
    servers+=($!)
    names+=("$binary")
    ports+=("$port")
    i=$((i + 1))
  done
  for port in "${ports[@]}"; do
    until curl -s -o /dev/null -X POST -d '{}' "http://127.0.0.1:$port/getLastError"; do
      sleep 0.1
    done
  done
  for _ in $(seq "$rounds"); do
    for i in "${!ports[@]}"; do
      taskset -c "$client_cpus" wrk -t"$threads" -c"$clients" -d3s -s "$shared/post.lua" \
        "http://127.0.0.1:${ports[$i]}/getLastError" |
        awk -v i="$i" '/Requests\/sec/ {printf "%d %d\n", i, $2}' >>"$tmp/$placement.rates"
    done
  done
  kill "${servers[@]}"
  local limit
  limit=$(median "$tmp/$placement.rates" $((${#names[@]} - 1)))
  for i in "${!names[@]}"; do
    local rate
    rate=$(median "$tmp/$placement.rates" "$i")
    printf '%-8s %s clients %-40s median %6d req/s  ratio %s  all: %s\n' "$placement" \
      "$clients" "${names[$i]}" "$rate" "$(echo "scale=3; $rate / $limit" | bc)" \
      "$(awk -v i="$i" '$1 == i {print $2}' "$tmp/$placement.rates" | sort -n | tr '\n' ' ')"
  done
}

# The median of server I's rates in FILE.
median() {
  awk -v i="$2" '$1 == i {print $2}' "$1" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'
}

last=$(($(nproc) - 1))
race unpinned "0-$last" "0-$last" "$@" limit
if [ "$clients" = 1 ]; then
  race together 0 0 "$@" limit
  race apart 0 "$last" "$@" limit
fi
