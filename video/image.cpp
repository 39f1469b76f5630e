#include "video/image.h"

#include "core/log.h"

#include <png.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {
// Pictures larger than this are refused before any buffer is sized from their header.
const uint64_t max_pixels = 16u << 20;

uint16_t rd16(const uint8_t *p) { return (uint16_t)(p[0] | p[1] << 8); }
uint32_t rd32(const uint8_t *p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24; }
void wr16(uint8_t *p, uint16_t v) { p[0] = (uint8_t)v; p[1] = (uint8_t)(v >> 8); }
void wr32(uint8_t *p, uint32_t v) { wr16(p, (uint16_t)v); wr16(p + 2, (uint16_t)(v >> 16)); }

uint16_t rgb565(uint8_t r, uint8_t g, uint8_t b)
{
    return (uint16_t)((r >> 3) << 11 | (g >> 2) << 5 | b >> 3);
}

void set_attr(OverlayImage *img, int32_t x, int32_t y, uint8_t a)
{
    uint8_t &b = img->attr[(size_t)y * overlay_attr_line(img->width) + x / 2];
    b = (x & 1) ? (uint8_t)((b & 0xf0) | (a & 15)) : (uint8_t)((b & 0x0f) | (a & 15) << 4);
}

// A checked BMP: rows are found through row(i) with i counted top-down.
struct BmpInfo {
    int32_t width, height;
    int bpp;                // bytes a pixel: 3 or 4
    const uint8_t *pixels;
    uint64_t stride;
    bool top_down;
};

int bmp_parse(const uint8_t *data, size_t length, BmpInfo *info)
{
    if (!data || length < 54 || data[0] != 'B' || data[1] != 'M')
        return -1;
    uint32_t offset = rd32(data + 10);
    int32_t width = (int32_t)rd32(data + 18);
    int32_t height = (int32_t)rd32(data + 22);
    uint16_t planes = rd16(data + 26), bits = rd16(data + 28);
    uint32_t compression = rd32(data + 30);
    // 32-bit pictures written with bit-field masks (compression 3) hold plain BGRA too.
    if (planes != 1 || (bits != 24 && bits != 32) || !(compression == 0 || (compression == 3 && bits == 32)))
        return -1;
    if (width <= 0 || height == 0 || height == INT32_MIN)
        return -1;
    bool top_down = height < 0;
    if (top_down)
        height = -height;
    if ((uint64_t)width * (uint64_t)height > max_pixels)
        return -1;
    uint64_t stride = ((uint64_t)width * bits / 8 + 3) & ~3ull;
    if (offset < 54 || offset > length || stride * (uint64_t)height > length - offset)
        return -1;
    info->width = width;
    info->height = height;
    info->bpp = bits / 8;
    info->pixels = data + offset;
    info->stride = stride;
    info->top_down = top_down;
    return 0;
}

const uint8_t *bmp_row(const BmpInfo *b, int32_t i)
{
    int32_t stored = b->top_down ? i : b->height - 1 - i;
    return b->pixels + (uint64_t)stored * b->stride;
}

// One top-down row of a BMP as RGB or RGBA in out (width x bpp bytes); alpha flattened when
// a background is given.
void bmp_convert_row(const BmpInfo *b, int32_t i, uint8_t *out, const uint16_t *background)
{
    const uint8_t *src = bmp_row(b, i);
    for (int32_t x = 0; x < b->width; x++) {
        const uint8_t *s = src + (size_t)x * b->bpp;
        uint8_t *d = out + (size_t)x * b->bpp;
        d[0] = s[2];
        d[1] = s[1];
        d[2] = s[0];
        if (b->bpp == 4) {
            d[3] = s[3];
            if (background)
                image_flatten_rgba(d, *background);
        }
    }
}

int shade_reserve(ShadeRleImage *img, uint32_t more)
{
    if (img->size + more <= img->capacity)
        return 0;
    uint32_t cap = std::max<uint32_t>(img->capacity * 2, img->size + more + 256);
    uint8_t *p = (uint8_t *)realloc(img->data, cap);
    if (!p)
        return -1;
    img->data = p;
    img->capacity = cap;
    return 0;
}

int shade_store_run(ShadeRleImage *img)
{
    if (img->run == 0)
        return 0;
    if (shade_reserve(img, 2) < 0)
        return -1;
    if (img->run < 16) {
        img->data[img->size++] = (uint8_t)(img->code << 4 | img->run);
    } else {
        img->data[img->size++] = (uint8_t)(img->code << 4);
        img->data[img->size++] = (uint8_t)(img->run - 16);
    }
    img->run = 0;
    return 0;
}

int shade_put_code(ShadeRleImage *img, uint8_t code)
{
    if (img->run && (code != img->code || img->run == 271))
        if (shade_store_run(img) < 0)
            return -1;
    img->code = code;
    img->run++;
    return 0;
}

int overlay_put_rgba_rows(OverlayImage *pic, OverlayRect *rect, int32_t src_w, int32_t src_h,
                          const uint8_t *row, int32_t i, int bpp)
{
    // Leading columns and rows fall away at a negative position.
    int32_t dy = rect->y + i;
    if (dy < 0 || dy >= pic->height)
        return 0;
    int32_t x0 = std::max(0, -rect->x);
    int32_t x1 = std::min(src_w, pic->width - rect->x);
    for (int32_t x = x0; x < x1; x++) {
        const uint8_t *s = row + (size_t)x * bpp;
        int32_t dx = rect->x + x;
        pic->colour[(size_t)dy * pic->width + dx] = rgb565(s[0], s[1], s[2]);
        set_attr(pic, dx, dy, bpp == 4 ? (uint8_t)(s[3] >> 5) : 0xF);
    }
    (void)src_h;
    return 0;
}

void overlay_rect_done(const OverlayImage *pic, OverlayRect *rect, int32_t src_w, int32_t src_h)
{
    int32_t x0 = std::max(0, -rect->x), x1 = std::min(src_w, pic->width - rect->x);
    int32_t y0 = std::max(0, -rect->y), y1 = std::min(src_h, pic->height - rect->y);
    rect->width = std::max(0, x1 - x0);
    rect->height = std::max(0, y1 - y0);
}

// ---- PNG, through libpng. Its error jump lands in png_decode, whose frame holds nothing with
// a destructor; the decoded picture is plain malloc'd memory.

struct PngSource {
    const uint8_t *p;
    size_t left;
};

void png_read_cb(png_structp png, png_bytep out, png_size_t n)
{
    PngSource *src = (PngSource *)png_get_io_ptr(png);
    if (n > src->left)
        png_error(png, "read past the end of the data");
    memcpy(out, src->p, n);
    src->p += n;
    src->left -= n;
}

void png_error_cb(png_structp png, png_const_charp msg)
{
    log_printf("png error: %s\n", msg);
    png_longjmp(png, 1);
}

void png_warning_cb(png_structp, png_const_charp msg)
{
    log_printf("png warning: %s\n", msg);
}

struct PngPicture {
    uint8_t *pixels;       // RGB or RGBA rows, top-down
    uint32_t width, height;
    int channels;          // 3 or 4
    int bit_depth, colour_type;   // as in the file
};

// Decodes a whole PNG into 8-bit RGB or RGBA: palettes, grey, transparency chunks, 16-bit
// samples and interlacing are transformed. 0, or -1.
int png_decode(const uint8_t *data, size_t length, PngPicture *out)
{
    out->pixels = nullptr;
    if (!data || length < 8 || png_sig_cmp(data, 0, 8) != 0)
        return -1;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, png_error_cb, png_warning_cb);
    if (!png)
        return -1;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return -1;
    }
    PngSource src = {data, length};
    uint8_t *volatile pixels = nullptr;
    png_bytep *volatile rows = nullptr;
    if (setjmp(png_jmpbuf(png))) {
        free(pixels);
        free(rows);
        png_destroy_read_struct(&png, &info, nullptr);
        return -1;
    }
    png_set_user_limits(png, 16384, 16384);
    png_set_read_fn(png, &src, png_read_cb);
    png_read_info(png, info);
    png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    out->bit_depth = png_get_bit_depth(png, info);
    out->colour_type = png_get_color_type(png, info);
    if ((uint64_t)w * h > max_pixels)
        png_error(png, "picture too large");
    if (out->bit_depth == 16)
        png_set_scale_16(png);
    if (out->colour_type == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS))
        png_set_tRNS_to_alpha(png);
    if (out->colour_type == PNG_COLOR_TYPE_GRAY || out->colour_type == PNG_COLOR_TYPE_GRAY_ALPHA) {
        if (out->bit_depth < 8)
            png_set_expand_gray_1_2_4_to_8(png);
        png_set_gray_to_rgb(png);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    int channels = png_get_channels(png, info);
    size_t rowbytes = png_get_rowbytes(png, info);
    if ((channels != 3 && channels != 4) || png_get_bit_depth(png, info) != 8 || rowbytes != (size_t)w * channels)
        png_error(png, "unexpected row layout");
    pixels = (uint8_t *)malloc(rowbytes * h);
    rows = (png_bytep *)malloc(sizeof(png_bytep) * h);
    if (!pixels || !rows)
        png_error(png, "out of memory");
    for (png_uint_32 y = 0; y < h; y++)
        rows[y] = pixels + rowbytes * y;
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    free(rows);
    png_destroy_read_struct(&png, &info, nullptr);
    out->pixels = pixels;
    out->width = w;
    out->height = h;
    out->channels = channels;
    return 0;
}
} // namespace

void image_flatten_rgba(uint8_t *px, uint16_t background)
{
    unsigned a = px[3];
    if (a == 255)
        return;
    unsigned bg[3] = {(background >> 11 & 31) * 8u, (background >> 5 & 63) * 4u, (background & 31) * 8u};
    for (int i = 0; i < 3; i++)
        px[i] = (uint8_t)((px[i] * a + bg[i] * (255 - a)) >> 8);
}

int bmp_read_rows(const uint8_t *data, size_t length, ImageRowTarget *target, ImageRowFn fn)
{
    BmpInfo b;
    if (!target || !fn || bmp_parse(data, length, &b) < 0)
        return -1;
    uint8_t *row = (uint8_t *)malloc((size_t)b.width * b.bpp);
    if (!row)
        return -1;
    target->width = b.width;
    target->height = b.height;
    for (int32_t i = 0; i < b.height; i++) {
        if (i && i % 32 == 0)
            sched_yield();
        bmp_convert_row(&b, i, row, &target->background);
        fn(target, row, b.bpp);
    }
    free(row);
    return 0;
}

int png_read_rows(const uint8_t *data, size_t length, ImageRowTarget *target, ImageRowFn fn)
{
    PngPicture pic;
    if (!target || !fn || png_decode(data, length, &pic) < 0)
        return -1;
    target->width = (int32_t)pic.width;
    target->height = (int32_t)pic.height;
    size_t stride = (size_t)pic.width * pic.channels;
    for (uint32_t y = 0; y < pic.height; y++) {
        if (y && y % 32 == 0)
            sched_yield();
        uint8_t *row = pic.pixels + stride * y;
        if (pic.channels == 4)
            for (uint32_t x = 0; x < pic.width; x++)
                image_flatten_rgba(row + x * 4, target->background);
        fn(target, row, pic.channels);
    }
    free(pic.pixels);
    return 0;
}

uint8_t shade_code_rgba(const uint8_t *px, uint32_t mode)
{
    unsigned l = (px[0] * 19595u + px[1] * 38469u + px[2] * 7471u) >> 17;
    unsigned a = px[3];
    if (mode == 2) {
        if (a <= 16)
            return 0;
        return (uint8_t)std::max(1u, (2 * l) >> 4 & 15);
    }
    if (a == 0 || l <= 15)
        return (uint8_t)(a >> 5);
    return (uint8_t)(8 + ((l >> 4) & 7));
}

uint8_t shade_code_rgb(const uint8_t *px)
{
    unsigned l = (px[0] * 19595u + px[1] * 38469u + px[2] * 7471u) >> 17;
    return (uint8_t)(8 + ((l >> 4) & 7));
}

int shade_begin(ShadeRleImage *img, int32_t width, int32_t height)
{
    uint32_t mode = img->mode;
    memset(img, 0, sizeof *img);
    img->mode = mode;
    if (width <= 0 || height <= 0)
        return -1;
    img->width = width;
    img->height = height;
    return shade_reserve(img, 256);
}

int shade_put_rgba_row(ShadeRleImage *img, const uint8_t *row)
{
    for (int32_t x = 0; x < img->width; x++)
        if (shade_put_code(img, shade_code_rgba(row + (size_t)x * 4, img->mode)) < 0)
            return -1;
    return 0;
}

int shade_put_rgb_row(ShadeRleImage *img, const uint8_t *row)
{
    for (int32_t x = 0; x < img->width; x++)
        if (shade_put_code(img, shade_code_rgb(row + (size_t)x * 3)) < 0)
            return -1;
    return 0;
}

int shade_finish(ShadeRleImage *img)
{
    if (shade_store_run(img) < 0)
        return -1;
    if (img->size && img->size < img->capacity) {
        uint8_t *p = (uint8_t *)realloc(img->data, img->size);
        if (p) {
            img->data = p;
            img->capacity = img->size;
        }
    }
    return 0;
}

void shade_free(ShadeRleImage *img)
{
    if (!img)
        return;
    free(img->data);
    img->data = nullptr;
    img->size = img->capacity = 0;
}

int bmp_to_shade(const uint8_t *data, size_t length, ShadeRleImage *img)
{
    BmpInfo b;
    if (!img || bmp_parse(data, length, &b) < 0)
        return -1;
    uint8_t *row = (uint8_t *)malloc((size_t)b.width * b.bpp);
    if (!row || shade_begin(img, b.width, b.height) < 0) {
        free(row);
        return -1;
    }
    int rc = 0;
    for (int32_t i = 0; i < b.height && rc == 0; i++) {
        if (i && i % 32 == 0)
            sched_yield();
        bmp_convert_row(&b, i, row, nullptr);
        rc = b.bpp == 4 ? shade_put_rgba_row(img, row) : shade_put_rgb_row(img, row);
    }
    free(row);
    if (rc == 0)
        rc = shade_finish(img);
    if (rc < 0)
        shade_free(img);
    return rc;
}

int png_to_shade(const uint8_t *data, size_t length, ShadeRleImage *img)
{
    PngPicture pic;
    if (!img || png_decode(data, length, &pic) < 0)
        return -1;
    int ct = pic.colour_type;
    if (ct != PNG_COLOR_TYPE_RGBA && ct != PNG_COLOR_TYPE_RGB && ct != PNG_COLOR_TYPE_GRAY_ALPHA) {
        log_printf("unsupported png width=%d height=%d bitDepth=%d colorType=%d\n", (int)pic.width, (int)pic.height,
                   pic.bit_depth, ct);
        free(pic.pixels);
        return -1;
    }
    int rc = shade_begin(img, (int32_t)pic.width, (int32_t)pic.height);
    size_t stride = (size_t)pic.width * pic.channels;
    for (uint32_t y = 0; y < pic.height && rc == 0; y++)
        rc = pic.channels == 4 ? shade_put_rgba_row(img, pic.pixels + stride * y)
                               : shade_put_rgb_row(img, pic.pixels + stride * y);
    free(pic.pixels);
    if (rc == 0)
        rc = shade_finish(img);
    if (rc < 0)
        shade_free(img);
    return rc;
}

uint32_t overlay_attr_line(int32_t width)
{
    return width > 0 ? (uint32_t)(width + 1) / 2 : 0;
}

uint8_t overlay_attr_get(const OverlayImage *img, int32_t x, int32_t y)
{
    uint8_t b = img->attr[(size_t)y * overlay_attr_line(img->width) + x / 2];
    return (x & 1) ? (b & 15) : (b >> 4);
}

OverlayImage *overlay_image_new(int32_t width, int32_t height)
{
    if (width <= 0 || height <= 0 || (uint64_t)width * (uint64_t)height > max_pixels)
        return nullptr;
    size_t pixels = (size_t)width * height;
    size_t attr = (size_t)overlay_attr_line(width) * height;
    OverlayImage *img = (OverlayImage *)calloc(1, sizeof(OverlayImage) + pixels * 2 + attr);
    if (!img)
        return nullptr;
    img->width = width;
    img->height = height;
    img->colour = (uint16_t *)(img + 1);
    img->attr = (uint8_t *)(img->colour + pixels);
    return img;
}

void overlay_image_free(OverlayImage *img)
{
    if (!img)
        return;
    free(img->rle);
    free(img);
}

int bmp_to_overlay(const uint8_t *data, size_t length, OverlayImage *picture, OverlayRect *rect)
{
    BmpInfo b;
    if (!picture || !rect || bmp_parse(data, length, &b) < 0)
        return -1;
    uint8_t *row = (uint8_t *)malloc((size_t)b.width * b.bpp);
    if (!row)
        return -1;
    for (int32_t i = 0; i < b.height; i++) {
        bmp_convert_row(&b, i, row, nullptr);
        overlay_put_rgba_rows(picture, rect, b.width, b.height, row, i, b.bpp);
    }
    free(row);
    overlay_rect_done(picture, rect, b.width, b.height);
    return 0;
}

int png_to_overlay(const uint8_t *data, size_t length, OverlayImage *picture, OverlayRect *rect)
{
    PngPicture pic;
    if (!picture || !rect || png_decode(data, length, &pic) < 0)
        return -1;
    size_t stride = (size_t)pic.width * pic.channels;
    for (uint32_t y = 0; y < pic.height; y++)
        overlay_put_rgba_rows(picture, rect, (int32_t)pic.width, (int32_t)pic.height, pic.pixels + stride * y,
                              (int32_t)y, pic.channels);
    free(pic.pixels);
    overlay_rect_done(picture, rect, (int32_t)pic.width, (int32_t)pic.height);
    return 0;
}

// ---- Overlay-image run-length coder

namespace {
enum RunOp { RUN_NONE, RUN_SKIP, RUN_CLEAR, RUN_PAINT };

struct RleWriter {
    OverlayImage *img;
    int failed;
};

void rle_put(RleWriter *w, const uint8_t *b, uint32_t n)
{
    OverlayImage *img = w->img;
    if (w->failed)
        return;
    if (img->rle_len + n > img->rle_cap) {
        uint32_t cap = std::max<uint32_t>(img->rle_cap * 2, img->rle_len + n + 1024);
        uint8_t *p = (uint8_t *)realloc(img->rle, cap);
        if (!p) {
            w->failed = 1;
            return;
        }
        img->rle = p;
        img->rle_cap = cap;
    }
    memcpy(img->rle + img->rle_len, b, n);
    img->rle_len += n;
}

// Emits one run, split into as many codes as its count needs.
void rle_emit(RleWriter *w, RunOp op, uint64_t count, uint16_t colour)
{
    const uint64_t long_max = op == RUN_SKIP ? 528448 : 4160;
    while (count > 0) {
        uint64_t n = std::min(count, long_max);
        uint8_t b[5];
        uint32_t len;
        if (n <= 64) {
            uint8_t base = op == RUN_SKIP ? 0x00 : op == RUN_CLEAR ? 0x40 : 0x80;
            b[0] = (uint8_t)(base | (n - 1));
            len = 1;
        } else if (n <= 4160) {
            uint8_t base = op == RUN_SKIP ? 0xC0 : op == RUN_CLEAR ? 0xD0 : 0xE0;
            uint64_t v = n - 65;
            b[0] = (uint8_t)(base | (v >> 8));
            b[1] = (uint8_t)v;
            len = 2;
        } else {
            uint64_t v = n - 4161;
            b[0] = (uint8_t)(0xF8 | (v >> 16));
            b[1] = (uint8_t)(v >> 8);
            b[2] = (uint8_t)v;
            len = 3;
        }
        if (op == RUN_PAINT) {
            b[len++] = (uint8_t)colour;
            b[len++] = (uint8_t)(colour >> 8);
        }
        rle_put(w, b, len);
        count -= n;
    }
}

uint16_t argb_colour(uint32_t px)
{
    unsigned a = px >> 24, r = px >> 16 & 255, g = px >> 8 & 255, b = px & 255;
    if (a == 255)
        return rgb565((uint8_t)r, (uint8_t)g, (uint8_t)b);
    // Premultiplied components; input that is not premultiplied is held at full scale.
    unsigned r5 = std::min(31u, r * 31 / a), g6 = std::min(63u, g * 63 / a), b5 = std::min(31u, b * 31 / a);
    return (uint16_t)(r5 << 11 | g6 << 5 | b5);
}
} // namespace

int overlay_rle_encode(OverlayImage *img, const uint32_t *argb)
{
    if (!img || !argb)
        return -1;
    img->rle_len = 0;
    RleWriter w = {img, 0};
    RunOp op = RUN_NONE;
    uint64_t count = 0;
    uint16_t run_colour = 0;
    uint8_t cls = 7;
    const uint64_t total = (uint64_t)img->width * img->height;
    for (uint64_t i = 0; i < total; i++) {
        uint32_t px = argb[i];
        int32_t x = (int32_t)(i % img->width), y = (int32_t)(i / img->width);
        uint8_t a = (uint8_t)(px >> 24);
        uint8_t c = a >> 5;
        uint8_t old = overlay_attr_get(img, x, y);
        RunOp want;
        uint16_t colour = 0;
        if (a < 32) {
            want = old != 0 ? RUN_CLEAR : RUN_SKIP;
        } else {
            colour = argb_colour(px);
            want = (old == c && img->colour[i] == colour) ? RUN_SKIP : RUN_PAINT;
        }
        bool same = want == op && (want != RUN_PAINT || (colour == run_colour && c == cls));
        if (!same) {
            if (count)
                rle_emit(&w, op, count, run_colour);
            count = 0;
            if (want == RUN_PAINT && c != cls) {
                uint8_t b = (uint8_t)(0xF0 + c);
                rle_put(&w, &b, 1);
                cls = c;
            }
            op = want;
            run_colour = colour;
        }
        count++;
        if (want == RUN_CLEAR)
            set_attr(img, x, y, 0);
        else if (want == RUN_PAINT) {
            img->colour[i] = colour;
            set_attr(img, x, y, c);
        }
    }
    if (count)
        rle_emit(&w, op, count, run_colour);
    uint8_t end = 0xF0;
    rle_put(&w, &end, 1);
    return w.failed ? -1 : 0;
}

void overlay_rle_state_init(OverlayRleState *st, OverlayImage *img)
{
    memset(st, 0, sizeof *st);
    st->img = img;
    st->cls = 7;
}

size_t overlay_rle_decode(const uint8_t *data, size_t length, OverlayRleState *st)
{
    size_t used = 0;
    OverlayImage *img = st->img;
    const uint64_t total = img ? (uint64_t)img->width * img->height : 0;
    while (used < length && !st->done) {
        const uint8_t *p = data + used;
        uint8_t b = p[0];
        size_t need;
        if (b < 0xC0)
            need = b >= 0x80 ? 3 : 1;
        else if (b < 0xF0)
            need = b >= 0xE0 ? 4 : 2;
        else if (b < 0xF8)
            need = 1;
        else
            need = 3;
        if (length - used < need)
            break;   // the rest of this code comes with the next piece
        used += need;
        if (b == 0xF0) {
            st->done = true;
            break;
        }
        if (b > 0xF0 && b < 0xF8) {
            st->cls = b & 7;
            continue;
        }
        RunOp op;
        uint64_t count;
        uint16_t colour = 0;
        if (b < 0xC0) {
            op = b < 0x40 ? RUN_SKIP : b < 0x80 ? RUN_CLEAR : RUN_PAINT;
            count = (b & 0x3F) + 1u;
            if (op == RUN_PAINT)
                colour = rd16(p + 1);
        } else if (b < 0xF0) {
            op = b < 0xD0 ? RUN_SKIP : b < 0xE0 ? RUN_CLEAR : RUN_PAINT;
            count = ((uint64_t)(b & 0x0F) << 8) + p[1] + 65;
            if (op == RUN_PAINT)
                colour = rd16(p + 2);
        } else {
            op = RUN_SKIP;
            count = ((uint64_t)(b & 7) << 16) + ((uint64_t)p[1] << 8) + p[2] + 4161;
        }
        if (st->pos + count > total) {
            st->bad = true;
            count = total > st->pos ? total - st->pos : 0;
        }
        if (op != RUN_SKIP) {
            for (uint64_t k = 0; k < count; k++) {
                uint64_t i = st->pos + k;
                int32_t x = (int32_t)(i % img->width), y = (int32_t)(i / img->width);
                if (op == RUN_CLEAR) {
                    set_attr(img, x, y, 0);
                } else {
                    img->colour[i] = colour;
                    set_attr(img, x, y, st->cls);
                }
            }
        }
        st->pos += count;
    }
    return used;
}

int overlay_rle_check(const OverlayImage *img, const OverlayImage *reference)
{
    if (!img || !reference || img->width != reference->width || img->height != reference->height)
        return -1;
    OverlayImage *copy = overlay_image_new(img->width, img->height);
    if (!copy)
        return -1;
    OverlayRleState st;
    overlay_rle_state_init(&st, copy);
    overlay_rle_decode(img->rle, img->rle_len, &st);
    int rc = 0;
    size_t pixels = (size_t)img->width * img->height;
    size_t attr = (size_t)overlay_attr_line(img->width) * img->height;
    if (memcmp(copy->colour, reference->colour, pixels * 2) != 0) {
        log_printf("color buffer check failed\n");
        rc = -1;
    }
    if (memcmp(copy->attr, reference->attr, attr) != 0) {
        log_printf("attr buffer check failed\n");
        rc = -1;
    }
    overlay_image_free(copy);
    return rc;
}

long overlay_rle_write(const OverlayImage *img, int fd)
{
    if (!img)
        return -1;
    return (long)write(fd, img->rle, img->rle_len);
}

// ---- TIFF header for one NV12 frame

size_t tiff_data_offset()
{
    return 8;
}

size_t tiff_file_size(uint32_t width, uint32_t height)
{
    return (size_t)width * 2 * height + 264;
}

long tiff_write_header(uint8_t *buffer, size_t capacity, uint32_t width, uint32_t height, uint32_t fourcc)
{
    const uint32_t nv12 = 'N' | 'V' << 8 | '1' << 16 | (uint32_t)'2' << 24;
    if (fourcc != nv12) {
        log_printf("unsupported pix format %x\n", fourcc);
        return -1;
    }
    uint64_t d = (uint64_t)width * 2 * height;
    if (!buffer || width == 0 || height == 0 || width > 65535 || d + 264 > capacity || d + 264 > UINT32_MAX)
        return -1;
    const uint32_t values = 8 + (uint32_t)d;       // bits per sample
    const uint32_t xres = values + 6, yres = xres + 8, refbw = yres + 8;
    const uint32_t dir = refbw + 48;
    memcpy(buffer, "II", 2);
    wr16(buffer + 2, 42);
    wr32(buffer + 4, 78 + (uint32_t)d);
    for (int i = 0; i < 3; i++)
        wr16(buffer + values + i * 2, 8);
    const uint32_t rationals[8][2] = {{72, 1}, {72, 1}, {15, 1}, {235, 1}, {128, 1}, {240, 1}, {128, 1}, {240, 1}};
    for (int i = 0; i < 8; i++) {
        wr32(buffer + xres + i * 8, rationals[i][0]);
        wr32(buffer + xres + i * 8 + 4, rationals[i][1]);
    }
    if (dir != 78 + d)
        log_printf("d2=%d diroffset=%d\n", (int)dir, (int)(78 + d));
    uint8_t *p = buffer + dir;
    wr16(p, 15);
    p += 2;
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        wr16(p, tag);
        wr16(p + 2, type);
        wr32(p + 4, count);
        if (type == 3 && count == 1)
            wr32(p + 8, value & 0xffff);
        else
            wr32(p + 8, value);
        p += 12;
    };
    const uint16_t SHORT = 3, LONG = 4, RATIONAL = 5;
    entry(254, SHORT, 1, 0);
    entry(256, SHORT, 1, width);
    entry(257, height < 65536 ? SHORT : LONG, 1, height);
    entry(258, SHORT, 3, values);
    entry(259, SHORT, 1, 1);
    entry(262, SHORT, 1, 6);
    entry(273, SHORT, 1, 8);
    entry(277, SHORT, 1, 3);
    entry(278, height < 65536 ? SHORT : LONG, 1, height);
    entry(279, LONG, 1, (uint32_t)d);
    entry(282, RATIONAL, 1, xres);
    entry(283, RATIONAL, 1, yres);
    entry(296, SHORT, 1, 2);
    // Two shorts fit the value field: (2, 1).
    wr16(p, 530);
    wr16(p + 2, SHORT);
    wr32(p + 4, 2);
    wr16(p + 8, 2);
    wr16(p + 10, 1);
    p += 12;
    entry(532, RATIONAL, 6, refbw);
    wr32(p, 0);
    p += 4;
    return (long)(p - buffer);
}
