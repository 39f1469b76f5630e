#include "core/param.h"

#include "core/board.h"
#include "core/crc32.h"
#include "core/log.h"
#include "core/mtd.h"
#include "core/param_table.h"
#include "core/util.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <pthread.h>

static_assert(std::endian::native == std::endian::little, "the block is stored little-endian");

namespace {

constexpr uint32_t ip4(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    return (uint32_t)a | (uint32_t)b << 8 | (uint32_t)c << 16 | (uint32_t)d << 24;
}

constexpr OsdSettings osd_defaults()
{
    OsdSettings o{};
    return o;
}

constexpr ParamVideo video_defaults(uint8_t stream_mode, uint8_t interlaced)
{
    ParamVideo v{};
    v.Width = 640;
    v.Height = 480;
    v.BitRate = 2000000;
    v.StreamMode = stream_mode;
    v.GOPSize = 30;
    v.FrameRate = 1;
    v.JPEGQuality = 80;
    v.Interlaced = interlaced;
    v.IntraFrameQP = 23;
    v.InterPFrameQP = 23;
    v.reserved_one = 1;
    v.H264Level = 40;
    v.H264Profile = 100;
    v.RTMPAudio = 1;
    v.OSD = osd_defaults();
    return v;
}

constexpr ParamBlock make_defaults()
{
    ParamBlock p{};
    p.size = PARAM_BLOCK_SIZE;
    p.GpioInTrigLevel = 1;
    p.NetworkMode = 1;
    p.Net[0] = {ip4(192, 168, 24, 53), ip4(255, 255, 0, 0), ip4(192, 168, 0, 1), ip4(192, 168, 0, 1), 0};
    p.Net[1] = {ip4(10, 0, 24, 53), ip4(255, 0, 0, 0), 0, 0, 0};
    p.UDP[0] = {1, 0, 0, 0, ip4(192, 168, 0, 0), 1234, 0};
    p.UDP[1] = {2, 0, 0, 0, ip4(192, 168, 0, 0), 1235, 0};
    p.UDPPacketSize = 1460;
    p.Video[0] = video_defaults(0, 1);
    p.Video[1] = video_defaults(3, 0);
    p.Audio.Input = 1;
    p.Audio.OutVolumeLeft = 100;
    p.Audio.OutVolumeRight = 100;
    p.Audio.Channels = 2;
    p.Audio.BitRate = 192000;
    p.Audio.SampleRate = 48000;
    p.Capture.Brightness = 128;
    p.Capture.Saturation = 128;
    p.Capture.Contrast = 128;
    p.Display.Standard = 5;
    for (UserSlot &u : p.User)
        u.Permission = PERM_ADMIN;
    p.GuestPermission = PERM_ADMIN;
    p.Recording.Segments = 1;
    p.Recording.Source = 1;
    p.Serial.BaudRate = 115200;
    p.Serial.Interval = 1000;
    p.Serial.StreamID = 1;
    p.UDP_TTL = 64;
    p.Capture_ChromaFilter = 4;
    p.Capture_LumaFilter = 3;
    p.Capture_CombFilter = 3;
    p.Capture_AutoGain = 1;
    p.Capture_AutoBrightness = 1;
    p.RTSP_Port = 8554;
    return p;
}

// The maker's vendor prefix of the MAC address.
constexpr uint8_t MAC_PREFIX[3] = {0x00, 0x1b, 0x71};

ParamBlock *cur_block = &param_block;
uint32_t serial_number;

pthread_mutex_t save_mutex = PTHREAD_MUTEX_INITIALIZER;
// Set when the last save did not reach flash: the next save writes even if nothing changed,
// because the block's crc field no longer says what flash holds.
bool save_retry;

pthread_mutex_t pending_mutex = PTHREAD_MUTEX_INITIALIZER;
uint32_t pending_mask;

// CRC of `size` bytes of an image with its crc field taken as zero.
uint32_t image_crc(const uint8_t *image, uint32_t size)
{
    static const uint8_t zero[4] = {};
    if (size <= 4)
        return crc32_mpeg2(image, size);
    uint32_t crc = crc32_mpeg2_update(0xFFFFFFFFu, image, 4);
    crc = crc32_mpeg2_update(crc, zero, 4);
    if (size > 8)
        crc = crc32_mpeg2_update(crc, image + 8, size - 8);
    return crc;
}

uint32_t word_at(const uint8_t *p, uint32_t offset)
{
    uint32_t v;
    memcpy(&v, p + offset, 4);
    return v;
}

bool all_erased(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i] != 0xFF)
            return false;
    return true;
}

constexpr uint32_t SLOTS = (PARAM_LOG_END - PARAM_LOG_START) / PARAM_SLOT_SIZE;
constexpr uint32_t SLOTS_PER_ERASE = (uint32_t)MTD_ERASE_SIZE / (uint32_t)PARAM_SLOT_SIZE;

uint32_t slot_offset(uint32_t i)
{
    return PARAM_LOG_START + i * PARAM_SLOT_SIZE;
}

// What one slot holds.
struct SlotInfo {
    bool used;    // not entirely erased
    bool valid;   // a block whose CRC matches
    uint32_t size, count, crc;
};

// Reads a slot into `image` (PARAM_SLOT_SIZE bytes) and judges it. A stored size beyond the
// slot can never carry a checkable CRC and is refused.
SlotInfo slot_read(uint32_t offset, uint8_t *image)
{
    SlotInfo s{};
    if (mtd_read(image, offset, PARAM_SLOT_SIZE) != (ssize_t)PARAM_SLOT_SIZE) {
        memset(image, 0, PARAM_SLOT_SIZE);
        s.used = true;
        return s;
    }
    s.used = !all_erased(image, PARAM_SLOT_SIZE);
    s.size = word_at(image, 0);
    if (!s.used || s.size == 0xFFFFFFFFu)
        return s;
    if (s.size < 12 || s.size > PARAM_SLOT_SIZE)
        return s;
    s.crc = word_at(image, 4);
    s.count = word_at(image, 8);
    s.valid = image_crc(image, s.size) == s.crc;
    return s;
}

// One contiguous run of the new layout taken from the old image.
struct KeepRange {
    uint16_t first, last, from;
};

struct Conversion {
    uint32_t size;
    const KeepRange *ranges;
    size_t count;
};

#define KEEP(...) []() { static const KeepRange r[] = {__VA_ARGS__}; return Conversion{0, r, sizeof r / sizeof r[0]}; }()

// Where each older layout's bytes land in the current one; every other byte is a default.
Conversion conversion_for(uint32_t size)
{
    Conversion c{};
    switch (size) {
    case 1540:
        c = KEEP({0, 135, 0}, {138, 140, 136}, {142, 143, 140}, {144, 331, 140}, {334, 336, 328}, {338, 339, 332},
                 {340, 519, 332}, {524, 531, 512}, {536, 544, 520}, {546, 1555, 530});
        break;
    case 1544:
        c = KEEP({0, 135, 0}, {138, 140, 136}, {142, 143, 140}, {144, 331, 140}, {334, 336, 328}, {338, 339, 332},
                 {340, 531, 332}, {536, 544, 524}, {546, 1555, 534});
        break;
    case 1548:
    case 1552:
        c = KEEP({0, 135, 0}, {138, 140, 136}, {142, 143, 140}, {144, 331, 140}, {334, 336, 328}, {338, 339, 332},
                 {340, 544, 332}, {546, 1555, 538});
        break;
    case 1556:
        c = KEEP({0, 135, 0}, {138, 143, 136}, {144, 331, 140}, {334, 339, 328}, {340, 544, 332}, {546, 1559, 538},
                 {1568, 1568, 1552});
        break;
    case 1564:
        c = KEEP({0, 135, 0}, {138, 141, 136}, {142, 143, 144}, {144, 331, 144}, {334, 337, 332}, {338, 339, 340},
                 {340, 544, 340}, {546, 1559, 546}, {1568, 1569, 1560});
        break;
    case 1568:
        c = KEEP({0, 1559, 0}, {1568, 1573, 1560}, {1575, 1575, 1567});
        break;
    case 1572:
        c = KEEP({0, 1559, 0}, {1568, 1579, 1560});
        break;
    case 1576:
        c = KEEP({0, 1559, 0}, {1568, 1581, 1560});
        break;
    case 1660:
        c = KEEP({0, 1559, 0}, {1568, 1667, 1560});
        break;
    case 1668:
        c = KEEP({0, 1667, 0});
        break;
    case 0:
        c = Conversion{0, nullptr, 0};
        break;
    default:
        return Conversion{~0u, nullptr, 0};
    }
    c.size = size;
    return c;
}
#undef KEEP

// Builds the current layout from an older image. Returns -1 for a size no build ever wrote.
int convert_block(ParamBlock *block, const uint8_t *old, uint32_t old_size)
{
    Conversion c = conversion_for(old_size);
    if (c.size != old_size) {
        log_printf("* * * Unknown param size: %d * * *\n", (int)old_size);
        return -1;
    }
    uint8_t out[PARAM_BLOCK_SIZE];
    memcpy(out, &param_defaults, sizeof out);
    for (size_t i = 0; i < c.count; i++) {
        const KeepRange &r = c.ranges[i];
        size_t n = r.last - r.first + 1u;
        if (r.from + n > old_size)   // never read past what the old block supplied
            n = r.from < old_size ? old_size - r.from : 0;
        memcpy(out + r.first, old + r.from, n);
    }
    memcpy(block, out, sizeof out);
    log_printf("convert success!\n");
    return 0;
}

} // namespace

ParamBlock param_block;
const ParamBlock param_defaults = make_defaults();

void param_mark_changed(int group)
{
    if (group <= 0 || group > 31)
        return;
    pthread_mutex_lock(&pending_mutex);
    pending_mask |= 1u << group;
    pthread_mutex_unlock(&pending_mutex);
}

uint32_t param_take_changed()
{
    pthread_mutex_lock(&pending_mutex);
    uint32_t mask = pending_mask;
    pending_mask = 0;
    pthread_mutex_unlock(&pending_mutex);
    return mask;
}

uint32_t param_pending()
{
    pthread_mutex_lock(&pending_mutex);
    uint32_t mask = pending_mask;
    pthread_mutex_unlock(&pending_mutex);
    return mask;
}

ParamBlock *get_param_block()
{
    return cur_block;
}

uint32_t param_serial_number()
{
    return serial_number;
}

void param_serial_number_set(uint32_t serial)
{
    serial_number = serial;
}

int param_developer_mode(const ParamBlock *block)
{
    return block ? block->DeveloperMode : 0;
}

static int load_newest(ParamBlock *block);

int get_cur_param_block(ParamBlock *block)
{
    // The save lock also keeps a load from reading a slot half-way through its write.
    pthread_mutex_lock(&save_mutex);
    int result = load_newest(block);
    pthread_mutex_unlock(&save_mutex);
    return result;
}

static int load_newest(ParamBlock *block)
{
    static uint8_t image[PARAM_SLOT_SIZE];   // used under the save lock; kept off the stack
    static uint8_t best[PARAM_SLOT_SIZE];
    if (!mtd_is_open() && mtd_open() != 0)
        return -1;
    // The newest block is the valid one with the highest save count: after a power cut between
    // writing a slot and erasing the other erase block, older blocks sit at higher addresses.
    bool found = false;
    SlotInfo chosen{};
    uint32_t chosen_offset = 0;
    for (int i = (int)SLOTS - 1; i >= 0; i--) {
        uint32_t offset = slot_offset((uint32_t)i);
        SlotInfo s = slot_read(offset, image);
        if (!s.used || s.size == 0xFFFFFFFFu)
            continue;
        if (!s.valid) {
            if (s.size < 12 || s.size > PARAM_SLOT_SIZE)
                log_printf("params size %u out of range at flash_offs=%x\n", s.size, offset);
            else
                log_printf("checksum incorrect at flash_offs=%x size=%d crc=%08x %08x\n", offset, (int)s.size,
                           s.crc, image_crc(image, s.size));
            continue;
        }
        if (!found || s.count > chosen.count) {
            found = true;
            chosen = s;
            chosen_offset = offset;
            memcpy(best, image, sizeof best);
        }
    }
    if (!found)
        return -1;
    log_printf("%s: flash_offs=%x count=%u size=%u crc=%08x\n", "get_cur_param_block", chosen_offset, chosen.count,
               chosen.size, chosen.crc);
    if (chosen.size >= PARAM_BLOCK_SIZE) {
        if (chosen.size > PARAM_BLOCK_SIZE)
            log_printf("truncating flash_offs=%x params size %d to %d\n", chosen_offset, (int)chosen.size,
                       (int)PARAM_BLOCK_SIZE);
        memcpy(block, best, PARAM_BLOCK_SIZE);
    } else {
        log_printf("%s: param size changed from %d to %d\n", "get_cur_param_block", (int)chosen.size,
                   (int)PARAM_BLOCK_SIZE);
        if (convert_block(block, best, chosen.size) != 0) {
            memcpy(block, &param_defaults, sizeof *block);
            log_printf("convert failed, loaded defaults\n");
        }
    }
    block->size = PARAM_BLOCK_SIZE;
    return 0;
}

int save_param_block(ParamBlock *block)
{
    static uint8_t image[PARAM_SLOT_SIZE];
    pthread_mutex_lock(&save_mutex);
    // Work on a snapshot: setters write the live block without a lock, and the bytes written
    // must be the bytes the CRC was computed over.
    ParamBlock snap;
    memcpy(&snap, block, sizeof snap);
    snap.size = PARAM_BLOCK_SIZE;
    if (!save_retry && image_crc(reinterpret_cast<uint8_t *>(&snap), PARAM_BLOCK_SIZE) == snap.crc) {
        pthread_mutex_unlock(&save_mutex);
        return 0;
    }
    int result = 0;
    if (!mtd_is_open() && mtd_open() != 0)
        result = -1;

    SlotInfo slots[SLOTS];
    uint32_t newest_count = 0;
    int newest = -1;
    for (uint32_t i = 0; result == 0 && i < SLOTS; i++) {
        slots[i] = slot_read(slot_offset(i), image);
        if (slots[i].valid && (newest < 0 || slots[i].count > newest_count)) {
            newest = (int)i;
            newest_count = slots[i].count;
        }
    }

    int target = -1;
    for (uint32_t i = 1; result == 0 && i < SLOTS; i++)
        if (!slots[i].used && slots[i - 1].used) {
            target = (int)i;
            break;
        }
    if (result == 0 && target < 0) {
        // Wrap: start over in the erase block that does not hold the newest block.
        target = (newest >= (int)SLOTS_PER_ERASE || newest < 0) ? 0 : (int)SLOTS_PER_ERASE;
        bool dirty = false;
        for (uint32_t i = (uint32_t)target; i < (uint32_t)target + SLOTS_PER_ERASE; i++)
            dirty |= slots[i].used;
        if (dirty) {
            result = mtd_erase_block(slot_offset((uint32_t)target), MTD_ERASE_SIZE);
            for (uint32_t i = (uint32_t)target; i < (uint32_t)target + SLOTS_PER_ERASE; i++)
                slots[i] = SlotInfo{};
        }
    }

    if (result == 0) {
        if (newest >= 0 && newest_count > snap.count)
            snap.count = newest_count;   // a block reset to defaults still counts on
        snap.count++;
        snap.crc = 0;
        snap.crc = image_crc(reinterpret_cast<uint8_t *>(&snap), PARAM_BLOCK_SIZE);
        ssize_t n = mtd_write(&snap, slot_offset((uint32_t)target), PARAM_BLOCK_SIZE);
        if (n != (ssize_t)PARAM_BLOCK_SIZE)
            result = n < 0 ? (int)n : -1;
    }
    if (result == 0) {
        block->count = snap.count;
        block->crc = snap.crc;
        save_retry = false;
        // Only one erase block may hold blocks, so the next wrap never erases the newest.
        uint32_t other = (uint32_t)target < SLOTS_PER_ERASE ? SLOTS_PER_ERASE : 0;
        bool dirty = (uint32_t)target % SLOTS_PER_ERASE == 0;
        for (uint32_t i = other; i < other + SLOTS_PER_ERASE; i++)
            dirty |= slots[i].used;
        if (dirty)
            result = mtd_erase_block(slot_offset(other), MTD_ERASE_SIZE);
    } else {
        save_retry = true;
        log_printf("%s: flash save failed (%d), will retry\n", "save_param_block", result);
    }
    pthread_mutex_unlock(&save_mutex);
    return result;
}

void set_mac_from_serial()
{
    ParamBlock *p = cur_block;
    auto bcd = [](uint32_t v) { return (uint8_t)((v / 10) << 4 | (v % 10)); };
    p->NetworkMACAddr[0] = MAC_PREFIX[0];
    p->NetworkMACAddr[1] = MAC_PREFIX[1];
    p->NetworkMACAddr[2] = MAC_PREFIX[2];
    p->NetworkMACAddr[3] = bcd(serial_number / 10000 % 100);
    p->NetworkMACAddr[4] = bcd(serial_number / 100 % 100);
    p->NetworkMACAddr[5] = bcd(serial_number % 100);
}

static void read_serial_number()
{
    uint32_t words[4] = {};
    if (!mtd_is_open())
        mtd_open();
    if (mtd_read_factory(words) != 0 || (int32_t)words[3] < 0)
        serial_number = 0;
    else
        serial_number = words[3];
}

void load_defaults()
{
    memcpy(cur_block, &param_defaults, sizeof *cur_block);
    read_serial_number();
    set_mac_from_serial();
    validate_params();
}

void check_user_permissions()
{
    ParamBlock *p = cur_block;
    bool admin = false;
    for (UserSlot &u : p->User) {
        if (u.Name[0] == 0)
            memset(u.Password, 0, sizeof u.Password);
        else if (u.Permission >= PERM_ADMIN)
            admin = true;
    }
    if (p->GuestPermission != PERM_ADMIN && !admin) {
        log_printf("%s: no users are admin, forcing guest\n", "check_user_permissions");
        p->GuestPermission = PERM_ADMIN;
    }
}

void validate_params()
{
    param_table_validate();
    check_user_permissions();
    ParamBlock *p = cur_block;
    if (p->Audio.SampleRate != 44100 && p->Audio.SampleRate != 48000)
        p->Audio.SampleRate = 48000;
    if (p->NetworkHostname[0] == 0)
        snprintf(p->NetworkHostname, sizeof p->NetworkHostname, "k%d-%06u", (int)PARAM_MODEL_NUMBER,
                 serial_number % 1000000u);
}

void factory_reset()
{
    ParamBlock *p = cur_block;
    uint8_t mode = p->NetworkMode;
    char hostname[sizeof p->NetworkHostname];
    uint8_t mac[sizeof p->NetworkMACAddr];
    ParamNet net[2];
    uint32_t packet = p->UDPPacketSize;
    memcpy(hostname, p->NetworkHostname, sizeof hostname);
    memcpy(mac, p->NetworkMACAddr, sizeof mac);
    memcpy(net, p->Net, sizeof net);
    memcpy(p, &param_defaults, sizeof *p);
    p->NetworkMode = mode;
    memcpy(p->NetworkHostname, hostname, sizeof hostname);
    memcpy(p->NetworkMACAddr, mac, sizeof mac);
    memcpy(p->Net, net, sizeof net);
    p->UDPPacketSize = packet;
    validate_params();
}

int init_param(ParamBlock *block)
{
    int button = user_gpio_read(GPIO_BUTTON) == 1;
    cur_block = block;
    load_defaults();
    log_printf("%s: safe_boot=%d btn=%d\n", "init_param", safe_boot, button);
    if (safe_boot && button) {
        log_printf("using default params due to button press\n");
        user_gpio_write(GPIO_LED_ACTIVITY, 0);
        user_gpio_write(GPIO_LED_ERROR, 0);
        for (int i = 0; i < 25; i++) {
            user_gpio_write(GPIO_LED_ACTIVITY, 1);
            user_gpio_write(GPIO_LED_ERROR, 1);
            sleep_ms(100);
            user_gpio_write(GPIO_LED_ACTIVITY, 0);
            user_gpio_write(GPIO_LED_ERROR, 0);
            sleep_ms(100);
        }
        save_param_block(block);
        return 0;
    }
    if (user_gpio_read(GPIO_DIP_DEFAULTS) == 1) {
        log_printf("DIP switch set to default params\n");
        save_param_block(block);
        return 0;
    }
    int result = 0;
    if (get_cur_param_block(block) != 0) {
        log_printf("loading default params due to checksum error\n");
        load_defaults();
        result = -1;
    }
    validate_params();
    static const uint8_t zero_mac[6] = {};
    if (memcmp(block->NetworkMACAddr, zero_mac, sizeof zero_mac) == 0)
        set_mac_from_serial();
    return result;
}
