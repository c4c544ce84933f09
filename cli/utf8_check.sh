#!/usr/bin/env bash
# utf8_check.sh QB2CLI: the Linux program's texts are UTF-8. A write of an empty
# file is refused before any port is opened, with the bench's word for a range it
# cannot take.
set -uo pipefail
cli=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: >"$work/empty.bin"
err=$("$cli" --port /nonexistent/tty --quiet --no-log write "$work/empty.bin" 2>&1 >/dev/null)
status=$?
[ "$status" = 2 ] || { echo "exit $status, not 2: $err"; exit 1; }
# 入力値異常 in UTF-8
grep -q $'\xe5\x85\xa5\xe5\x8a\x9b\xe5\x80\xa4\xe7\x95\xb0\xe5\xb8\xb8' <<<"$err" || { echo "not UTF-8: $err" | od -c | head; exit 1; }
echo "qb2cli says: $err"
# A file name that is no UTF-8 (an encoded surrogate, a stray byte) still gives JSON
# that is valid Unicode text: such bytes as U+FFFD, never a lone surrogate escape.
bad="$work/x"$'\xed\xa0\x80'".bin"
json=$("$cli" --port /nonexistent/tty --quiet --no-log --json write "$bad" 2>/dev/null)
grep -q -i '\\ud[89ab]' <<<"$json" && { echo "a lone surrogate in the JSON: $json"; exit 1; }
grep -q -i 'x\\ufffd\\ufffd\\ufffd\.bin' <<<"$json" || { echo "bytes not replaced: $json"; exit 1; }
echo "qb2cli's JSON for a file name that is no UTF-8: $json"
