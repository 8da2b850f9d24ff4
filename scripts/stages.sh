# Stage reporting shared by the CI scripts (sourced): `stage NAME` starts one, `done_stage NAME
# RESULT` prints its line and keeps it for the summary in ${summary[@]}, `quiet CMD...` shows a
# command's output only when it fails.
summary=()
stage() { printf '\n--- %s\n' "$1"; stage_start=$SECONDS; }
done_stage() {
  local line
  line=$(printf '%-40s %4ds  %s' "$1" $((SECONDS - stage_start)) "$2")
  echo "$line"
  summary+=("$line")
}
quiet() {
  local log
  log=$(mktemp)
  if ! "$@" >"$log" 2>&1; then tail -80 "$log"; rm -f "$log"; return 1; fi
  rm -f "$log"
}
