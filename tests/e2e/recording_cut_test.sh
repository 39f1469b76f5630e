#!/usr/bin/env bash
# Recordings that survive a power cut: the appliance is killed (SIGKILL) 5 s and 25 s into MP4
# and transport-stream recordings with AAC and started again; every file left behind plays in
# ffprobe and decodes with ffmpeg -xerror to within 2 s of the kill. Then a file name without an
# extension recorded twice: two files, both listed and downloadable.
source "$K7160_TESTLIB"

URL=http://127.0.0.1
CARD="$BOARD/dev/mmcblk0p1"
DCIM="$BOARD/media/mmc/DCIM"
getp() { curl -sg "$URL/$1"; }
setp() {
  local args=() kv
  for kv in "$@"; do args+=(--data-urlencode "$kv"); done
  curl -s -o /dev/null -H "Referer: /x.htm" "${args[@]}" $URL/controls
}
count_log() { grep -cF -- "$1" "$LOG" 2>/dev/null; }
wait_count() {   # TEXT N SECONDS: waits until more than N lines hold TEXT
  local i
  for i in $(seq 1 $(($3 * 10))); do [ "$(count_log "$1")" -gt "$2" ] && return 0; sleep 0.1; done
  return 1
}
wait_status() {  # TEXT SECONDS: waits until Recording.Status begins with TEXT
  local i
  for i in $(seq 1 $(($2 * 10))); do [[ "$(getp Recording.Status)" == "$1"* ]] && return 0; sleep 0.1; done
  return 1
}
# Seconds in a "Recording h:mm:ss" status.
status_seconds() { sed -nE 's/.*\b([0-9]+):([0-9]{2}):([0-9]{2})\b.*/\1 \2 \3/p' <<<"$1" |
  awk '{ print $1 * 3600 + $2 * 60 + $3 }'; }
mounted() {
  touch "$CARD"
  wait_count "bsize=" "$1" 10
}
# The recording settings, then the commit of the recording group is awaited so that its
# restart of the recorder cannot land inside the run that follows.
setrec() {
  local before; before=$(count_log "i=13")
  setp "$@"
  wait_count "i=13" "$before" 12 || true
}
# A stream's duration in the file: its last packet's end (ffprobe's view of what plays).
played() {
  ffprobe -v error -select_streams "$2" -show_entries packet=pts_time,duration_time -of csv=p=0 "$1" |
    awk -F, '$1 != "" && $1 != "N/A" { e = $1 + $2; if (e > m) m = e; if (s == "" || $1 < s) s = $1 } END { printf "%.2f", m - s }'
}

start_app || finish
wait_log "httpd: started" 20 || { fail "web server did not start"; finish; }
mounted 0 || fail "card not mounted"

# name FORMAT SECONDS: records, reads the status (the run's own time) just before the kill,
# kills, starts again and judges the file.
cut_case() {
  local name=$1 format=$2 secs=$3 st s file
  setrec "Recording.Filename=$name" "Recording.Format=$format" "Recording.DurationMode=0"
  setp "Recording.State=start"
  wait_status "Recording" 10 || { fail "$name: recording did not start"; return; }
  sleep "$secs"
  st=$(getp Recording.Status)
  kill -KILL "$APP_PID"
  wait "$APP_PID" 2>/dev/null
  APP_PID=""
  s=$(status_seconds "$st")
  check "$name: the status counted the run ($st)" [ "$s" -ge $((secs - 3)) ]
  local bsize; bsize=$(count_log "bsize=")
  start_app || return
  wait_log "httpd: started" 20
  wait_count "bsize=" "$bsize" 10 || fail "$name: card not mounted after the restart"
  file=$(ls "$DCIM/$name".* 2>/dev/null | head -n 1)
  check "$name: the file is there (${file##*/})" [ -s "$file" ]
  [ -s "$file" ] || return
  local tracks; tracks=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$file" | grep . | sort -u | tr '\n' ' ')
  check "$name: ffprobe finds H.264 and AAC ($tracks)" [ "$tracks" = "aac h264 " ]
  local errs; errs=$(ffmpeg -xerror -v error -i "$file" -f null - 2>&1 | head -n 5)
  check "$name: ffmpeg -xerror decodes it${errs:+: $errs}" ffmpeg -xerror -v error -i "$file" -f null -
  local v a; v=$(played "$file" v); a=$(played "$file" a)
  echo "$name: killed at ${s}s of recording; video plays ${v}s, audio ${a}s"
  check "$name: video plays to within 2 s of the kill (${v}s of ${s}s)" awk -v d="$v" -v s="$s" 'BEGIN { exit !(d >= s - 2) }'
  check "$name: audio plays to within 2 s of the kill (${a}s of ${s}s)" awk -v d="$a" -v s="$s" 'BEGIN { exit !(d >= s - 2) }'
}

cut_case cut_mp4_5 1 5
cut_case cut_ts_5 0 5
cut_case cut_mp4_25 1 25
cut_case cut_ts_25 0 25

# A name without an extension, recorded twice: the container's extension, and a second file.
setrec "Recording.Filename=rec0" "Recording.Format=1"
for run in 1 2; do
  before=$(count_log "safe to remove")
  setp "Recording.State=start"
  wait_status "Recording 0:00:02" 15 || fail "run $run did not record"
  setp "Recording.State=stop"
  wait_count "safe to remove" "$before" 15 || fail "run $run did not end"
done
check "the first run wrote rec0.mp4" [ -s "$DCIM/rec0.mp4" ]
check "the second run wrote rec0_2.mp4 beside it" [ -s "$DCIM/rec0_2.mp4" ]
check "no file without extension" [ ! -e "$DCIM/rec0" ]
list=$(curl -s "$URL/filelist_mmc?p=all")
for f in rec0.mp4 rec0_2.mp4; do
  check "$f is listed" grep -qF "value=\"$f\"" <<<"$list"
  curl -s -o "$TEST_DIR/$f" "$URL/download?s=0&f=$f"
  check "$f downloads whole" cmp -s "$TEST_DIR/$f" "$DCIM/$f"
  check "$f plays" ffmpeg -xerror -v error -i "$TEST_DIR/$f" -f null -
done

stop_app
finish
