# Sourced by the checks: waits up to $2 seconds for the file $1 to contain the fixed text $3.
wait_for_text() {
  local deadline=$((SECONDS + $2))
  until grep -qF -- "$3" "$1" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}
