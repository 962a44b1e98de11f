#!/usr/bin/env bash
# man_render.sh PAGE -- renders one manual page with `man --warnings -l` and
# fails on any warning, or when a section every page has is missing.
set -u
page=$1
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null)
status=0
if [ -n "$warnings" ]; then
  echo "man warned on $page:"; echo "$warnings"; status=1
fi
for section in NAME SYNOPSIS DESCRIPTION "SEE ALSO"; do
  grep -q "^$section" <<<"$text" || { echo "$page: no $section section"; status=1; }
done
case "$page" in
  *.5) ;;
  *) for section in "EXIT STATUS" ENVIRONMENT EXAMPLES; do
       grep -q "^$section" <<<"$text" || { echo "$page: no $section section"; status=1; }
     done ;;
esac
exit $status
