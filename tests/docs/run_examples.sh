#!/usr/bin/env bash
# Runs the shell examples of the documentation against an installed qualvex.
#
#   bash tests/docs/run_examples.sh ROOT PREFIX WORK
#
# ROOT: the project (README.md, docs/*.md, samples/); PREFIX: where qualvex is installed
# (PREFIX/bin goes first on PATH); WORK: a folder for the examples' files.
#
# Every ```sh block of README.md and docs/*.md runs with bash -e, in the order of its document.
# Each document gets a fresh work folder, WORK/NAME, with a copy of ROOT/samples as samples/; the
# blocks of one document share it, so a block can use what an earlier one wrote. A block whose
# opening fence follows the line <!-- example: not run --> or <!-- example: set-up --> is
# skipped. A block after <!-- example: serves until Ctrl-C --> is a server: it is started in the
# background, in a session of its own; once it prints its http://127.0.0.1:PORT/?token=TOKEN
# address, PORT and TOKEN are set for the document's later blocks, and it is stopped (SIGINT to
# that session) after them. After a document's blocks, tests/docs/checks/NAME.sh (when there is one) runs in its
# folder and checks that the commands did what the text says, measured on what they wrote.
# Prints "ok FILE:LINE" or "FAIL FILE:LINE" and the block's output for each block and check, then
# "N passed, M failed"; exits 1 when any failed.
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 ROOT PREFIX WORK" >&2
  exit 2
fi
root=$(cd "$1" && pwd)
prefix=$(cd "$2" && pwd)
mkdir -p "$3"
work=$(cd "$3" && pwd)
if [ ! -x "$prefix/bin/qualvex" ]; then
  echo "run_examples.sh: $prefix/bin/qualvex is missing" >&2
  exit 2
fi
export PATH="$prefix/bin:$PATH"
# The frei0r filter's folder, as the README's set-up block points the hosts at it.
export FREI0R_PATH="$prefix/lib/frei0r-1"
export GST_REGISTRY="$work/gstreamer-registry.bin"

# Writes each runnable ```sh block of the document $1 to $2/LINE.sh, LINE being the line of its
# opening fence, zero-padded so that the files sort in document order.
extract_blocks() {
  awk -v out="$2" '
    {
      if (in_fence) {
        if ($0 ~ /^[[:space:]]*```[[:space:]]*$/) {
          in_fence = 0
          if (file != "") close(file)
          file = ""
        } else if (file != "") {
          print > file
        }
      } else if ($0 ~ /^[[:space:]]*```/) {
        in_fence = 1
        if ($0 ~ /^[[:space:]]*```sh[[:space:]]*$/ && previous !~ /^[[:space:]]*<!-- example: (not run|set-up) -->[[:space:]]*$/) {
          serves = previous ~ /^[[:space:]]*<!-- example: serves until Ctrl-C -->[[:space:]]*$/
          file = sprintf("%s/%06d%s.sh", out, NR, serves ? ".serves" : "")
          printf "" > file
        }
      }
      previous = $0
    }
  ' "$1"
}

passed=0
failed=0
# report OK WHAT LOG: counts a case and says so; a failure shows its log, indented.
report() {
  if [ "$1" = ok ]; then
    echo "ok $2"
    passed=$((passed + 1))
  else
    echo "FAIL $2"
    [ -z "${3:-}" ] || sed 's/^/    /' "$3"
    failed=$((failed + 1))
  fi
}
for document in "$root/README.md" "$root"/docs/*.md; do
  relative=${document#"$root"/}
  name=${relative%.md}
  name=${name//\//-}
  blocks="$work/.blocks/$name"
  folder="$work/$name"
  rm -rf "$blocks" "$folder"
  mkdir -p "$blocks" "$folder"
  cp -R "$root/samples" "$folder/samples"  # a copy: what the examples write beside a sample stays here
  extract_blocks "$document" "$blocks"
  servers=()
  unset PORT TOKEN
  for block in "$blocks"/*.sh; do
    [ -e "$block" ] || continue
    line=$(basename "$block" .sh)
    line=$((10#${line%.serves}))
    if [[ $block == *.serves.sh ]]; then
      (cd "$folder" && exec setsid bash -e "$block") >"$block.log" 2>&1 </dev/null &
      servers+=($!)
      address=""
      for _ in $(seq 600); do
        address=$(grep -o 'http://127\.0\.0\.1:[0-9]*/?token=[0-9a-f]*' "$block.log" | head -n 1 || true)
        [ -n "$address" ] || ! kill -0 "${servers[-1]}" 2>/dev/null && break
        sleep 0.1
      done
      if [ -n "$address" ]; then
        PORT=${address#http://127.0.0.1:}
        PORT=${PORT%%/*}
        TOKEN=${address##*token=}
        export PORT TOKEN
        report ok "$relative:$line (serving on port $PORT)"
      else
        report fail "$relative:$line (no address printed within 60 s)" "$block.log"
      fi
      continue
    fi
    if (cd "$folder" && bash -e "$block") >"$block.log" 2>&1 </dev/null; then
      report ok "$relative:$line"
    else
      report fail "$relative:$line" "$block.log"
    fi
  done
  # The servers this document started, each stopped as Ctrl-C stops it; a server that does not
  # stop by itself is an error.
  for server in "${servers[@]}"; do
    kill -INT -- "-$server" 2>/dev/null || true
    for _ in $(seq 100); do
      kill -0 "$server" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$server" 2>/dev/null; then
      kill -KILL -- "-$server" 2>/dev/null || true
      report fail "$relative: a server did not stop within 10 s of Ctrl-C"
    fi
    wait "$server" 2>/dev/null || true
  done
  check="$root/tests/docs/checks/$name.sh"
  if [ -e "$check" ]; then
    if (cd "$folder" && bash "$check") >"$blocks/check.log" 2>&1 </dev/null; then
      report ok "$relative: what its text says (${check#"$root"/})"
    else
      report fail "$relative: what its text says (${check#"$root"/})" "$blocks/check.log"
    fi
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
