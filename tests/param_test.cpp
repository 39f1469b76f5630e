// The settings block in the flash log: layout, CRC, slot rotation, power cuts, older layouts,
// validation and start-up choices.
#include "core/board.h"
#include "core/crc32.h"
#include "core/mtd.h"
#include "core/param.h"
#include "platform/platform.h"
#include "testutil.h"

#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t LOG_BYTES = PARAM_LOG_END - PARAM_LOG_START;

void flash_ready()
{
    test_board_dir();
    platform_init();
    platform_flash_cut_after(-1);
    if (!mtd_is_open()) {
        ASSERT_EQ(mtd_open(), 0);
    }
}

void erase_log()
{
    flash_ready();
    ASSERT_EQ(mtd_erase_block(PARAM_LOG_START, LOG_BYTES), 0);
}

std::vector<uint8_t> read_log()
{
    std::vector<uint8_t> v(LOG_BYTES);
    EXPECT_EQ(mtd_read(v.data(), PARAM_LOG_START, LOG_BYTES), (ssize_t)LOG_BYTES);
    return v;
}

void write_log(const std::vector<uint8_t> &image)
{
    erase_log();
    ASSERT_EQ(mtd_write(image.data(), PARAM_LOG_START, image.size()), (ssize_t)image.size());
}

uint32_t slot_word(uint32_t slot_offset, uint32_t at)
{
    uint32_t w = 0;
    mtd_read(&w, slot_offset + at, 4);
    return w;
}

bool region_erased(uint32_t offset, uint32_t length)
{
    std::vector<uint8_t> v(length);
    mtd_read(v.data(), offset, length);
    for (uint8_t b : v)
        if (b != 0xFF)
            return false;
    return true;
}

// Writes an image of `size` bytes with a correct CRC straight into a slot.
void put_raw_block(uint32_t slot, std::vector<uint8_t> image, bool good_crc = true)
{
    uint32_t size = (uint32_t)image.size();
    memcpy(image.data(), &size, 4);
    memset(image.data() + 4, 0, 4);
    uint32_t crc = crc32_mpeg2(image.data(), image.size());
    if (!good_crc)
        crc ^= 1;
    memcpy(image.data() + 4, &crc, 4);
    ASSERT_EQ(mtd_write(image.data(), slot, image.size()), (ssize_t)image.size());
}

ParamBlock defaults_block()
{
    ParamBlock b;
    memcpy(&b, &param_defaults, sizeof b);
    return b;
}

// The settings part of a block, without the save bookkeeping.
bool same_settings(const ParamBlock &a, const ParamBlock &b)
{
    return memcmp(reinterpret_cast<const uint8_t *>(&a) + 12, reinterpret_cast<const uint8_t *>(&b) + 12,
                  PARAM_BLOCK_SIZE - 12) == 0;
}

} // namespace

TEST(ParamLayout, DefaultsImageHoldsTheStoredFormat)
{
    const uint8_t *raw = reinterpret_cast<const uint8_t *>(&param_defaults);
    EXPECT_EQ(param_defaults.size, 1704u);
    EXPECT_EQ(param_defaults.crc, 0u);
    EXPECT_EQ(param_defaults.count, 0u);
    const uint8_t addr[4] = {192, 168, 24, 53};
    EXPECT_EQ(memcmp(raw + 52, addr, 4), 0);            // network order in memory
    EXPECT_EQ(raw[1580] | raw[1581] << 8, 8554);         // RTSP port, little-endian
    EXPECT_EQ(raw[138], 1);                              // reserved byte stored as 1
    EXPECT_EQ(raw[334], 1);
    EXPECT_EQ(raw[100] | raw[101] << 8, 1234);
    EXPECT_EQ(param_defaults.Video[1].StreamMode, 3);
    EXPECT_EQ(param_defaults.Display.Standard, 5);
    for (const UserSlot &u : param_defaults.User)
        EXPECT_EQ(u.Permission, 5u);
}

TEST(ParamStore, EmptyLogHasNoBlockAndFirstSaveUsesFirstSlot)
{
    erase_log();
    ParamBlock b = defaults_block();
    EXPECT_EQ(get_cur_param_block(&b), -1);
    ASSERT_EQ(save_param_block(&b), 0);
    EXPECT_EQ(slot_word(0x20000, 0), 1704u);
    EXPECT_EQ(b.count, 1u);
    EXPECT_TRUE(region_erased(0x40000, 0x20000));
    ParamBlock loaded{};
    ASSERT_EQ(get_cur_param_block(&loaded), 0);
    EXPECT_EQ(memcmp(&loaded, &b, sizeof b), 0);
}

TEST(ParamStore, UnchangedBlockIsNotWrittenAgain)
{
    erase_log();
    ParamBlock b = defaults_block();
    ASSERT_EQ(save_param_block(&b), 0);
    ASSERT_EQ(save_param_block(&b), 0);
    EXPECT_EQ(b.count, 1u);
    EXPECT_TRUE(region_erased(0x22000, 0x2000));
    b.UDP_TTL = 9;
    ASSERT_EQ(save_param_block(&b), 0);
    EXPECT_EQ(b.count, 2u);
    EXPECT_EQ(slot_word(0x22000, 8), 2u);
}

TEST(ParamStore, SlotsRotateThroughBothEraseBlocks)
{
    erase_log();
    ParamBlock b = defaults_block();
    for (uint32_t n = 1; n <= 40; n++) {
        b.AlarmTimeout = n;
        ASSERT_EQ(save_param_block(&b), 0) << n;
        uint32_t slot = 0x20000 + ((n - 1) % 32) * 0x2000;
        EXPECT_EQ(slot_word(slot, 8), n) << "save " << n;
        // Only the erase block being filled holds blocks.
        uint32_t other = slot < 0x40000 ? 0x40000 : 0x20000;
        EXPECT_TRUE(region_erased(other, 0x20000)) << "save " << n;
        ParamBlock loaded{};
        ASSERT_EQ(get_cur_param_block(&loaded), 0);
        EXPECT_EQ(loaded.AlarmTimeout, n);
    }
}

TEST(ParamStore, CorruptNewestSlotFallsBackToThePreviousOne)
{
    erase_log();
    ParamBlock b = defaults_block();
    b.AlarmTimeout = 1;
    ASSERT_EQ(save_param_block(&b), 0);
    b.AlarmTimeout = 2;
    ASSERT_EQ(save_param_block(&b), 0);
    uint8_t zero = 0;
    ASSERT_EQ(mtd_write(&zero, 0x22000 + 130, 1), 1);   // GOP size bits drop to 0 in the newest
    ParamBlock loaded{};
    ASSERT_EQ(get_cur_param_block(&loaded), 0);
    EXPECT_EQ(loaded.AlarmTimeout, 1u);
}

TEST(ParamStore, FailedSaveIsRetriedAndNeverReportedAsSuccess)
{
    erase_log();
    ParamBlock b = defaults_block();
    b.AlarmTimeout = 1;
    ASSERT_EQ(save_param_block(&b), 0);
    b.AlarmTimeout = 2;
    platform_flash_cut_after(0);
    EXPECT_LT(save_param_block(&b), 0);
    platform_flash_cut_after(-1);
    // Nothing changed since the failure, yet flash still holds the old block: write it now.
    ASSERT_EQ(save_param_block(&b), 0);
    ParamBlock loaded{};
    ASSERT_EQ(get_cur_param_block(&loaded), 0);
    EXPECT_EQ(loaded.AlarmTimeout, 2u);
}

// Cuts the power after every possible number of program and erase steps of one save.
static void power_cut_sweep(uint32_t saves_before)
{
    erase_log();
    ParamBlock b = defaults_block();
    for (uint32_t n = 1; n <= saves_before; n++) {
        b.AlarmTimeout = n;
        ASSERT_EQ(save_param_block(&b), 0);
    }
    const ParamBlock old_block = b;
    const std::vector<uint8_t> image = read_log();
    for (long steps = 0;; steps++) {
        write_log(image);
        ParamBlock next = old_block;
        next.AlarmTimeout = 1000;
        platform_flash_cut_after(steps);
        int result = save_param_block(&next);
        bool completed = platform_flash_cut_remaining() > 0;
        platform_flash_cut_after(-1);
        ParamBlock loaded{};
        int got = get_cur_param_block(&loaded);
        if (saves_before == 0 && result != 0) {
            // Nothing valid existed before: the defaults are all there is, or the new block.
            EXPECT_TRUE(got == -1 || loaded.AlarmTimeout == 1000u) << "steps " << steps;
        } else {
            ASSERT_EQ(got, 0) << "steps " << steps;
            EXPECT_TRUE(same_settings(loaded, old_block) || same_settings(loaded, next)) << "steps " << steps;
        }
        if (result == 0) {
            EXPECT_EQ(loaded.AlarmTimeout, 1000u) << "reported success at steps " << steps;
        }
        // After the power returns, the next save lands and wins.
        if (result != 0) {
            ASSERT_EQ(save_param_block(&next), 0);
            ParamBlock after{};
            ASSERT_EQ(get_cur_param_block(&after), 0);
            EXPECT_EQ(after.AlarmTimeout, 1000u) << "retry after steps " << steps;
        }
        if (completed)
            break;
        ASSERT_LT(steps, 200);
    }
}

TEST(ParamStore, PowerCutSweepOnEmptyLog) { power_cut_sweep(0); }
TEST(ParamStore, PowerCutSweepMidBlock) { power_cut_sweep(5); }
TEST(ParamStore, PowerCutSweepIntoSecondEraseBlock) { power_cut_sweep(16); }
TEST(ParamStore, PowerCutSweepAtWrap) { power_cut_sweep(32); }

TEST(ParamStore, BlockReadAmidWritesStillCarriesItsCrc)
{
    erase_log();
    ParamBlock b = defaults_block();
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        unsigned i = 0;
        while (!stop.load()) {
            memset(b.NetworkTimeServer, 'a' + i % 26, 40);
            i++;
        }
    });
    for (uint32_t n = 1; n <= 15; n++) {
        __atomic_store_n(&b.AlarmTimeout, n, __ATOMIC_RELAXED);
        EXPECT_EQ(save_param_block(&b), 0);
    }
    stop = true;
    writer.join();
    // Every slot written must be a valid block.
    std::vector<uint8_t> log = read_log();
    for (uint32_t s = 0; s < 15; s++) {
        const uint8_t *slot = log.data() + s * 0x2000;
        uint32_t crc;
        memcpy(&crc, slot + 4, 4);
        std::vector<uint8_t> copy(slot, slot + 1704);
        memset(copy.data() + 4, 0, 4);
        EXPECT_EQ(crc32_mpeg2(copy.data(), copy.size()), crc) << "slot " << s;
    }
}

TEST(ParamStore, NewerBuildsLargerBlockIsTruncatedOnlyWithItsCrc)
{
    erase_log();
    std::vector<uint8_t> big(2000, 0);
    memcpy(big.data(), &param_defaults, 1704);
    big[29] = 'n';   // hostname "n"
    big[30] = 0;
    put_raw_block(0x20000, big);
    ParamBlock loaded{};
    ASSERT_EQ(get_cur_param_block(&loaded), 0);
    EXPECT_EQ(loaded.size, 1704u);
    EXPECT_STREQ(loaded.NetworkHostname, "n");

    erase_log();
    put_raw_block(0x20000, big, false);
    EXPECT_EQ(get_cur_param_block(&loaded), -1);

    // A size beyond the slot can never be checked.
    erase_log();
    uint32_t huge[3] = {0x10000, 0, 5};
    ASSERT_EQ(mtd_write(huge, 0x20000, sizeof huge), (ssize_t)sizeof huge);
    EXPECT_EQ(get_cur_param_block(&loaded), -1);
}

// Old layout image from named fields at their old offsets.
struct OldField {
    uint32_t old_offset, new_offset, width;
};

static std::vector<uint8_t> old_image(uint32_t size, const std::vector<OldField> &fields, const uint8_t *values)
{
    std::vector<uint8_t> img(size, 0);
    for (const OldField &f : fields)
        memcpy(img.data() + f.old_offset, values + f.new_offset, f.width);
    return img;
}

TEST(ParamConvert, EveryOlderSizeLoadsAndGainsDefaults)
{
    ParamBlock want = defaults_block();
    strcpy(want.NetworkHostname, "oldbox");
    want.Net[0].Addr = 0x0101a8c0;
    want.Video[0].BitRate = 3000000;
    const uint8_t *w = reinterpret_cast<const uint8_t *>(&want);
    // Fields every older layout kept in place.
    std::vector<OldField> early = {{29, 29, 20}, {52, 52, 4}, {124, 124, 4}};
    for (uint32_t size : {1540u, 1544u, 1548u, 1552u, 1556u, 1564u, 1568u, 1572u, 1576u, 1660u, 1668u}) {
        erase_log();
        std::vector<uint8_t> img = old_image(size, early, w);
        // Fields newer than every old layout would read as zero if not defaulted.
        put_raw_block(0x20000, img);
        ParamBlock loaded{};
        ASSERT_EQ(get_cur_param_block(&loaded), 0) << size;
        EXPECT_EQ(loaded.size, 1704u);
        EXPECT_STREQ(loaded.NetworkHostname, "oldbox") << size;
        EXPECT_EQ(loaded.Net[0].Addr, want.Net[0].Addr) << size;
        EXPECT_EQ(loaded.Video[0].BitRate, 3000000u) << size;
        EXPECT_EQ(loaded.RTSP_CustomStreamMode, param_defaults.RTSP_CustomStreamMode) << size;
        EXPECT_EQ(loaded.Capture_ColorKiller, 0) << size;
        if (size < 1568) {   // the QP fields came later
            EXPECT_EQ(loaded.Video[0].IntraFrameQP, 23) << size;
        }
        if (size < 1660) {
            EXPECT_EQ(loaded.LogUDPAddr, 0u) << size;
        }
    }
}

TEST(ParamConvert, OldestLayoutMovesFieldsToTheirNewPlaces)
{
    ParamBlock want = defaults_block();
    want.Video[0].H264Level = 31;
    want.Video[1].OSD.X = 77;
    want.Audio.BitRate = 128000;
    want.Capture.Standard = 6;
    want.Display.Standard = 6;
    want.Display.UDPPort = 5004;
    want.Recording.Duration = 4242;
    const uint8_t *w = reinterpret_cast<const uint8_t *>(&want);
    std::vector<OldField> f = {{137, 139, 1}, {332 + 12 - 8 + 0, 344, 4}, {512, 524, 4}, {520, 536, 1},
                               {528, 544, 1}, {530, 546, 2}, {1520, 1536, 4}};
    // Video[1].OSD.X: new 344 lies in 340-519 which came from 332-511, so old 336.
    f[1].old_offset = 336;
    erase_log();
    put_raw_block(0x20000, old_image(1540, f, w));
    ParamBlock loaded{};
    ASSERT_EQ(get_cur_param_block(&loaded), 0);
    EXPECT_EQ(loaded.Video[0].H264Level, 31);
    EXPECT_EQ(loaded.Video[1].OSD.X, 77u);
    EXPECT_EQ(loaded.Audio.BitRate, 128000u);
    EXPECT_EQ(loaded.Capture.Standard, 6);
    EXPECT_EQ(loaded.Display.Standard, 6);
    EXPECT_EQ(loaded.Display.UDPPort, 5004);
    EXPECT_EQ(loaded.Recording.Duration, 4242u);
    EXPECT_EQ(loaded.Video[1].InterPFrameQP, 23);   // not in that layout: default
}

TEST(ParamConvert, UnknownSizeGivesDefaults)
{
    erase_log();
    std::vector<uint8_t> img(1600, 0x11);
    put_raw_block(0x20000, img);
    ParamBlock loaded{};
    ASSERT_EQ(get_cur_param_block(&loaded), 0);
    EXPECT_TRUE(same_settings(loaded, param_defaults));
}

TEST(ParamInit, NoValidBlockLoadsDefaultsWithIdentityFromSerial)
{
    erase_log();
    board_gpio_init();
    EXPECT_LT(init_param(&param_block), 0);
    EXPECT_EQ(param_serial_number(), 100123u);
    EXPECT_STREQ(param_block.NetworkHostname, "k7160-100123");
    EXPECT_EQ(param_block.NetworkMACAddr[3], 0x10);
    EXPECT_EQ(param_block.NetworkMACAddr[4], 0x01);
    EXPECT_EQ(param_block.NetworkMACAddr[5], 0x23);
    EXPECT_TRUE(region_erased(PARAM_LOG_START, LOG_BYTES));   // defaults are not written
}

TEST(ParamInit, StoredBlockIsLoadedAndDipSwitchChoosesDefaults)
{
    erase_log();
    board_gpio_init();
    ParamBlock b = defaults_block();
    b.UDP_TTL = 7;
    ASSERT_EQ(save_param_block(&b), 0);
    EXPECT_EQ(init_param(&param_block), 0);
    EXPECT_EQ(param_block.UDP_TTL, 7);

    platform_gpio_set_input(GPIO_DIP_DEFAULTS, 1);
    EXPECT_EQ(init_param(&param_block), 0);
    platform_gpio_set_input(GPIO_DIP_DEFAULTS, 0);
    EXPECT_EQ(param_block.UDP_TTL, 64);
    ParamBlock loaded{};
    ASSERT_EQ(get_cur_param_block(&loaded), 0);   // and they were saved
    EXPECT_EQ(loaded.UDP_TTL, 64);
}

TEST(ParamInit, ButtonInSafeBootSavesDefaultsAndBlinks)
{
    erase_log();
    board_gpio_init();
    ParamBlock b = defaults_block();
    b.UDP_TTL = 7;
    ASSERT_EQ(save_param_block(&b), 0);
    safe_boot = 1;
    platform_gpio_set_input(GPIO_BUTTON, 1);
    EXPECT_EQ(init_param(&param_block), 0);
    platform_gpio_set_input(GPIO_BUTTON, 0);
    safe_boot = 0;
    EXPECT_EQ(param_block.UDP_TTL, 64);
    EXPECT_EQ(platform_gpio_output(GPIO_LED_ACTIVITY), 0);   // blinking ends with the LEDs off
    EXPECT_EQ(platform_gpio_output(GPIO_LED_ERROR), 0);
    ParamBlock loaded{};
    ASSERT_EQ(get_cur_param_block(&loaded), 0);
    EXPECT_EQ(loaded.UDP_TTL, 64);
}

TEST(ParamValidate, RepairsWhatAnOldOrDamagedBlockHolds)
{
    memcpy(&param_block, &param_defaults, sizeof param_block);
    ParamBlock *p = get_param_block();
    ASSERT_EQ(p, &param_block);
    p->UDP_TTL = 0;                       // below 1
    p->Capture.Hue = -128;                // below -127
    p->UDP[0].RetryTimeout = 65535;       // fits its field: kept
    p->NetworkTimeServer[0] = (char)0xFF; // erased flash
    memset(p->RTSP_CustomStreamName, 'x', sizeof p->RTSP_CustomStreamName);   // no terminator
    p->Audio.SampleRate = 47000;
    p->Video[0].H264Profile = 55;
    p->Net[0].Mask = 0x00FF00FF;          // 255.0.255.0
    p->Video[1].FrameRate = 200;          // slower than one frame a second
    p->Video[0].FrameRate = 20;           // prints as "1.2", which would set 21
    p->NetworkHostname[0] = 0;
    validate_params();
    EXPECT_EQ(p->UDP_TTL, 64);
    EXPECT_EQ(p->Capture.Hue, 0);
    EXPECT_EQ(p->UDP[0].RetryTimeout, 65535);
    EXPECT_EQ(p->NetworkTimeServer[0], 0);
    EXPECT_EQ(strnlen(p->RTSP_CustomStreamName, 32), 31u);
    EXPECT_EQ(p->Audio.SampleRate, 48000u);
    EXPECT_EQ(p->Video[0].H264Profile, 100);
    EXPECT_EQ(p->Net[0].Mask, param_defaults.Net[0].Mask);
    EXPECT_EQ(p->Video[1].FrameRate, 1);
    EXPECT_EQ(p->Video[0].FrameRate, 20);
    EXPECT_EQ(strncmp(p->NetworkHostname, "k7160-", 6), 0);
}

TEST(ParamValidate, DeviceIsNeverLeftWithoutAnAdministrator)
{
    memcpy(&param_block, &param_defaults, sizeof param_block);
    strcpy(param_block.User[0].Name, "op");
    param_block.User[0].Permission = 3;
    strcpy(param_block.User[1].Password, "orphan");   // no name: cleared
    param_block.GuestPermission = 1;
    check_user_permissions();
    EXPECT_EQ(param_block.GuestPermission, 5u);
    EXPECT_EQ(param_block.User[1].Password[0], 0);

    param_block.User[0].Permission = 5;
    param_block.GuestPermission = 1;
    check_user_permissions();
    EXPECT_EQ(param_block.GuestPermission, 1u);
}

TEST(ParamValidate, FactoryResetKeepsTheNetworkIdentity)
{
    memcpy(&param_block, &param_defaults, sizeof param_block);
    strcpy(param_block.NetworkHostname, "studio");
    param_block.Net[0].Addr = 0x0a0a0a0a;
    param_block.NetworkMode = 2;
    param_block.UDPPacketSize = 1316;
    param_block.NetworkMACAddr[5] = 0x42;
    param_block.UDP_TTL = 3;
    strcpy(param_block.User[0].Name, "x");
    factory_reset();
    EXPECT_STREQ(param_block.NetworkHostname, "studio");
    EXPECT_EQ(param_block.Net[0].Addr, 0x0a0a0a0au);
    EXPECT_EQ(param_block.NetworkMode, 2);
    EXPECT_EQ(param_block.UDPPacketSize, 1316u);
    EXPECT_EQ(param_block.NetworkMACAddr[5], 0x42);
    EXPECT_EQ(param_block.UDP_TTL, 64);
    EXPECT_EQ(param_block.User[0].Name[0], 0);
}

TEST(ParamStore, BlockResetToDefaultsStillWinsOverOlderSaves)
{
    erase_log();
    ParamBlock b = defaults_block();
    for (uint32_t n = 1; n <= 3; n++) {
        b.AlarmTimeout = n;
        ASSERT_EQ(save_param_block(&b), 0);
    }
    ParamBlock fresh = defaults_block();   // count 0, as after a reset
    fresh.UDP_TTL = 99;
    ASSERT_EQ(save_param_block(&fresh), 0);
    ParamBlock loaded{};
    ASSERT_EQ(get_cur_param_block(&loaded), 0);
    EXPECT_EQ(loaded.UDP_TTL, 99);
}

// Sizes an older build accepted and stored, which the encoders refuse: repaired at load.
TEST(ParamValidate, StoredSizeTheEncodersRefuseIsResetAtLoad)
{
    erase_log();
    board_gpio_init();
    ParamBlock b = defaults_block();
    b.Video[0].Width = 161;
    b.Video[0].Height = 120;
    b.Video[1].Width = 800;
    b.Video[1].Height = 1;
    ASSERT_EQ(save_param_block(&b), 0);
    EXPECT_EQ(init_param(&param_block), 0);
    EXPECT_EQ(param_block.Video[0].Width, 640);
    EXPECT_EQ(param_block.Video[0].Height, 480);
    EXPECT_EQ(param_block.Video[1].Width, 640);
    EXPECT_EQ(param_block.Video[1].Height, 480);

    // An older layout carries its sizes at the same place.
    erase_log();
    std::vector<uint8_t> img(1668);
    memcpy(img.data(), &param_defaults, img.size());
    uint16_t w = 3, h = 2;
    memcpy(img.data() + 120, &w, 2);
    memcpy(img.data() + 122, &h, 2);
    put_raw_block(0x20000, img);
    EXPECT_EQ(init_param(&param_block), 0);
    EXPECT_EQ(param_block.Video[0].Width, 640);
    EXPECT_EQ(param_block.Video[0].Height, 480);

    // Sizes that follow the capture, and good ones, are kept.
    erase_log();
    b = defaults_block();
    b.Video[0].Width = 0;
    b.Video[0].Height = 0;
    b.Video[1].Width = 352;
    b.Video[1].Height = 288;
    ASSERT_EQ(save_param_block(&b), 0);
    EXPECT_EQ(init_param(&param_block), 0);
    EXPECT_EQ(param_block.Video[0].Width, 0);
    EXPECT_EQ(param_block.Video[1].Width, 352);
    EXPECT_EQ(param_block.Video[1].Height, 288);
}
