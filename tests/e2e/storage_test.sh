#!/usr/bin/env bash
# The SD card and the recorder judged from outside: inserting and pulling the card, df's figures
# in Recording.Storage, transport-stream and MP4 recordings played by ffprobe/ffmpeg, duration
# and size limited segments, read-write only during a run, canned mount failures, a full card.
# Channel A's stream mode carries AAC, and MP4 format 1 records it: both are checked.
source "$K7160_TESTLIB"

URL=http://127.0.0.1
CARD="$BOARD/dev/mmcblk0p1"
DCIM="$BOARD/media/mmc/DCIM"
setp() { curl -s -o /dev/null -H "Referer: /x.htm" --data-urlencode "$1" $URL/controls; }
# Recording settings in one post, then the commit that restarts a run (change group 13) is
# awaited, so that it cannot land inside the run that follows.
setrec() {
  local args=() kv before; before=$(count_log "i=13")
  for kv in "$@"; do args+=(--data-urlencode "$kv"); done
  curl -s -o /dev/null -H "Referer: /x.htm" "${args[@]}" $URL/controls
  wait_count "i=13" "$before" 12 || true
}
getp() { curl -sg "$URL/$1"; }
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
wait_page() {    # TEXT SECONDS: waits until the recording page shows TEXT
  local i
  for i in $(seq 1 $(($2 * 10))); do curl -s "$URL/control_recording.htm" | grep -qF -- "$1" && return 0; sleep 0.1; done
  return 1
}
last_mount() { grep -F 'simulated: mount -o' "$LOG" | tail -n 1; }
# RUN_S: the seconds from the start's request to the stop's answer, the most a run can have
# lasted; a busy machine takes longer than SECONDS to get from one to the other.
record_for() {   # SECONDS: one run, stopped by hand; waits until it has ended
  local before t0; before=$(count_log "safe to remove")
  t0=$(date +%s.%N)
  setp "Recording.State=start"
  wait_status "Recording" 10 || return 1
  sleep "$1"
  setp "Recording.State=stop"
  RUN_S=$(echo "$(date +%s.%N) - $t0" | bc)
  wait_count "safe to remove" "$before" 15
}
# Log lines after a mark: for waits on what one action caused.
mark() { MARK=$(wc -l <"$LOG"); }
# The storage thread's ticks come late on a busy machine: its waits are bounds one meets.
wait_since() {   # TEXT SECONDS
  local i
  for i in $(seq 1 $(($2 * 10))); do tail -n +$((MARK + 1)) "$LOG" | grep -qF -- "$1" && return 0; sleep 0.1; done
  return 1
}
pull() { mark; rm -f "$CARD"; wait_since "unmounted /media/mmc (i=0 fs=0)" 15; }
insert() { mark; touch "$CARD"; }
decode_errors() { ffmpeg -v error -i "$1" -f null - 2>&1 | grep -v '^$' | head -n 5; }

start_app || finish
wait_log "httpd: started" 20 || { fail "web server did not start"; finish; }
check "no card: Recording.Storage is Not present" [ "$(getp Recording.Storage)" = "Not present" ]
check "idle recorder reports Stopped" [ "$(getp Recording.Status)" = "Stopped" ]
check "Encode.Status names the channel" grep -q '^Encode\[0\], frames: [0-9]*, status: ' <<<"$(getp 'Encode.Status[0]')"

# Insert: mounted read-only within a tick; the figures are df's for the mount point.
touch "$CARD"
check "inserted card is mounted read-only" wait_log "simulated: mount -o ro,usefree /dev/mmcblk0p1 /media/mmc" 15
sleep 0.5
read -r _ _ used avail pcent _ < <(df -h "$BOARD/media/mmc" | tail -n 1)
check "Recording.Storage gives df's figures" [ "$(getp Recording.Storage)" = "MMC: $used ($pcent) used, $avail available" ]

# Pull and reinsert.
mark
rm -f "$CARD"
check "pulled card is unmounted" wait_since "unmounted /media/mmc (i=0 fs=0)" 15
sleep 1
check "Recording.Storage after the pull" [ "$(getp Recording.Storage)" = "Not present" ]
insert
wait_since "bsize=" 15

# The default empty file name: each run after the card went in makes a file named by its date and
# time with the container's extension, listed on the Download page and downloadable.
check "the file name setting starts empty" [ -z "$(getp Recording.Filename)" ]
dated() { ls "$DCIM" 2>/dev/null | grep -E '^[0-9]{8}_[0-9]{6}\.ts$'; }
record_for 3 || fail "the run with the default file name did not end"
record_for 2 || fail "the second run with the default file name did not end"
named=$(dated | tr '\n' ' ')
check "two runs give two date_time.ts files ($named; DCIM holds: $(ls "$DCIM" | tr '\n' ' '))" [ "$(dated | wc -l)" = 2 ]
first=$(dated | head -n 1)
probe=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$DCIM/$first" 2>&1 | sort -u | tr '\n' ' ')
check "$first holds H.264 ($probe)" grep -q h264 <<<"$probe"
listing=$(curl -s "$URL/filelist_mmc")
for f in $(dated); do check "the Download page lists $f" grep -qF "$f" <<<"$listing"; done
curl -s -o "$TEST_DIR/dated.ts" "$URL/download?s=0&f=$first"
check "$first downloads whole" cmp -s "$TEST_DIR/dated.ts" "$DCIM/$first"
rm -f "$DCIM"/[0-9]*_*.ts
# A start that fails says so on the page, not "Stopped".
setp "Recording.Filename=../x^c.ts"
setp "Recording.State=start"
check "a failed start reads as one on the page" wait_page "Stopped: file name invalid" 10

# A transport-stream recording (channel A's own container): read-write only during the run.
setp "Recording.Filename=rec^c.ts"   # the recording group's settings keep their defaults
record_for 5 || fail "transport-stream run did not end"
check "the medium was read-write during the run" grep -qF "simulated: mount -o remount,rw,usefree" "$LOG"
check "and read-only after it" grep -qF "remount,ro,usefree" <<<"$(last_mount)"
check "the run ends with safe to remove" grep -qF "safe to remove" "$LOG"
ts="$DCIM/rec1.ts"
check "rec1.ts written" [ -s "$ts" ]
probe=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$ts" 2>&1 | sort -u | tr '\n' ' ')
check "rec1.ts holds H.264 ($probe)" grep -q 'h264' <<<"$probe"
check "rec1.ts holds AAC ($probe)" grep -q 'aac' <<<"$probe"
starts=$(for s in v a; do ffprobe -v error -select_streams $s -show_entries stream=start_time -of csv=p=0 "$ts" |
  head -n 1; done | tr '\n' ' ')
check "rec1.ts audio and video start together ($starts)" awk -v s="$starts" 'BEGIN { split(s, a, " ");
  d = a[1] - a[2]; exit !(a[2] != "" && d > -0.5 && d < 0.5) }'
errs=$(decode_errors "$ts"); check "rec1.ts decodes without errors${errs:+: $errs}" [ -z "$errs" ]
dur=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$ts")
check "rec1.ts lasts about 5 s ($dur of at most $RUN_S)" awk -v d="$dur" -v r="$RUN_S" 'BEGIN { exit !(d > 3.5 && d < r + 2) }'
check "Recording.Status back to Stopped" wait_status "Stopped" 5

# The next run counts on: rec2.ts.
record_for 2 || fail "second run did not end"
check "the count goes on: rec2.ts" [ -s "$DCIM/rec2.ts" ]

# Pulling the card while recording is refused, logged once, and the row stays mounted.
setp "Recording.Filename=pull^c.ts"
setp "Recording.State=start"
wait_status "Recording" 10
rm -f "$CARD"
sleep 3
check "the refusal is logged once" [ "$(count_log "can't unmount /media/mmc with 1 writers")" = 1 ]
check "the row stays mounted" [ "$(getp Recording.Storage)" != "Not present" ]
before=$(count_log "safe to remove")
setp "Recording.State=stop"
wait_count "safe to remove" "$before" 10
check "after the run the pulled card is unmounted" wait_count "unmounted /media/mmc (i=0 fs=0)" 1 4
insert
wait_since "bsize=" 15

# MP4 (format 1): every frame decodes, about the recorded length.
setrec "Recording.Filename=clip^c.mp4" "Recording.Format=1"
record_for 4 || fail "MP4 run did not end"
mp4="$DCIM/clip1.mp4"
check "clip1.mp4 written" [ -s "$mp4" ]
tracks=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$mp4" | sort | tr '\n' ' ')
check "clip1.mp4 has an H.264 and an AAC track ($tracks)" [ "$tracks" = "aac h264 " ]
errs=$(decode_errors "$mp4"); check "every frame of clip1.mp4 decodes${errs:+: $errs}" [ -z "$errs" ]
for s in v a; do
  frames=$(ffprobe -v error -select_streams $s -count_frames -show_entries stream=nb_read_frames,nb_frames -of csv=p=0 "$mp4")
  check "decoded $s frames equal the table's ($frames)" awk -F, '{ exit !($1 == $2 && $1 > 60) }' <<<"$frames"
done
durs=$(for s in v a; do ffprobe -v error -select_streams $s -show_entries stream=duration -of csv=p=0 "$mp4"; done | tr '\n' ' ')
check "both tracks last about the recorded 4 s, together ($durs of at most $RUN_S)" awk -v s="$durs" -v r="$RUN_S" '
  BEGIN { split(s, a, " "); d = a[1] - a[2]; exit !(a[1] > 3 && a[1] < r + 1.5 && d > -0.2 && d < 0.2) }'

# Duration-limited: 3 s segments, 2 of them, then the run stops by itself.
setrec "Recording.Filename=seg^c.mp4" "Recording.DurationMode=1" "Recording.Duration=3" "Recording.Segments=2"
before=$(count_log "safe to remove")
setp "Recording.State=start"
check "duration-limited run stops by itself" wait_count "safe to remove" "$before" 20
check "two segments, no third" [ -s "$DCIM/seg1.mp4" -a -s "$DCIM/seg2.mp4" -a ! -e "$DCIM/seg3.mp4" ]
for f in seg1 seg2; do
  d=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$DCIM/$f.mp4")
  # The longest step between its pictures: a busy machine's capture skips some, and a run's
  # start and end fall within such a gap.
  g=$(ffprobe -v error -select_streams v -show_entries packet=pts_time -of csv=p=0 "$DCIM/$f.mp4" | sort -n |
    awk 'NR > 1 && $1 - p > g { g = $1 - p } { p = $1 } END { printf "%.3f", g }')
  check "$f.mp4 lasts 3 s within a GOP ($d, longest step $g)" awk -v d="$d" -v g="${g:-0}" \
    'BEGIN { exit !(g > 0 && d > 3 - 2 * g - 0.04 && d < 4.1) }'
done

# Size-limited in the channel's container: 100 KiB files (2-3 s each), never more, until stopped.
setrec "Recording.Filename=size^c.ts" "Recording.Format=0" "Recording.DurationMode=4" "Recording.Duration=100" \
  "Recording.Segments=1"
record_for 8 || fail "size-limited run did not end"
n=$(ls "$DCIM"/size*.ts 2>/dev/null | wc -l)
check "size-limited run makes more segments than Segments ($n)" [ "$n" -ge 3 ]
big=$(find "$DCIM" -name 'size*.ts' -size +102400c | wc -l)
check "no segment exceeds 100 KiB" [ "$big" = 0 ]
errs=$(decode_errors "$DCIM/size2.ts"); check "a middle segment decodes${errs:+: $errs}" [ -z "$errs" ]
setrec "Recording.DurationMode=0"

# Canned mount failures: busy is retried, an unknown option is dropped, bad free space too.
pull
printf 'busy\n' >"$BOARD/mount-fail"
insert
check "busy medium is retried" wait_since "Filesystem busy, retrying..." 15
check "and mounted after the retry" wait_since "bsize=" 15
pull
printf 'inval-usefree\n' >"$BOARD/mount-fail"
insert
check "refused usefree is retried without it" wait_since "simulated: mount -o ro /dev/mmcblk0p1 /media/mmc" 15
check "and then mounted" wait_since "bsize=" 15
pull
printf 'inval\ninval\n' >"$BOARD/mount-fail"
insert
check "unsupported file system reported" wait_since "Unsupported filesystem type" 15
mark
check "the next tick mounts it" wait_since "bsize=" 15
pull
touch "$BOARD/statfs-overreport"
insert
check "over-reported free space remounts without usefree" wait_since "simulated: mount -o ro /dev/mmcblk0p1" 15
wait_since "unmounted" 1   # nothing more is to come: the second mount is final
rm -f "$BOARD/statfs-overreport"
check "the card is mounted read-only without usefree" grep -qF "mount -o ro /dev/mmcblk0p1" <<<"$(last_mount)"

# Numbered media folders: a fresh card's DCIM/100MEDIA is made with its parents.
setrec "Recording.SubDir=1" "Recording.Filename=sub^c.ts"
record_for 2 || fail "media-folder run did not end"
check "SubDir puts the file in DCIM/100MEDIA" [ -s "$DCIM/100MEDIA/sub1.ts" ]

# A full card: a 640 KiB tmpfs over the card's folder (some 20 s of recording) ends the run
# with the message, and the file left behind plays.
pull
mount -t tmpfs -o size=640k tmpfs "$BOARD/media/mmc"
insert
wait_since "bsize=" 15
setrec "Recording.Filename=full^c.mp4" "Recording.Format=1" "Recording.SubDir=0"
setp "Recording.State=start"
check "full card logs the write failure" wait_log "error: file write failed: No space left on device" 40
check "full card ends the run with the message" wait_log "record: Storage full or write error" 5
wait_status "Stopped" 10
full="$DCIM/full1.mp4"
errs=$(decode_errors "$full")
check "the file on the full card plays${errs:+: $errs}" [ -s "$full" -a -z "$errs" ]
check "the full card's file has frames" [ "$(ffprobe -v error -select_streams v -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$full")" -gt 10 ]

stop_app
check "shutdown unmounts the card" grep -qF "unmounted /media/mmc" <<<"$(tail -n 30 "$LOG")"
umount "$BOARD/media/mmc" 2>/dev/null
finish
