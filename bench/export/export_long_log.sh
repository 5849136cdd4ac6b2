#!/bin/sh
# zarim-export of a long log to every format, as a user runs it: wall time
# and peak resident memory (GNU time), then every file read back whole by
# other programs: GDAL (ogrinfo) for GeoJSON, KML, GPX and CSV, gpsbabel for
# GPX and KML, and xmllint, without --huge, for the markup.
#   bench/export/export_long_log.sh [BUILD_DIR] [LINES]   (default build, 1000000)
# The log is written by the receiver's own line writer (long_log_writer).
set -eu
build=${1:-build}
lines=${2:-1000000}
for tool in /usr/bin/time ogrinfo gpsbabel xmllint; do
  command -v "$tool" >/dev/null || { echo "export_long_log: $tool is missing (tools/ensure-packages bench)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log="$work/QLT_20261208.txt"
"$build/bench/export/long_log_writer" "$log" "$lines"
echo "log: $lines lines, $(du -m "$log" | cut -f1) MB"

/usr/bin/time -v "$build/zarim-export" --utc-offset -03:00 --output-dir "$work/out" "$log" \
  >"$work/summary" 2>"$work/time" || { cat "$work/time" >&2; exit 1; }
grep -E "Elapsed \(wall clock\)|Maximum resident set size|User time|System time" "$work/time"
ls -l "$work/out" | awk 'NR > 1 { printf "  %-26s %7.1f MB\n", $9, $5 / 1048576 }'

failed=0
# what, then the command, whose output's last line is the figure shown
check() {
  what=$1; shift
  if "$@" >"$work/check" 2>&1; then
    printf '  %-34s %s\n' "$what" "$(tail -1 "$work/check")"
  else
    echo "NOT READ: $what" >&2; tail -5 "$work/check" >&2; failed=1
  fi
}
out="$work/out/QLT_20261208"
points() {  # file, layer, condition: the pieces and the points in them
  ogrinfo -ro -q -dialect sqlite -sql "select count(*) || ' pieces, ' || sum(ST_NPoints(geometry)) || ' points' from \"$2\" where $3" "$1" \
    | sed -n 's/.*= //p'
}
echo "read back (a path's pieces repeat the point where they join):"
check "ogrinfo GeoJSON path" points "$out.geojson" QLT_20261208 "role = 'path'"
check "ogrinfo KML path" points "$out.kml" "Flight path" 1
check "ogrinfo GPX track points" sh -c "ogrinfo -ro -so '$out.gpx' track_points | sed -n 's/Feature Count: //p'"
check "ogrinfo CSV rows" sh -c "ogrinfo -ro -so '$out.csv' QLT_20261208 | sed -n 's/Feature Count: //p'"
for format in gpx kml; do
  check "gpsbabel $format track points" sh -c "gpsbabel -t -i $format -f '$out.$format' -o unicsv -F - | tail -n +2 | wc -l"
done
for format in kml gpx svg; do
  check "xmllint --noout $format" sh -c "xmllint --noout '$out.$format' && echo well-formed"
done
exit $failed
