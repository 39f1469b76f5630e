#include "storage/record.h"

#include "core/log.h"
#include "core/param.h"
#include "core/proc.h"
#include "core/quit.h"
#include "core/threads.h"
#include "core/util.h"
#include "platform/dmai.h"
#include "platform/platform.h"
#include "storage/filesys.h"
#include "streams/mp4.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"
#include "streams/stream_state.h"
#include "video/encoder.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t FILE_BUF_SIZE = 1 << 20;
constexpr size_t FILE_BUF_ALIGN = 4096;      // direct I/O: buffer, length and offset
constexpr int NAME_TRIES = 10000;
constexpr int DEQUEUE_WAIT_MS = 1000;        // a stop is seen this soon while the producer stalls
// A power cut loses at most this much: the buffer goes out by time as well as when full, and an
// MP4 file's reserved moov is rewritten as often.
constexpr uint64_t FLUSH_MS = 1000;
constexpr uint32_t MOOV_REWRITE_SECONDS = 1;
constexpr uint32_t MOOV_DEFAULT_MINUTES = 60;   // reserve for segments without a duration limit

StreamRunState record_run_state;

// Recorder state read by the web thread.
pthread_mutex_t recorder_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t next_file_cond = PTHREAD_COND_INITIALIZER;
int next_file_waiting;
uint32_t next_file_seq;       // one more for each file begun while somebody waits
std::atomic<const char *> status_message{nullptr};
std::atomic<bool> run_active{false};
std::atomic<uint64_t> run_ticks{0};          // 90 kHz: the stamps of the frames recorded in this run
char current_file[100];
std::atomic<int> backlog;
int media_folder = 100, media_count, media_scanned;

uint64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
}

struct Real {
    char path[4096];
    explicit Real(const char *p) { platform_path(p, path, sizeof path); }
};

// The recorder's relief on the channel it records; never below the channel's own divisor.
void record_decimate(int channel, int value)
{
    VideoEnv *env = video_env_get(channel);
    if (!env)
        return;
    const ParamBlock *p = env->params ? env->params : get_param_block();
    int least = p->Video[channel].FrameRate ? p->Video[channel].FrameRate : 1;
    if (value < least)
        value = least;
    int old = video_get_decimate(env);
    video_set_decimate(env, value);
    log_printf("%s: %d -> %d\n", "setVideoDecimate", old, value);
}

void append(std::string &s, const char *fmt, int a, int b, int c)
{
    char tmp[32];
    snprintf(tmp, sizeof tmp, fmt, a, b, c);
    s += tmp;
}

// Where "^c" stands in the template, or null.
const char *count_field(const char *tmpl)
{
    for (const char *p = tmpl; *p; p++) {
        if (*p != '^' || !p[1])
            continue;
        if (p[1] == 'c')
            return p;
        p++;
    }
    return nullptr;
}

// The last of "^t" and "^c" in the template: 't', 'c' or 0.
char last_field(const char *tmpl)
{
    char last = 0;
    for (const char *p = tmpl; *p; p++) {
        if (*p != '^' || !p[1])
            continue;
        if (p[1] == 't' || p[1] == 'c')
            last = p[1];
        p++;
    }
    return last;
}

bool make_dirs(const char *dir)
{
    std::string cur;
    const char *p = dir;
    while (*p) {
        const char *slash = strchr(p + 1, '/');
        size_t n = slash ? (size_t)(slash - dir) : strlen(dir);
        cur.assign(dir, n);
        struct stat st;
        if (!cur.empty() && stat(Real(cur.c_str()).path, &st) != 0) {
            log_printf("creating %s\n", cur.c_str());
            if (mkdir(Real(cur.c_str()).path, 0755) != 0 && errno != EEXIST)
                return false;
        }
        if (!slash)
            break;
        p = slash;
    }
    return true;
}

// One segment's file: raw output through our own aligned buffer, MP4 through stdio; both with
// direct I/O until the medium refuses it.
struct SegmentFile {
    int fd = -1;
    FILE *f = nullptr;
    uint8_t *buf = nullptr;      // raw output
    size_t used = 0;
    bool direct = false;
};

bool direct_on(int fd)
{
    int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && (fl & O_DIRECT);
}

void direct_off(SegmentFile &sf)
{
    if (sf.direct) {
        set_fd_flags(sf.fd, ~O_DIRECT);
        sf.direct = false;
    }
}

int raw_flush(SegmentFile &sf)
{
    size_t done = 0;
    while (done < sf.used) {
        ssize_t n = write(sf.fd, sf.buf + done, sf.used - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EINVAL && sf.direct) {
            log_printf("%s: direct I/O refused, going on buffered\n", "record");
            direct_off(sf);
            continue;
        }
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return -1;
        }
        done += (size_t)n;
    }
    sf.used = 0;
    return 0;
}

// Puts what the buffer holds on the medium now. Direct I/O takes whole blocks only: those go out
// and leave the buffer; the tail is written through the page cache and kept, to go out again
// with the blocks that follow it.
int raw_flush_now(SegmentFile &sf)
{
    size_t whole = sf.direct ? sf.used / FILE_BUF_ALIGN * FILE_BUF_ALIGN : sf.used;
    size_t tail = sf.used - whole;
    if (whole) {
        sf.used = whole;
        if (raw_flush(sf) < 0)
            return -1;
        memmove(sf.buf, sf.buf + whole, tail);
        sf.used = tail;
    }
    if (!tail)
        return 0;
    off_t at = lseek(sf.fd, 0, SEEK_CUR);
    if (at < 0)
        return 0;   // nowhere to put it ahead: it goes out with the next blocks
    if (sf.direct)
        set_fd_flags(sf.fd, ~O_DIRECT);
    size_t done = 0;
    while (done < tail) {
        ssize_t n = pwrite(sf.fd, sf.buf + done, tail - done, at + (off_t)done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            break;
        }
        done += (size_t)n;
    }
    int err = errno;
    if (sf.direct)
        set_fd_flags(sf.fd, O_DIRECT);
    errno = err;
    return done == tail ? 0 : -1;
}

int raw_write(SegmentFile &sf, const uint8_t *data, size_t len)
{
    // What reaches the medium ends with a whole frame, so a file cut there decodes to its end.
    if (sf.used && sf.used + len > FILE_BUF_SIZE && raw_flush_now(sf) < 0)
        return -1;
    while (len) {
        size_t n = std::min(len, FILE_BUF_SIZE - sf.used);
        memcpy(sf.buf + sf.used, data, n);
        sf.used += n;
        data += n;
        len -= n;
        if (sf.used == FILE_BUF_SIZE && raw_flush(sf) < 0)
            return -1;
    }
    return 0;
}

enum SegmentEnd { END_NONE, END_DURATION, END_SIZE, END_FAILED, END_STOPPED };

struct Run {
    RecordEnv *env;
    ParamBlock *p;
    int durationMode, format, channel, streamId;
    uint64_t sizeLimit;
    uint64_t durationLimit;
    int segments;
    int decimation;
    bool held[FILESYS_SOURCES];
    bool noDirect;
    uint8_t *fileBuf[2];
    bool haveStamp;
    uint32_t lastStamp;        // of the last frame recorded, for the run's time
};

void stop_run_state()
{
    stream_set_state_by_id(RECORD_STREAM, STREAM_STOP);
}

bool stop_seen()
{
    return quit_requested() || stream_stop_pending(&record_run_state);
}

void fail_open(const char *name, int err)
{
    status_message = "File open failed";
    log_printf("error: file open failed: %s: %s\n", name, strerror(err));
    stop_run_state();
}

// The mode the consumer attaches with, and whether the file receives its bytes unchanged.
int output_mode(Run &r, bool *raw)
{
    int m = stream_mode_setting(r.p, r.channel);
    int codec = stream_mode_video_codec(m);
    *raw = (r.format == 0 || r.format == 2) && stream_mode_mux_type(m) != STREAM_MUX_MP4;
    int mode;
    if (*raw) {
        mode = m;
    } else {
        bool aac = r.format == 1 || r.format == 3;
        if (codec == VIDEO_CODEC_MPEG4)
            mode = aac ? StreamMode_MPEG4_AAC_MP4 : StreamMode_MPEG4_MP4;
        else
            mode = aac ? StreamMode_H264_AAC_MP4 : StreamMode_H264_MP4;
    }
    // Without an audio producer the attach would fail whole: record the video alone.
    int audio = stream_mode_audio_type(mode);
    int audio_id = audio == AUDIO_TYPE_AAC ? AAC_STREAM : audio == AUDIO_TYPE_PCM ? PCM_STREAM : 0;
    if (audio_id && !get_stream_queue(audio_id)) {
        int video_only = stream_mode_build(stream_mode_video_codec(mode), AUDIO_TYPE_NONE, stream_mode_mux_type(mode));
        if (video_only != StreamMode_None) {
            log_printf("%s: no audio stream %d, recording video only\n", "record", audio_id);
            mode = video_only;
        }
    }
    return mode;
}

// The container's extension, for a template that names none.
const char *mode_extension(int mode)
{
    switch (stream_mode_mux_type(mode)) {
    case STREAM_MUX_MP4:
        return ".mp4";
    case STREAM_MUX_TS:
        return ".ts";
    case STREAM_MUX_FLV:
        return ".flv";
    default:
        break;
    }
    int codec = stream_mode_video_codec(mode);
    return codec == VIDEO_CODEC_H264 ? ".h264" : codec == VIDEO_CODEC_MPEG4 ? ".m4v" : ".mjpg";
}

void setup_mp4(Run &r, StreamState &state, int mode, FILE *f)
{
    mp4_muxer *m = static_cast<mp4_muxer *>(state.mux);
    int codec = stream_mode_video_codec(mode);
    uint32_t fourcc = codec == VIDEO_CODEC_H264    ? MP4_FOURCC('a', 'v', 'c', '1')
                      : codec == VIDEO_CODEC_MPEG4 ? MP4_FOURCC('m', 'p', '4', 'v')
                      : codec == 16                ? MP4_FOURCC('m', 'p', '2', 'v')
                                                   : MP4_FOURCC('j', 'p', 'e', 'g');
    const ParamVideo &v = r.p->Video[r.channel];
    int w = v.Width, h = v.Height;
    if (!w || !h)
        get_video_size(r.channel, &w, &h);
    mp4_video_track_create(m, fourcc, 90000, state.videoFrameDuration, 0, (uint32_t)w, (uint32_t)h, v.H264Profile,
                           v.H264Level);
    if (stream_mode_audio_type(mode) == AUDIO_TYPE_AAC && state.streamq2)
        mp4_audio_track_create(m, MP4_FOURCC('m', 'p', '4', 'a'), 90000, state.audioFrameDuration, 0,
                               r.p->Audio.SampleRate, r.p->Audio.Channels);
    // The writer writes straight into the file.
    if (state.muxBuf) {
        if (state.muxBuf->buf) {
            free(Buffer_getUserPtr(state.muxBuf->buf));
            Buffer_delete(state.muxBuf->buf);
        }
        free(state.muxBuf);
        state.muxBuf = nullptr;
    }
    mp4_set_interleave(m, 45000);
    // The moov goes first and is rewritten as the samples come, so a file cut short plays to
    // its last rewrite; a finished file keeps it there, a plain MP4.
    uint64_t minutes = r.durationLimit ? (r.durationLimit + 5399999) / 5400000 : MOOV_DEFAULT_MINUTES;
    mp4_set_moov_max_duration(m, (uint32_t)std::min<uint64_t>(minutes, 24 * 60), MOOV_REWRITE_SECONDS);
    mp4_set_file(m, f);
    if (r.sizeLimit)
        mp4_set_max_size(m, r.sizeLimit);
}

// One segment; returns how it ended.
SegmentEnd record_segment(Run &r)
{
    RecordEnv *env = r.env;
    SegmentEnd end = END_NONE;
    char name[RECORD_NAME_MAX + 1] = "";
    SegmentFile sf;
    StreamState state{};
    bool attached = false, raw = true;
    mp4_muxer *mp4 = nullptr;

    FILESYS_LOCK();
    if (r.decimation) {
        record_decimate(r.channel, 1);
        r.decimation = 0;
    }
    int src = -1;
    for (int i = 0; i < FILESYS_SOURCES && src < 0; i++)
        if (filesys_is_mounted(i))
            src = i;
    if (src < 0) {
        filesys_unlock();
        status_message = "Storage not present";
        log_printf("error: can't start recording, no storage device\n");
        stop_run_state();
        return END_FAILED;
    }
    if (!r.held[src]) {
        filesys_writer_get(src);
        r.held[src] = true;
    }
    const char *mnt = storage_mount[src].mountPath;
    filesys_unlock();

    char *dcim = filesys_getdir(src);
    std::string dir = dcim ? dcim : "";
    free(dcim);
    if (!dir.empty() && r.p->Recording.SubDir) {
        pthread_mutex_lock(&recorder_mutex);
        if (!media_scanned) {
            record_media_dir_scan(dir.c_str(), &media_folder, &media_count);
            media_scanned = 1;
        }
        if (media_count >= 500) {
            media_folder++;
            media_count = 0;
        }
        char sub[32];
        snprintf(sub, sizeof sub, "/%dMEDIA", media_folder);
        dir += sub;
        pthread_mutex_unlock(&recorder_mutex);
    }
    int mode = output_mode(r, &raw);
    char tmpl[sizeof r.p->Recording.Filename + 24];
    snprintf(tmpl, sizeof tmpl, "%.*s", (int)sizeof r.p->Recording.Filename, r.p->Recording.Filename);
    record_add_extension(tmpl, sizeof tmpl, mode_extension(mode));
    log_printf("i=%d mnt=%s filename=%s source=%d format=%d id=%d\n", src, mnt ? mnt : "(NULL)", tmpl,
               r.p->Recording.Source, r.format, r.streamId);
    if (dir.empty()) {
        fail_open("(no directory)", ENOENT);
        return END_FAILED;
    }
    if (record_next_name(name, dir.c_str(), tmpl, time(nullptr)) < 0) {
        fail_open(name, EEXIST);
        return END_FAILED;
    }
    if (strstr(name, "/../")) {
        status_message = "Filename invalid";
        log_printf("error: recording filename contains /../\n");
        stop_run_state();
        return END_FAILED;
    }
    std::string parent(name, (size_t)(strrchr(name, '/') - name));
    if (!make_dirs(parent.c_str())) {
        fail_open(parent.c_str(), errno);
        return END_FAILED;
    }
    pthread_mutex_lock(&recorder_mutex);
    snprintf(current_file, sizeof current_file, "%s", name);
    if (next_file_waiting) {
        next_file_seq++;
        pthread_cond_broadcast(&next_file_cond);
    }
    if (r.p->Recording.SubDir)
        media_count++;
    pthread_mutex_unlock(&recorder_mutex);

    // Never over an existing file, even one made since the name was chosen.
    sf.fd = open(Real(name).path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    for (int i = 0; i < 10 && sf.fd < 0 && errno == EEXIST; i++) {
        if (record_next_name(name, dir.c_str(), tmpl, time(nullptr)) < 0)
            break;
        sf.fd = open(Real(name).path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    }
    if (sf.fd < 0) {
        fail_open(name, errno);
        return END_FAILED;
    }

    FILESYS_LOCK();
    // The MP4 writer rewrites its moov in place, at offsets direct I/O would refuse.
    if (raw && !r.noDirect) {
        set_fd_flags(sf.fd, O_DIRECT);
        sf.direct = direct_on(sf.fd);
        if (!sf.direct)
            r.noDirect = true;
    }
    state.flags = 0;
    if (!raw) {
        state.videoFrameDuration = r.p->Capture.Standard == 6 ? 3600 : 3003;
        state.audioFrameDuration = r.p->Audio.SampleRate ? 92160000u / r.p->Audio.SampleRate : 1920;
    }
    stream_state_attach(r.streamId, mode, &state);
    attached = state.streamq != nullptr;
    if (raw) {
        sf.buf = r.fileBuf[0];
    } else if (attached && state.mux) {
        sf.f = fdopen(sf.fd, "w+b");
        if (sf.f) {
            setvbuf(sf.f, reinterpret_cast<char *>(r.fileBuf[1]), _IOFBF, FILE_BUF_SIZE);
            mp4 = static_cast<mp4_muxer *>(state.mux);
            setup_mp4(r, state, mode, sf.f);
        }
    }
    filesys_unlock();

    int err = 0;
    // A muxed attach whose muxer could not be made has nothing to hand out.
    bool no_muxer =
        raw && stream_mode_mux_type(mode) != STREAM_MUX_ES && !state.mux && !state.internalBuf.buf;
    if (!attached || (!raw && !mp4) || no_muxer) {
        log_printf("error: recording can't attach to stream %d mode %d\n", r.streamId, mode);
        end = END_FAILED;
    }

    uint64_t offset = 0, elapsed = 0;
    uint32_t last_latency = 0;
    uint64_t last_flush = now_ms();
    while (end == END_NONE) {
        if (stop_seen()) {
            end = END_STOPPED;
            break;
        }
        sched_yield();
        uint32_t seq_before = state.seq;
        uint64_t t0 = now_ms();
        StreamBuffer *sb = stream_state_dequeue_timeout(&state, DEQUEUE_WAIT_MS);
        int dq_errno = errno;
        uint64_t took = now_ms() - t0;
        StreamQueue *q = state.streamq;
        int rel = 0;
        if (q) {
            pthread_mutex_lock(&q->mutex);
            rel = (int)(q->seq - state.seq);
            pthread_mutex_unlock(&q->mutex);
        }
        if (took > 1000 && sb)
            log_printf("dequeue %d took %gs (seq rel %d)\n", r.streamId, (double)took / 1000.0, rel);
        backlog = rel;

        if (sb || state.seq != seq_before) {
            uint32_t stamp = sb ? sb->timestamp : state.videoTS;
            int32_t d = (int32_t)(stamp - r.lastStamp);
            if (r.haveStamp && d > 0)
                run_ticks += (uint64_t)d;
            r.lastStamp = stamp;
            r.haveStamp = true;
        }

        // The MP4 writer yields no buffer: its state tells whether a keyframe went in.
        bool key = sb ? (sb->flags & SB_KEYFRAME) != 0
                      : !raw && (state.flags & SS_LAST_KEYFRAME) && state.seq != seq_before;
        if (key) {
            int fill = stream_state_fill_percent(&state);
            if (r.decimation != 2 && fill > 75) {
                record_decimate(r.channel, 3);
                r.decimation = 2;
            } else if (r.decimation == 0 && fill > 60) {
                record_decimate(r.channel, 2);
                r.decimation = 1;
            } else if (r.decimation != 0 && fill < 40) {
                record_decimate(r.channel, 1);
                r.decimation = 0;
            }
        }

        if (raw) {
            uint32_t n = sb && sb->buf ? (uint32_t)Buffer_getNumBytesUsed(sb->buf) : 0;
            if (n && r.sizeLimit && offset == 0 && n >= r.sizeLimit) {
                // Ending the segment here would only start another empty one.
                log_printf("max-size %llu below a frame of %u bytes, frame dropped\n",
                           (unsigned long long)r.sizeLimit, n);
                n = 0;
            }
            if (n) {
                offset += n;
                if (r.sizeLimit && offset >= r.sizeLimit) {
                    log_printf("max-size reached i=%d off=%llu\n", src, (unsigned long long)offset);
                    end = END_SIZE;
                    break;
                }
                if (raw_write(sf, Buffer_getUserPtr(sb->buf), n) < 0) {
                    err = errno;
                    end = END_FAILED;
                    break;
                }
            }
            if (sf.used && now_ms() - last_flush >= FLUSH_MS) {
                if (raw_flush_now(sf) < 0) {
                    err = errno;
                    end = END_FAILED;
                    break;
                }
                last_flush = now_ms();
            }
        } else if (mp4_has_error(mp4)) {
            log_printf("mp4 error: %s\n", mp4_strerror(mp4));
            if (mp4_get_error(mp4) == MP4_ERR_MAX_SIZE) {
                end = END_SIZE;
            } else {
                err = dq_errno;
                end = END_FAILED;
            }
            break;
        } else if (mp4_moov_rewrites_stopped(mp4)) {
            // A cut from here on would lose all that follows: the next file takes over.
            log_printf("moov reserve full i=%d\n", src);
            end = END_SIZE;
            break;
        }

        uint32_t lat = stream_state_latency(&state);
        elapsed += (uint32_t)(lat - last_latency);
        last_latency = lat;
        if (r.durationLimit && elapsed >= r.durationLimit) {
            log_printf("segment done duration=%llu\n", (unsigned long long)elapsed);
            end = END_DURATION;
        }
    }

    bool next_after_failure = false;
    if (end == END_FAILED) {
        int code = mp4 ? mp4_get_error(mp4) : (err == 0 ? MP4_ERR_DURATION : 0);
        log_printf("error: file write failed: %s (%d) (mp4 %d)\n", strerror(err), err, code);
        if (err == EFBIG) {
            next_after_failure = true;   // the file system's file size limit: the next file goes on
        } else if (err == EINVAL && sf.direct) {
            log_printf("%s: direct I/O refused, next segment buffered\n", "record");
            r.noDirect = true;
            next_after_failure = true;
        } else {
            status_message = code == MP4_ERR_DURATION ? "USB Storage cannot record" : "Storage full or write error";
            stop_run_state();
        }
    }

    log_printf("%s %d: recording done\n", env->name, __LINE__);
    if (attached)
        stream_state_detach(&state);
    direct_off(sf);
    if (sf.f) {
        if (!ferror(sf.f))
            fflush(sf.f);
    } else if (sf.fd >= 0 && raw_flush(sf) < 0) {
        perror("write");
    }
    stream_state_close_muxer(&state);
    if (sf.f)
        fflush(sf.f);
    if (sf.fd >= 0 && fdatasync(sf.fd) != 0)
        perror("fdatasync");
    if (sf.f)
        fclose(sf.f);
    else if (sf.fd >= 0)
        close(sf.fd);
    if (next_after_failure)
        return END_SIZE;
    return end;
}

// What the status says after a run that failed, until the next start: a failed start must not
// read as a plain "Stopped".
const char *stopped_by(const char *failure)
{
    static const char *const texts[][2] = {
        {"Storage not present", "Stopped: storage not present"},
        {"Filename invalid", "Stopped: file name invalid"},
        {"File open failed", "Stopped: file open failed"},
        {"Storage full or write error", "Stopped: storage full or write error"},
        {"USB Storage cannot record", "Stopped: USB storage cannot record"},
    };
    for (const auto &t : texts)
        if (failure && strcmp(failure, t[0]) == 0)
            return t[1];
    return nullptr;
}

void record_run(Run &r)
{
    RecordEnv *env = r.env;
    int segment = 0;
    run_ticks = 0;
    run_active = true;
    while (!stop_seen() && !status_message.load()) {
        SegmentEnd end = record_segment(r);
        if (end == END_DURATION) {
            if (segment + 1 >= r.segments) {
                stop_run_state();
                break;
            }
            segment++;
            continue;
        }
        if (end == END_SIZE) {
            segment = 0;
            continue;
        }
        break;
    }
    run_active = false;
    const char *failure = status_message.load();
    if (failure)
        log_printf("%s: %s\n", env->name, failure);

    // Every way out of a run gives the media back.
    status_message = "Wait until safe to remove";
    run_command("sync");
    FILESYS_LOCK();
    if (r.decimation) {
        record_decimate(r.channel, 1);
        r.decimation = 0;
    }
    for (int i = 0; i < FILESYS_SOURCES; i++) {
        if (r.held[i]) {
            filesys_writer_put(i);
            r.held[i] = false;
        }
    }
    log_printf("rw %d %d %d\n", storage_mount[0].state, storage_mount[1].state, storage_mount[2].state);
    if (!storage_mount[0].state && !storage_mount[1].state && !storage_mount[2].state)
        log_printf("safe to remove\n");
    filesys_unlock();
    status_message = stopped_by(failure);
}

} // namespace

void record_build_name(char *out, const char *dir, const char *tmpl, const struct tm *tm, int count)
{
    std::string s = dir;
    s += '/';
    for (const char *p = tmpl; *p; p++) {
        if (*p == '^' && p[1] == 'd') {
            append(s, "%04d%02d%02d", tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday);
            p++;
        } else if (*p == '^' && p[1] == 't') {
            append(s, "%02d%02d%02d", tm->tm_hour, tm->tm_min, tm->tm_sec);
            p++;
        } else if (*p == '^' && p[1] == 'c') {
            append(s, "%d", count, 0, 0);
            p++;
        } else if (*p == '^' && p[1]) {
            s += p[0];
            s += p[1];
            p++;
        } else {
            s += *p;
        }
    }
    snprintf(out, RECORD_NAME_MAX + 1, "%s", s.c_str());
}

int record_find_count(const char *dir, const char *tmpl)
{
    const char *c = count_field(tmpl);
    if (!c)
        return 1;
    std::string prefix(tmpl, (size_t)(c - tmpl));
    std::string suffix(c + 2);
    if (prefix.size() > 127 || suffix.size() > 127)
        return 1;
    DIR *d = opendir(Real(dir).path);
    if (!d)
        return 1;
    long best = 0;
    while (dirent *e = readdir(d)) {
        size_t n = strlen(e->d_name);
        if (n < prefix.size() + suffix.size() || strncmp(e->d_name, prefix.c_str(), prefix.size()) != 0 ||
            strcmp(e->d_name + n - suffix.size(), suffix.c_str()) != 0)
            continue;
        const char *num = e->d_name + prefix.size();
        if (*num < '0' || *num > '9')
            continue;
        long v = strtol(num, nullptr, 10);
        if (v > best && v < 1000000000)
            best = v;
    }
    closedir(d);
    return (int)best + 1;
}

int record_next_name(char *out, const char *dir, const char *tmpl, time_t now)
{
    struct tm tm;
    localtime_r(&now, &tm);
    int count = record_find_count(dir, tmpl);
    record_build_name(out, dir, tmpl, &tm, count);
    char last = last_field(tmpl);
    if (!last) {
        // No field to move: a number goes in before the extension.
        if (!path_exists(out))
            return 0;
        const char *base = strrchr(tmpl, '/');
        const char *dot = strrchr(base ? base : tmpl, '.');
        std::string head(tmpl, dot ? (size_t)(dot - tmpl) : strlen(tmpl));
        std::string tail = dot ? dot : "";
        for (int n = 2; n < NAME_TRIES; n++) {
            std::string numbered = head + "_" + std::to_string(n) + tail;
            char prev[RECORD_NAME_MAX + 1];
            snprintf(prev, sizeof prev, "%s", out);
            record_build_name(out, dir, numbered.c_str(), &tm, count);
            if (!path_exists(out))
                return 0;
            if (strcmp(prev, out) == 0)
                break;
        }
        log_printf("%s: no free name for %s\n", "record", out);
        return -1;
    }
    char prev[RECORD_NAME_MAX + 1];
    for (int i = 0; i < NAME_TRIES; i++) {
        if (!path_exists(out))
            return 0;
        if (last == 't') {
            if (++tm.tm_sec >= 60) {
                tm.tm_sec = 0;
                if (++tm.tm_min >= 60) {
                    tm.tm_min = 0;
                    tm.tm_hour++;
                }
            }
        } else {
            count++;
        }
        snprintf(prev, sizeof prev, "%s", out);
        record_build_name(out, dir, tmpl, &tm, count);
        // The field was cut off the name: no other name will come.
        if (strcmp(prev, out) == 0)
            break;
    }
    log_printf("%s: no free name for %s\n", "record", out);
    return -1;
}

void record_add_extension(char *tmpl, size_t size, const char *ext)
{
    const char *base = strrchr(tmpl, '/');
    base = base ? base + 1 : tmpl;
    if (strchr(base, '.'))
        return;
    size_t n = strlen(tmpl);
    // No file name at all (the default empty setting, or a folder): the date and time make one.
    snprintf(tmpl + n, size - n, "%s%s", *base ? "" : RECORD_DEFAULT_NAME, ext);
}

void record_media_dir_scan(const char *dir, int *folder, int *count)
{
    *folder = 100;
    *count = 0;
    DIR *d = opendir(Real(dir).path);
    if (!d) {
        log_printf("failed dcim\n");
        return;
    }
    while (dirent *e = readdir(d)) {
        char *end = nullptr;
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        long n = strtol(e->d_name, &end, 10);
        if (strcmp(end, "MEDIA") == 0 && n > 100 && n < 1000 && n > *folder)
            *folder = (int)n;
    }
    closedir(d);
    char sub[4200];
    snprintf(sub, sizeof sub, "%s/%dMEDIA", dir, *folder);
    d = opendir(Real(sub).path);
    if (d) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                (*count)++;
        closedir(d);
    }
    if (*count >= 500) {
        (*folder)++;
        *count = 0;
    }
}

void record_limits(int duration_mode, uint32_t duration, uint64_t *size_limit, uint64_t *duration_limit)
{
    // 64-bit: a 24-hour segment is 7.8e9 ticks, a 4 GiB one 2^32 bytes.
    uint64_t d = duration;
    *size_limit = duration_mode == 4 ? d * 1024 : duration_mode == 5 ? d * 1048576 : 0;
    *duration_limit = duration_mode == 1   ? d * 90000
                      : duration_mode == 2 ? d * 5400000ull
                      : duration_mode == 3 ? d * 324000000ull
                                           : 0;
}

int record_wait_next_file(char *path, size_t size, int wait_ms)
{
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    int64_t ns = deadline.tv_nsec + (int64_t)(wait_ms > 0 ? wait_ms : 0) * 1000000;
    deadline.tv_sec += (time_t)(ns / 1000000000);
    deadline.tv_nsec = (long)(ns % 1000000000);
    pthread_mutex_lock(&recorder_mutex);
    next_file_waiting++;
    uint32_t seen = next_file_seq;
    int r = 0;
    // The sequence tells a real signal from a spurious wake-up.
    while (next_file_seq == seen && r == 0)
        r = pthread_cond_timedwait(&next_file_cond, &recorder_mutex, &deadline);
    if (next_file_seq != seen)
        r = 0;
    next_file_waiting--;
    if (path && size)
        snprintf(path, size, "%s", r == 0 ? current_file : "");
    pthread_mutex_unlock(&recorder_mutex);
    return r;
}

int recording_status_text(char *buf, size_t size)
{
    if (!buf || size == 0)
        return 0;
    const char *msg = status_message.load();
    int n;
    if (run_active.load() && !msg) {
        uint64_t ticks = run_ticks.load();
        n = snprintf(buf, size, "Recording %llu:%02d:%02d", (unsigned long long)(ticks / 324000000ull),
                     (int)(ticks / 5400000ull % 60), (int)(ticks / 90000ull % 60));
    } else {
        n = snprintf(buf, size, "%s", msg ? msg : "Stopped");
    }
    return n < 0 ? 0 : n >= (int)size ? (int)size - 1 : n;
}

void *recordThrFxn(void *arg)
{
    RecordEnv *env = static_cast<RecordEnv *>(arg);
    thread_init_begin(env->name);
    register_thread_cpu_clock(env->name);
    stream_register(&record_run_state, nullptr, RECORD_STREAM);
    uint8_t *bufs[2] = {};
    for (uint8_t *&b : bufs) {
        void *p = nullptr;
        if (posix_memalign(&p, FILE_BUF_ALIGN, FILE_BUF_SIZE) != 0)
            p = nullptr;
        b = static_cast<uint8_t *>(p);
    }
    if (!bufs[0] || !bufs[1]) {
        log_error("%s %d: Failed to allocate file buffers\n", env->name, __LINE__);
        env->status = -1;
    }
    thread_init_end(env->name);
    rendezvous_meet(env->hRendezvousInit, env->name);

    while (env->status >= 0 && !quit_requested()) {
        if (!status_message.load())
            status_message = "Stopped";
        if (!stream_wait_start(&record_run_state)) {
            sleep_ms(100);
            continue;
        }
        status_message = nullptr;
        Run r{};
        r.env = env;
        r.p = env->params ? env->params : get_param_block();
        r.durationMode = r.p->Recording.DurationMode;
        r.format = r.p->Recording.Format;
        r.channel = r.p->Recording.Source == 2 ? 1 : 0;
        r.streamId = r.channel + 1;
        record_limits(r.durationMode, r.p->Recording.Duration, &r.sizeLimit, &r.durationLimit);
        r.segments = (int)r.p->Recording.Segments;
        r.fileBuf[0] = bufs[0];
        r.fileBuf[1] = bufs[1];
        record_run(r);
    }

    myRendezvousCleanup(env->hRendezvousCleanup, env->name);
    free(bufs[0]);
    free(bufs[1]);
    thread_cpu_time_print(pthread_self(), env->name);
    return nullptr;
}
