// Image readers against the raw pixels ffmpeg made the files from, the run-length coders in
// both directions, and the TIFF header as tiffinfo reads it.
#include "testutil.h"
#include "video/image.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <random>

namespace {
const int W = 37, H = 23;

std::string make_source()
{
    static std::string path;
    if (!path.empty())
        return path;
    path = test_board_path("src.rgba");
    int st = 0;
    test_run("mkdir -p " + test_board_dir());
    test_run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=37x23 -vf "
             "\"format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='min(255,X*8+Y)'\" "
             "-frames:v 1 -f rawvideo -pix_fmt rgba " + path, &st);
    EXPECT_EQ(st, 0);
    return path;
}

// Encodes the source picture as the given file with ffmpeg and returns its bytes.
std::vector<uint8_t> make_file(const std::string &name, const std::string &pix_fmt)
{
    std::string out = test_board_path(name);
    int st = 0;
    test_run("ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt rgba -s 37x23 -i " + make_source() +
             " -pix_fmt " + pix_fmt + " " + out, &st);
    EXPECT_EQ(st, 0) << name;
    return test_read_file(out);
}

// What ffmpeg decodes the file to, as RGBA.
std::vector<uint8_t> decode_rgba(const std::string &name)
{
    std::string out = test_board_path(name + ".rgba");
    int st = 0;
    test_run("ffmpeg -nostdin -v error -y -i " + test_board_path(name) + " -f rawvideo -pix_fmt rgba " + out, &st);
    EXPECT_EQ(st, 0);
    return test_read_file(out);
}

struct Rows {
    std::vector<uint8_t> pixels;
    int bpp = 0;
    int calls = 0;
};

void collect(ImageRowTarget *t, const uint8_t *row, int bpp)
{
    Rows *r = (Rows *)t->user;
    r->bpp = bpp;
    r->calls++;
    r->pixels.insert(r->pixels.end(), row, row + (size_t)t->width * bpp);
}

// The expected rows: RGB, or RGBA with alpha flattened over the background.
std::vector<uint8_t> expected(const std::vector<uint8_t> &rgba, int bpp, uint16_t bg)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 4 <= rgba.size(); i += 4) {
        uint8_t px[4] = {rgba[i], rgba[i + 1], rgba[i + 2], rgba[i + 3]};
        if (bpp == 4) {
            unsigned a = px[3], c[3] = {(bg >> 11 & 31) * 8u, (bg >> 5 & 63) * 4u, (bg & 31) * 8u};
            if (a != 255)
                for (int k = 0; k < 3; k++)
                    px[k] = (uint8_t)((px[k] * a + c[k] * (255 - a)) >> 8);
        }
        out.insert(out.end(), px, px + bpp);
    }
    return out;
}

typedef int (*Reader)(const uint8_t *, size_t, ImageRowTarget *, ImageRowFn);

// tolerance: 16-bit samples are rounded to 8 bits, which ffmpeg and libpng may do a step apart.
void expect_rows(Reader read, const std::string &name, const std::string &pix_fmt, int bpp, int tolerance = 0)
{
    SCOPED_TRACE(name);
    std::vector<uint8_t> file = make_file(name, pix_fmt);
    std::vector<uint8_t> copy = file;
    Rows rows;
    ImageRowTarget t{};
    t.background = 0x07e0 | 0x0010;   // green's low bit set: all six bits of it count
    t.user = &rows;
    ASSERT_EQ(read(file.data(), file.size(), &t, collect), 0);
    EXPECT_EQ(t.width, W);
    EXPECT_EQ(t.height, H);
    EXPECT_EQ(rows.calls, H);
    EXPECT_EQ(rows.bpp, bpp);
    std::vector<uint8_t> want = expected(decode_rgba(name), bpp, t.background);
    ASSERT_EQ(rows.pixels.size(), want.size());
    if (tolerance == 0) {
        EXPECT_EQ(rows.pixels, want);
    }
    for (size_t i = 0; i < want.size(); i++)
        ASSERT_LE(abs(rows.pixels[i] - want[i]), tolerance) << i;
    EXPECT_EQ(file, copy) << "the caller's bytes were changed";
}
} // namespace

TEST(Image, ReadersDeliverFfmpegsPixelsTopDown)
{
    expect_rows(bmp_read_rows, "a.bmp", "bgra", 4);
    expect_rows(bmp_read_rows, "b.bmp", "bgr24", 3);
    expect_rows(png_read_rows, "a.png", "rgba", 4);
    expect_rows(png_read_rows, "b.png", "rgb24", 3);
    // Palettes with transparency, grey and 16-bit samples are transformed to 8-bit colour.
    expect_rows(png_read_rows, "p.png", "pal8", 3);
    expect_rows(png_read_rows, "g.png", "gray", 3);
    expect_rows(png_read_rows, "h.png", "rgb48be", 3, 1);
    expect_rows(png_read_rows, "ga.png", "ya8", 4);
}

TEST(Image, BadBmpHeadersAreRefusedBeforeAnyRow)
{
    std::vector<uint8_t> good = make_file("c.bmp", "bgr24");
    Rows rows;
    ImageRowTarget t{};
    t.user = &rows;
    auto patched = [&](size_t at, uint32_t v) {
        std::vector<uint8_t> b = good;
        memcpy(&b[at], &v, 4);
        return b;
    };
    std::vector<std::vector<uint8_t>> bad = {
        std::vector<uint8_t>(good.begin(), good.begin() + 53),            // header cut
        std::vector<uint8_t>(good.begin(), good.end() - 10),              // rows cut
        patched(10, (uint32_t)good.size()),                               // pixels past the end
        patched(10, 0xfffffff0u),
        patched(18, 0),                                                   // no width
        patched(18, 0x80000000u),                                         // negative width
        patched(18, 0x7fffffffu),                                         // huge width
        patched(22, 0x40000000u),                                         // huge height
    };
    for (size_t i = 0; i < bad.size(); i++) {
        EXPECT_EQ(bmp_read_rows(bad[i].data(), bad[i].size(), &t, collect), -1) << i;
        ShadeRleImage s{};
        EXPECT_EQ(bmp_to_shade(bad[i].data(), bad[i].size(), &s), -1) << i;
    }
    EXPECT_EQ(rows.calls, 0);
    std::vector<uint8_t> not_png = good;
    EXPECT_EQ(png_read_rows(not_png.data(), not_png.size(), &t, collect), -1);
    std::vector<uint8_t> png = make_file("d.png", "rgb24");
    for (size_t cut : {8ul, 20ul, 40ul, png.size() - 13}) {
        Rows r2;
        t.user = &r2;
        EXPECT_EQ(png_read_rows(png.data(), cut, &t, collect), -1) << cut;
    }
}

TEST(Image, TopDownBmpComesOutInTheSameOrder)
{
    std::vector<uint8_t> file = make_file("e.bmp", "bgr24");
    // Flip the stored rows and negate the height: the picture is the same.
    uint32_t off;
    memcpy(&off, &file[10], 4);
    size_t stride = (W * 3 + 3) & ~3;
    std::vector<uint8_t> flipped = file;
    for (int y = 0; y < H; y++)
        memcpy(&flipped[off + y * stride], &file[off + (H - 1 - y) * stride], stride);
    int32_t neg = -H;
    memcpy(&flipped[22], &neg, 4);
    Rows a, b;
    ImageRowTarget ta{}, tb{};
    ta.user = &a;
    tb.user = &b;
    ASSERT_EQ(bmp_read_rows(file.data(), file.size(), &ta, collect), 0);
    ASSERT_EQ(bmp_read_rows(flipped.data(), flipped.size(), &tb, collect), 0);
    EXPECT_EQ(a.pixels, b.pixels);
}

TEST(Image, ShadeImagesFromFilesCodeEveryPixel)
{
    std::vector<uint8_t> png = make_file("s.png", "rgba");
    std::vector<uint8_t> rgba = decode_rgba("s.png");
    for (uint32_t mode : {0u, 2u}) {
        ShadeRleImage img{};
        img.mode = mode;
        ASSERT_EQ(png_to_shade(png.data(), png.size(), &img), 0);
        std::vector<uint8_t> codes;
        for (uint32_t i = 0; i < img.size; i++) {
            uint8_t b = img.data[i];
            unsigned len = b & 15;
            if (!len)
                len = img.data[++i] + 16;
            codes.insert(codes.end(), len, b >> 4);
        }
        ASSERT_EQ(codes.size(), (size_t)W * H) << mode;
        for (size_t p = 0; p < codes.size(); p++)
            ASSERT_EQ(codes[p], shade_code_rgba(&rgba[p * 4], mode)) << p;
        shade_free(&img);
    }
    std::vector<uint8_t> bmp = make_file("s.bmp", "bgr24");
    ShadeRleImage img{};
    ASSERT_EQ(bmp_to_shade(bmp.data(), bmp.size(), &img), 0);
    EXPECT_EQ(img.width, W);
    EXPECT_GT(img.size, 0u);
    shade_free(&img);
    std::vector<uint8_t> pal = make_file("q.png", "pal8");
    // Palette pictures are not among the shade coder's colour types.
    img = {};
    EXPECT_EQ(png_to_shade(pal.data(), pal.size(), &img), -1);
}

TEST(Image, OverlayPicturesClipAtNegativePositions)
{
    std::vector<uint8_t> png = make_file("o.png", "rgba");
    std::vector<uint8_t> rgba = decode_rgba("o.png");
    OverlayImage *pic = overlay_image_new(21, 15);   // odd width: attribute rows of 11 bytes
    ASSERT_NE(pic, nullptr);
    OverlayRect r = {-5, -3, 0, 0};
    ASSERT_EQ(png_to_overlay(png.data(), png.size(), pic, &r), 0);
    EXPECT_EQ(r.width, 21);
    EXPECT_EQ(r.height, 15);
    for (int y = 0; y < 15; y++)
        for (int x = 0; x < 21; x++) {
            const uint8_t *s = &rgba[((y + 3) * W + x + 5) * 4];
            uint16_t c = (uint16_t)((s[0] >> 3) << 11 | (s[1] >> 2) << 5 | s[2] >> 3);
            ASSERT_EQ(pic->colour[y * 21 + x], c) << x << "," << y;
            ASSERT_EQ(overlay_attr_get(pic, x, y), s[3] >> 5) << x << "," << y;
        }
    std::vector<uint8_t> bmp = make_file("o.bmp", "bgr24");
    OverlayRect r2 = {10, 5, 0, 0};
    ASSERT_EQ(bmp_to_overlay(bmp.data(), bmp.size(), pic, &r2), 0);
    EXPECT_EQ(r2.width, 11);
    EXPECT_EQ(r2.height, 10);
    EXPECT_EQ(overlay_attr_get(pic, 20, 14), 0xF);
    overlay_image_free(pic);
}

namespace {
// A picture with long flat areas (runs beyond every code's reach), transparent holes and
// noise, as ARGB.
std::vector<uint32_t> rle_picture(int w, int h, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint32_t> px((size_t)w * h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            uint32_t v;
            if (y < h / 3)
                v = 0xff204080;                         // one long paint run
            else if (y < h / 2)
                v = 0x00000000;                         // transparent
            else if (x % 50 < 3)
                v = (uint32_t)(rng() % 256) << 24 | (rng() & 0xffffff);
            else
                v = 0x80102030;                         // half alpha, premultiplied
            px[(size_t)y * w + x] = v;
        }
    return px;
}

void decode_bytewise(const OverlayImage *src, OverlayImage *dst)
{
    OverlayRleState st;
    overlay_rle_state_init(&st, dst);
    std::vector<uint8_t> pending;
    for (uint32_t i = 0; i < src->rle_len; i++) {
        pending.push_back(src->rle[i]);
        size_t used = overlay_rle_decode(pending.data(), pending.size(), &st);
        pending.erase(pending.begin(), pending.begin() + used);
    }
    EXPECT_TRUE(pending.empty());
    EXPECT_TRUE(st.done);
    EXPECT_FALSE(st.bad);
}
} // namespace

TEST(Image, OverlayRunLengthRoundTripsFedOneByteAtATime)
{
    const int w = 3001, h = 600;   // 600k pixels: paint runs past 4160, skip runs past 528448
    std::vector<uint32_t> px = rle_picture(w, h, 3);
    OverlayImage *enc = overlay_image_new(w, h);
    ASSERT_NE(enc, nullptr);
    ASSERT_EQ(overlay_rle_encode(enc, px.data()), 0);
    EXPECT_EQ(enc->rle[enc->rle_len - 1], 0xF0);
    OverlayImage *dec = overlay_image_new(w, h);
    decode_bytewise(enc, dec);
    EXPECT_EQ(memcmp(dec->colour, enc->colour, (size_t)w * h * 2), 0);
    EXPECT_EQ(memcmp(dec->attr, enc->attr, (size_t)overlay_attr_line(w) * h), 0);
    EXPECT_EQ(overlay_rle_check(enc, dec), 0);

    // A changed reference is noticed.
    dec->colour[12345] ^= 1;
    EXPECT_EQ(overlay_rle_check(enc, dec), -1);
    dec->colour[12345] ^= 1;

    // The same picture again against the filled buffers: nothing but skips and the end, and
    // the decoder's buffers stay as they were.
    ASSERT_EQ(overlay_rle_encode(enc, px.data()), 0);
    EXPECT_LT(enc->rle_len, 16u);
    decode_bytewise(enc, dec);
    EXPECT_EQ(memcmp(dec->colour, enc->colour, (size_t)w * h * 2), 0);

    // Then clear it all: clear runs only where something was visible.
    std::vector<uint32_t> clear(px.size(), 0);
    ASSERT_EQ(overlay_rle_encode(enc, clear.data()), 0);
    decode_bytewise(enc, dec);
    EXPECT_EQ(memcmp(dec->attr, enc->attr, (size_t)overlay_attr_line(w) * h), 0);
    for (int y = 0; y < h; y += 7)
        for (int x = 0; x < w; x += 13)
            ASSERT_EQ(overlay_attr_get(dec, x, y), 0);
    overlay_image_free(enc);
    overlay_image_free(dec);
}

TEST(Image, OverlayDecoderNeverWritesPastTheImage)
{
    OverlayImage *img = overlay_image_new(5, 3);
    ASSERT_NE(img, nullptr);
    // Paint 4160 pixels into a 15-pixel image, then more codes.
    const uint8_t bytes[] = {0xEF, 0xFF, 0x34, 0x12, 0xBF, 0x01, 0x02, 0xF0};
    OverlayRleState st;
    overlay_rle_state_init(&st, img);
    size_t used = overlay_rle_decode(bytes, sizeof bytes, &st);
    EXPECT_EQ(used, sizeof bytes);
    EXPECT_TRUE(st.bad);
    EXPECT_TRUE(st.done);
    EXPECT_EQ(img->colour[14], 0x1234);
    EXPECT_EQ(overlay_attr_get(img, 4, 2), 7);
    // A code cut in the middle waits for the rest.
    overlay_rle_state_init(&st, img);
    EXPECT_EQ(overlay_rle_decode(bytes, 3, &st), 0u);
    overlay_image_free(img);
    EXPECT_EQ(overlay_image_new(0, 5), nullptr);
    EXPECT_EQ(overlay_image_new(5, -1), nullptr);
}

TEST(Image, TiffHeaderReadsBackInTiffinfo)
{
    const uint32_t w = 64, h = 48;
    const uint32_t nv12 = 'N' | 'V' << 8 | '1' << 16 | (uint32_t)'2' << 24;
    std::vector<uint8_t> buf(tiff_file_size(w, h));
    EXPECT_EQ(tiff_write_header(buf.data(), buf.size(), w, h, 0x56595559), -1);
    EXPECT_EQ(tiff_write_header(buf.data(), buf.size() - 1, w, h, nv12), -1);
    long n = tiff_write_header(buf.data(), buf.size(), w, h, nv12);
    ASSERT_EQ(n, (long)(2 * (w * h + 132)));
    for (size_t i = 0; i < w * h * 2; i++)
        buf[tiff_data_offset() + i] = (uint8_t)i;
    std::string path = test_board_path("frame.tif");
    test_run("mkdir -p " + test_board_dir());
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, buf.data(), n), n);
    close(fd);
    int st = 0;
    std::string info = test_run("tiffinfo " + path + " 2>&1", &st);
    EXPECT_EQ(st, 0) << info;
    EXPECT_NE(info.find("Image Width: 64 Image Length: 48"), std::string::npos) << info;
    EXPECT_NE(info.find("Bits/Sample: 8"), std::string::npos) << info;
    EXPECT_NE(info.find("YCbCr"), std::string::npos) << info;
    EXPECT_NE(info.find("Samples/Pixel: 3"), std::string::npos) << info;
    EXPECT_NE(info.find("Rows/Strip: 48"), std::string::npos) << info;
    EXPECT_NE(info.find("Resolution: 72, 72"), std::string::npos) << info;
    EXPECT_NE(info.find("YCbCr Subsampling: 2, 1"), std::string::npos) << info;
    EXPECT_EQ(info.find("Warning"), std::string::npos) << info;
}
