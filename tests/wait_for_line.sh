# Sourced by the process tests. wait_for_line FILE PATTERN: returns 0 once FILE has a line that
# matches PATTERN (grep's basic syntax), 1 after 60 s without one: a loaded machine starts and
# schedules programs slowly, and a line that never comes must still end the test.
wait_for_line() {
  for _ in $(seq 1 600); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
