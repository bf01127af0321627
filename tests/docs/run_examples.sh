#!/usr/bin/env bash
# Runs the shell examples of the documentation against an installed qualvex.
#
#   bash tests/docs/run_examples.sh ROOT PREFIX WORK
#
# ROOT: the project (README.md, docs/*.md, samples/); PREFIX: where qualvex is installed
# (PREFIX/bin goes first on PATH); WORK: a folder for the examples' files.
#
# Every ```sh block of README.md and docs/*.md runs with bash -e, in the order of its document.
# Each document gets a fresh work folder, WORK/NAME, with ROOT/samples linked in as samples/; the
# blocks of one document share it, so a block can use what an earlier one wrote. A block whose
# opening fence follows the line <!-- example: not run --> or <!-- example: set-up --> is
# skipped. After a document's blocks, tests/docs/checks/NAME.sh (when there is one) runs in its
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
          file = sprintf("%s/%06d.sh", out, NR)
          printf "" > file
        }
      }
      previous = $0
    }
  ' "$1"
}

passed=0
failed=0
for document in "$root/README.md" "$root"/docs/*.md; do
  relative=${document#"$root"/}
  name=${relative%.md}
  name=${name//\//-}
  blocks="$work/.blocks/$name"
  folder="$work/$name"
  rm -rf "$blocks" "$folder"
  mkdir -p "$blocks" "$folder"
  ln -s "$root/samples" "$folder/samples"
  extract_blocks "$document" "$blocks"
  for block in "$blocks"/*.sh; do
    [ -e "$block" ] || continue
    line=$(basename "$block" .sh)
    line=$((10#$line))
    if (cd "$folder" && bash -e "$block") >"$block.log" 2>&1 </dev/null; then
      echo "ok $relative:$line"
      passed=$((passed + 1))
    else
      echo "FAIL $relative:$line"
      sed 's/^/    /' "$block.log"
      failed=$((failed + 1))
    fi
  done
  check="$root/tests/docs/checks/$name.sh"
  if [ -e "$check" ]; then
    if (cd "$folder" && bash "$check") >"$blocks/check.log" 2>&1 </dev/null; then
      echo "ok $relative: what its text says (${check#"$root"/})"
      passed=$((passed + 1))
    else
      echo "FAIL $relative: what its text says (${check#"$root"/})"
      sed 's/^/    /' "$blocks/check.log"
      failed=$((failed + 1))
    fi
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
