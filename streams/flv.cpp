#include "streams/flv.h"
#include "streams/annexb.h"

#include "core/log.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t AVC_CONFIG_MAX = 256;

void put_be24(uint8_t *p, uint32_t v)
{
    p[0] = v >> 16;
    p[1] = v >> 8;
    p[2] = v;
}

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = v >> 24;
    p[1] = v >> 16;
    p[2] = v >> 8;
    p[3] = v;
}

// The next 00 00 01 at or after p, or end.
const uint8_t *find_start_code(const uint8_t *p, const uint8_t *end)
{
    return p + annexb_find_start_code(p, (size_t)(end - p), 0);
}

// The first start code when the data begins with one (3 or 4 bytes), else null.
const uint8_t *leading_start_code(const uint8_t *data, size_t length)
{
    if (length >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1)
        return data;
    if (length >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1)
        return data + 1;
    return nullptr;
}

// End of the NAL unit that runs up to the next start code: zero bytes before it belong to the
// start code (4-byte form) or are trailing padding.
const uint8_t *nal_end(const uint8_t *nal, const uint8_t *next)
{
    while (next > nal && next[-1] == 0)
        next--;
    return next;
}

// Rewrites Annex B NAL units as 4-byte length + unit, for every unit of the frame (an IDR with
// SEI in front must keep both decodable). -1 when out is too small.
long write_length_prefixed(uint8_t *out, size_t room, const uint8_t *data, size_t length)
{
    const uint8_t *end = data + length;
    const uint8_t *sc = leading_start_code(data, length);
    size_t n = 0;
    const uint8_t *nal = sc + 3;
    while (nal < end) {
        const uint8_t *next = find_start_code(nal, end);
        const uint8_t *ne = nal_end(nal, next);
        size_t len = ne - nal;
        if (len) {
            if (room - n < 4 + len)
                return -1;
            put_be32(out + n, uint32_t(len));
            memcpy(out + n + 4, nal, len);
            n += 4 + len;
        }
        nal = next + 3;
    }
    return long(n);
}

size_t metadata_string_size(const char *s) { return 2 + strlen(s); }

} // namespace

FlvMuxer *flv_muxer_create()
{
    FlvMuxer *m = static_cast<FlvMuxer *>(calloc(1, sizeof(FlvMuxer)));
    if (!m)
        log_error("%s: out of memory\n", __func__);
    return m;
}

void flv_muxer_free(FlvMuxer *m) { free(m); }

int amf0_write_number(uint8_t *out, double value)
{
    uint64_t bits;
    memcpy(&bits, &value, 8);
    out[0] = 0x00;
    for (int i = 0; i < 8; i++)
        out[1 + i] = bits >> (56 - 8 * i);
    return 9;
}

int amf_write_string(uint8_t *out, const char *text)
{
    size_t n = strlen(text);
    out[0] = n >> 8;
    out[1] = n & 0xFF;
    memcpy(out + 2, text, n);
    return int(n + 2);
}

int flv_write_header_metadata(FlvMuxer *m, uint8_t *out, size_t out_size)
{
    static const char *const numbers1[] = {"width", "height", "videodatarate", "framerate", "videocodecid",
                                           "audiodatarate", "audiosamplerate", "audiosamplesize"};
    size_t data_size = 13 + 5 + 3;   // "onMetaData" string, ECMA array head, object end
    for (const char *k : numbers1)
        data_size += metadata_string_size(k) + 9;
    data_size += metadata_string_size("stereo") + 2;
    data_size += metadata_string_size("audiocodecid") + 9;
    data_size += metadata_string_size("duration") + 9;
    size_t total = 13 + 11 + data_size + 4;
    if (!m || !out || out_size < total) {
        log_printf("%s: header needs %zu bytes, buffer has %zu\n", __func__, total, out_size);
        return -1;
    }

    uint8_t *p = out;
    memcpy(p, "FLV\x01", 4);
    p[4] = ((m->audio_codec_id || m->audio_sample_rate != 0.0) ? 0x04 : 0) |
           ((m->video_codec_id || m->video_data_rate != 0.0) ? 0x01 : 0);
    put_be32(p + 5, 9);
    put_be32(p + 9, 0);   // PreviousTagSize0
    p += 13;

    p[0] = FLV_TAG_SCRIPT;
    put_be24(p + 1, uint32_t(data_size));
    memset(p + 4, 0, 7);
    p += 11;
    *p++ = 0x02;
    p += amf_write_string(p, "onMetaData");
    *p++ = 0x08;
    put_be32(p, 11);
    p += 4;
    const double values1[] = {double(m->width), double(m->height), m->video_data_rate, m->frame_rate,
                              double(m->video_codec_id), m->audio_data_rate, m->audio_sample_rate,
                              double(m->audio_sample_size)};
    for (int i = 0; i < 8; i++) {
        p += amf_write_string(p, numbers1[i]);
        p += amf0_write_number(p, values1[i]);
    }
    p += amf_write_string(p, "stereo");
    *p++ = 0x01;
    *p++ = m->stereo ? 1 : 0;
    p += amf_write_string(p, "audiocodecid");
    p += amf0_write_number(p, double(m->audio_codec_id));
    p += amf_write_string(p, "duration");
    p += amf0_write_number(p, -1.0);
    memcpy(p, "\x00\x00\x09", 3);
    p += 3;
    put_be32(p, uint32_t(11 + data_size));
    p += 4;

    uint8_t h = uint8_t(m->audio_codec_id << 4);
    if (m->audio_codec_id == FLV_CODEC_AAC) {
        h |= 0x0F;
    } else {
        int rate = m->audio_sample_rate == 11000 || m->audio_sample_rate == 11025   ? 1
                   : m->audio_sample_rate == 22000 || m->audio_sample_rate == 22050 ? 2
                   : m->audio_sample_rate == 44000 || m->audio_sample_rate == 44100 ? 3
                                                                                     : 0;
        h |= rate << 2;
        if (m->audio_sample_size == 16)
            h |= 0x02;
        if (m->stereo)
            h |= 0x01;
    }
    m->audio_tag_header = h;
    return int(p - out);
}

int flv_write_tag(FlvMuxer *m, uint8_t tag_type, uint8_t *out, size_t out_size, const uint8_t *data, size_t length)
{
    if (!m || !out || (!data && length)) {
        log_printf("%s: out=%p data=%p len=%zu\n", __func__, (void *)out, (const void *)data, length);
        return -1;
    }
    if (length > 0xFFFFFF - 16) {
        log_printf("%s: frame of %zu bytes is too large for a tag\n", __func__, length);
        return -1;
    }
    size_t head = 11;
    bool video = tag_type == FLV_TAG_VIDEO;
    bool audio = tag_type == FLV_TAG_AUDIO;
    size_t media_head = video ? (m->video_codec_id == FLV_CODEC_AVC ? 5 : 1)
                        : audio ? (m->audio_codec_id == FLV_CODEC_AAC ? 2 : 1)
                                : 0;
    if (out_size < head + media_head + 4) {
        log_printf("%s: no room for a tag (%zu bytes)\n", __func__, out_size);
        return -1;
    }
    uint32_t ts = video ? m->video_ts : audio ? m->audio_ts : 0;
    uint8_t *p = out;
    p[0] = tag_type;
    p[4] = ts >> 16;
    p[5] = ts >> 8;
    p[6] = ts;
    p[7] = ts >> 24;
    p[8] = p[9] = p[10] = 0;
    p += head;
    if (video) {
        *p++ = uint8_t((m->frame_type << 4) | (m->video_codec_id & 0x0F));
        if (m->video_codec_id == FLV_CODEC_AVC) {
            *p++ = m->avc_packet_type;
            put_be24(p, m->avc_packet_type == 1 ? uint32_t(m->composition_time) : 0);
            p += 3;
        }
    } else if (audio) {
        *p++ = m->audio_tag_header;
        if (m->audio_codec_id == FLV_CODEC_AAC)
            *p++ = m->aac_packet_type;
    }
    size_t room = out_size - (p - out) - 4;
    long n;
    if (video && m->video_codec_id == FLV_CODEC_AVC && m->avc_packet_type == 1 && leading_start_code(data, length)) {
        n = write_length_prefixed(p, room, data, length);
    } else {
        // Raw AAC in FLV carries no ADTS header; the sound thread's frames have one.
        if (audio && m->audio_codec_id == FLV_CODEC_AAC && m->aac_packet_type == 1 && length >= 7 &&
            data[0] == 0xFF && (data[1] & 0xF0) == 0xF0) {
            size_t h = (data[1] & 1) ? 7 : 9;
            if (length > h) {
                data += h;
                length -= h;
            }
        }
        n = length <= room ? long(length) : -1;
        if (n > 0)
            memcpy(p, data, length);
    }
    if (n < 0) {
        log_printf("%s: tag of %zu bytes does not fit in %zu\n", __func__, length, out_size);
        return -1;
    }
    p += n;
    uint32_t data_size = uint32_t(p - out - head);
    put_be24(out + 1, data_size);
    put_be32(p, 11 + data_size);
    return int(p + 4 - out);
}

int flv_write_avc_config(FlvMuxer *m, uint8_t *out, size_t out_size, const uint8_t **data, size_t *length)
{
    if (!m || !out || !data || !*data || !length)
        return -1;
    const uint8_t *begin = *data;
    const uint8_t *end = begin + *length;
    const uint8_t *sc = leading_start_code(begin, *length);
    if (!sc)
        return 0;
    const uint8_t *sps = nullptr, *pps = nullptr;
    size_t sps_len = 0, pps_len = 0;
    const uint8_t *rest = end;
    while (sc < end) {
        const uint8_t *nal = sc + 3;
        if (nal >= end) {
            rest = end;
            break;
        }
        uint8_t type = nal[0] & 0x1F;
        if (type != 7 && type != 8) {
            rest = (sc > begin && sc[-1] == 0) ? sc - 1 : sc;
            break;
        }
        const uint8_t *next = find_start_code(nal, end);
        const uint8_t *ne = nal_end(nal, next);
        if (type == 7 && !sps) {
            sps = nal;
            sps_len = ne - nal;
        } else if (type == 8 && !pps) {
            pps = nal;
            pps_len = ne - nal;
        }
        sc = next;
    }
    *length -= rest - begin;
    *data = rest;
    if (!sps || !pps)
        return 0;
    size_t rec_len = 11 + sps_len + pps_len;
    if (rec_len > AVC_CONFIG_MAX) {
        log_printf("%s: SPS %zu and PPS %zu bytes exceed the configuration record\n", __func__, sps_len, pps_len);
        return -1;
    }
    uint8_t rec[AVC_CONFIG_MAX];
    uint8_t *r = rec;
    *r++ = 1;      // configurationVersion
    *r++ = 100;    // profile
    *r++ = 0;      // compatibility
    *r++ = 40;     // level
    *r++ = 0xFF;   // 4-byte NAL lengths
    *r++ = 0xE1;   // one SPS
    *r++ = sps_len >> 8;
    *r++ = sps_len & 0xFF;
    memcpy(r, sps, sps_len);
    r += sps_len;
    *r++ = 1;
    *r++ = pps_len >> 8;
    *r++ = pps_len & 0xFF;
    memcpy(r, pps, pps_len);
    r += pps_len;

    uint8_t saved_type = m->avc_packet_type;
    uint8_t saved_frame = m->frame_type;
    m->avc_packet_type = 0;
    m->frame_type = 1;
    int n = flv_write_tag(m, FLV_TAG_VIDEO, out, out_size, rec, r - rec);
    m->avc_packet_type = saved_type;
    m->frame_type = saved_frame;
    return n;
}

int flv_write_aac_config(FlvMuxer *m, uint8_t *out, size_t out_size)
{
    // AAC LC, 48000 Hz, channel configuration 2 for stereo
    uint8_t asc[2] = {0x11, uint8_t(0x80 | ((m->stereo + 1) << 3))};
    m->aac_packet_type = 0;
    int n = flv_write_tag(m, FLV_TAG_AUDIO, out, out_size, asc, 2);
    m->aac_packet_type = 1;
    return n;
}

void flv_muxer_configure(FlvMuxer *m, bool aac)
{
    m->video_codec_id = FLV_CODEC_AVC;
    m->width = 640;
    m->height = 480;
    m->frame_rate = 29.97;
    m->video_data_rate = 2500000.0;
    if (aac) {
        m->audio_codec_id = FLV_CODEC_AAC;
        m->aac_packet_type = 1;
        m->audio_sample_size = 16;
        m->stereo = 1;
        m->audio_sample_rate = 48000.0;
        m->audio_data_rate = 200.0;
    }
}

static uint32_t ticks_to_ms(uint32_t ticks)
{
    int32_t t = int32_t(ticks);
    return t < 0 ? 0 : uint32_t(t) / 90;
}

int flv_mux_start(FlvMuxer *m, uint8_t *out, size_t out_size)
{
    int n = flv_write_header_metadata(m, out, out_size);
    if (n < 0 || m->audio_codec_id != FLV_CODEC_AAC)
        return n;
    m->audio_ts = 0;
    int a = flv_write_aac_config(m, out + n, out_size - n);
    return a < 0 ? -1 : n + a;
}

int flv_mux_video(FlvMuxer *m, uint8_t *out, size_t out_size, const uint8_t *data, size_t length, uint32_t ticks,
                  bool keyframe)
{
    m->video_ts = ticks_to_ms(ticks);
    int n = 0;
    if (keyframe) {
        n = flv_write_avc_config(m, out, out_size, &data, &length);
        if (n < 0)
            return -1;
    }
    m->frame_type = keyframe ? 1 : 2;
    m->avc_packet_type = 1;
    int t = flv_write_tag(m, FLV_TAG_VIDEO, out + n, out_size - n, data, length);
    return t < 0 ? -1 : n + t;
}

int flv_mux_audio(FlvMuxer *m, uint8_t *out, size_t out_size, const uint8_t *data, size_t length, uint32_t ticks)
{
    m->audio_ts = ticks_to_ms(ticks);
    return flv_write_tag(m, FLV_TAG_AUDIO, out, out_size, data, length);
}
