// The timing of the H.264 stand-in's sequence parameter sets: x264 derives its own from its time
// base (reduced, so 500 units per tick never survive), while the board's encoder writes the
// values of the caller's VUI record. The SPS is rewritten bit for bit up to its timing fields.
#include "platform/codec_internal.h"

#include <vector>

namespace {

struct BitReader {
    const std::vector<uint8_t> &d;
    size_t pos = 0;         // in bits
    bool bad = false;
    explicit BitReader(const std::vector<uint8_t> &data) : d(data) {}
    size_t bits() const { return d.size() * 8; }
    uint32_t bit()
    {
        if (pos >= bits()) {
            bad = true;
            return 0;
        }
        uint32_t b = (d[pos / 8] >> (7 - pos % 8)) & 1;
        pos++;
        return b;
    }
};

struct BitWriter {
    std::vector<uint8_t> d;
    size_t pos = 0;
    void bit(uint32_t b)
    {
        if (pos % 8 == 0)
            d.push_back(0);
        if (b & 1)
            d.back() |= (uint8_t)(0x80 >> (pos % 8));
        pos++;
    }
    void bits(uint32_t v, int n)
    {
        for (int i = n - 1; i >= 0; i--)
            bit((v >> i) & 1);
    }
};

// Copies n bits and returns their value (n <= 32).
uint32_t copy_bits(BitReader &r, BitWriter &w, int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; i++) {
        uint32_t b = r.bit();
        w.bit(b);
        v = v << 1 | b;
    }
    return v;
}

uint32_t copy_ue(BitReader &r, BitWriter &w)
{
    int zeros = 0;
    while (!r.bad && r.bit() == 0) {
        w.bit(0);
        if (++zeros > 31) {
            r.bad = true;
            return 0;
        }
    }
    w.bit(1);
    uint32_t rest = copy_bits(r, w, zeros);
    return ((1u << zeros) - 1) + rest;
}

int32_t copy_se(BitReader &r, BitWriter &w)
{
    uint32_t k = copy_ue(r, w);
    return k & 1 ? (int32_t)((k + 1) / 2) : -(int32_t)(k / 2);
}

void copy_scaling_list(BitReader &r, BitWriter &w, int size)
{
    int last = 8, next = 8;
    for (int j = 0; j < size && !r.bad; j++) {
        if (next != 0) {
            int delta = copy_se(r, w);
            next = (last + delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

bool high_profile(uint32_t profile)
{
    switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138:
    case 139: case 134: case 135:
        return true;
    }
    return false;
}

} // namespace

bool codec_sps_set_timing(const uint8_t *nal, size_t n, uint32_t unitsPerTick, uint32_t timeScale, bool fixed,
                          std::vector<uint8_t> *out)
{
    if (n < 4 || (nal[0] & 0x1f) != 7)
        return false;
    // Emulation prevention off.
    std::vector<uint8_t> rbsp;
    rbsp.reserve(n);
    int zeros = 0;
    for (size_t i = 1; i < n; i++) {
        if (zeros >= 2 && nal[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = nal[i] == 0 ? zeros + 1 : 0;
        rbsp.push_back(nal[i]);
    }
    // The stop bit ends what is copied.
    size_t end = rbsp.size() * 8;
    while (end > 0 && !((rbsp[(end - 1) / 8] >> (7 - (end - 1) % 8)) & 1))
        end--;
    if (end == 0)
        return false;
    end--;

    BitReader r(rbsp);
    BitWriter w;
    uint32_t profile = copy_bits(r, w, 8);
    copy_bits(r, w, 16);                        // constraint flags, level
    copy_ue(r, w);                              // seq_parameter_set_id
    if (high_profile(profile)) {
        uint32_t chroma = copy_ue(r, w);
        if (chroma == 3)
            copy_bits(r, w, 1);
        copy_ue(r, w);
        copy_ue(r, w);
        copy_bits(r, w, 1);
        if (copy_bits(r, w, 1)) {               // seq_scaling_matrix_present_flag
            for (int i = 0; i < (chroma != 3 ? 8 : 12) && !r.bad; i++)
                if (copy_bits(r, w, 1))
                    copy_scaling_list(r, w, i < 6 ? 16 : 64);
        }
    }
    copy_ue(r, w);                              // log2_max_frame_num_minus4
    uint32_t poc = copy_ue(r, w);
    if (poc == 0) {
        copy_ue(r, w);
    } else if (poc == 1) {
        copy_bits(r, w, 1);
        copy_se(r, w);
        copy_se(r, w);
        uint32_t cycle = copy_ue(r, w);
        for (uint32_t i = 0; i < cycle && !r.bad; i++)
            copy_se(r, w);
    }
    copy_ue(r, w);                              // max_num_ref_frames
    copy_bits(r, w, 1);
    copy_ue(r, w);                              // width and height in macroblocks
    copy_ue(r, w);
    if (!copy_bits(r, w, 1))                    // frame_mbs_only_flag
        copy_bits(r, w, 1);
    copy_bits(r, w, 1);
    if (copy_bits(r, w, 1)) {                   // frame_cropping_flag
        for (int i = 0; i < 4; i++)
            copy_ue(r, w);
    }
    if (!copy_bits(r, w, 1))                    // vui_parameters_present_flag: x264 always writes one
        return false;
    if (copy_bits(r, w, 1) && copy_bits(r, w, 8) == 255)   // aspect ratio
        copy_bits(r, w, 32);
    if (copy_bits(r, w, 1))                     // overscan
        copy_bits(r, w, 1);
    if (copy_bits(r, w, 1)) {                   // video signal type
        copy_bits(r, w, 4);
        if (copy_bits(r, w, 1))
            copy_bits(r, w, 24);
    }
    if (copy_bits(r, w, 1)) {                   // chroma location
        copy_ue(r, w);
        copy_ue(r, w);
    }
    if (r.bit())                                // the encoder's own timing is replaced
        r.pos += 65;
    if (r.bad || r.pos > end)
        return false;
    w.bit(1);
    w.bits(unitsPerTick, 32);
    w.bits(timeScale, 32);
    w.bit(fixed ? 1 : 0);
    while (r.pos < end)
        w.bit(r.bit());
    w.bit(1);                                   // rbsp_stop_one_bit, then alignment
    while (w.pos % 8)
        w.bit(0);

    // Emulation prevention on again.
    out->clear();
    out->push_back(nal[0]);
    zeros = 0;
    for (uint8_t b : w.d) {
        if (zeros >= 2 && b <= 3) {
            out->push_back(3);
            zeros = 0;
        }
        out->push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return true;
}
