// Settings by name: every row's shape, limits, permissions, the setters' own checks, users and
// transport bit rates.
#include "core/param.h"
#include "core/param_table.h"
#include "streams/stream_state.h"
#include "core/quit.h"
#include "core/soc.h"
#include "core/threads.h"
#include "testutil.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

struct ExpectedRow {
    const char *name;
    uint32_t type, group;
    int32_t min, max, step;
    uint32_t read, write;
};

// Every row in table order: type, change group, range, step, read and write level.
const ExpectedRow expected_rows[] = {
    {"GpioAlarmEnabled", 1, 0, 0, 1, 1, 5, 5},
    {"GpioInTrigLevel", 1, 0, 0, 100, 1, 5, 5},
    {"GpioOutDefault", 1, 0, 0, 1, 1, 5, 5},
    {"AlarmTimeout", 1, 0, 0, 3600, 1, 5, 5},
    {"VlockAlarmEnabled", 1, 0, 0, 1, 1, 5, 5},
    {"VlockThreshold", 1, 0, 0, 100, 1, 5, 5},
    {"NetworkMACAddr", 2, 30, 0, 0, 0, 5, 5},
    {"NetworkMode", 1, 30, 0, 2, 1, 5, 5},
    {"NetworkHostname", 0, 30, 0, 0, 0, 5, 5},
    {"Net[0].Addr", 2, 30, 0, 0, 0, 5, 5},
    {"Net[1].Addr", 2, 30, 0, 0, 0, 5, 5},
    {"Net[0].Mask", 2, 30, 0, 0, 0, 5, 5},
    {"Net[1].Mask", 2, 30, 0, 0, 0, 5, 5},
    {"Net[0].Gateway", 2, 30, 0, 0, 0, 5, 5},
    {"Net[1].Gateway", 2, 30, 0, 0, 0, 5, 5},
    {"Net[0].DNS1", 2, 30, 0, 0, 0, 5, 5},
    {"Net[1].DNS1", 2, 30, 0, 0, 0, 5, 5},
    {"Net[0].DNS2", 2, 30, 0, 0, 0, 5, 5},
    {"Net[1].DNS2", 2, 30, 0, 0, 0, 5, 5},
    {"NetworkSpeed", 1, 30, 0, 4, 1, 5, 5},
    {"NetworkTimeServer", 0, 30, 0, 0, 0, 5, 5},
    {"EnableTelnet", 3, 0, 0, 0, 0, 0, 5},
    {"LogUDPAddr", 2, 30, 0, 0, 0, 5, 5},
    {"NetworkDisableMDNS", 1, 30, 0, 1, 1, 5, 5},
    {"UDP[0].StreamID", 1, 8, 1, 5, 1, 1, 4},
    {"UDP[1].StreamID", 1, 9, 1, 5, 1, 1, 4},
    {"UDP[0].StartMode", 1, 8, 0, 1, 1, 1, 4},
    {"UDP[1].StartMode", 1, 9, 0, 1, 1, 1, 4},
    {"UDP[0].StreamMode", 1, 8, 0, 4, 1, 1, 4},
    {"UDP[1].StreamMode", 1, 9, 0, 4, 1, 1, 4},
    {"UDP[0].Addr", 2, 8, 0, 0, 0, 1, 4},
    {"UDP[1].Addr", 2, 9, 0, 0, 0, 1, 4},
    {"UDP[0].Port", 1, 8, 0, 65535, 1, 1, 4},
    {"UDP[1].Port", 1, 9, 0, 65535, 1, 1, 4},
    {"UDP[0].RetryTimeout", 1, 8, 0, 1000000, 1, 1, 4},
    {"UDP[1].RetryTimeout", 1, 9, 0, 1000000, 1, 1, 4},
    {"UDP[0].Status", 3, 0, 0, 0, 0, 1, 0},
    {"UDP[1].Status", 3, 0, 0, 0, 0, 1, 0},
    {"UDP[0].State", 3, 0, 0, 0, 0, 0, 1},
    {"UDP[1].State", 3, 0, 0, 0, 0, 0, 1},
    {"UDPPacketSize", 1, 0, 1, 1500, 1, 1, 4},
    {"UDP_TTL", 1, 0, 1, 255, 1, 1, 4},
    {"UDP_DSCP_ECN", 1, 0, 0, 255, 1, 1, 4},
    {"Video[0].StreamMode", 1, 1, 0, 16, 1, 1, 4},
    {"Video[1].StreamMode", 1, 2, 0, 16, 1, 1, 4},
    {"Video[0].Width", 3, 0, 0, 0, 0, 1, 4},
    {"Video[1].Width", 3, 0, 0, 0, 0, 1, 4},
    {"Video[0].ScaledWidth", 3, 0, 0, 0, 0, 1, 0},
    {"Video[1].ScaledWidth", 3, 0, 0, 0, 0, 1, 0},
    {"Video[0].Height", 3, 0, 0, 0, 0, 1, 4},
    {"Video[1].Height", 3, 0, 0, 0, 0, 1, 4},
    {"Video[0].BitRate", 1, 0, 100000, 20000000, 100000, 1, 4},
    {"Video[0].RateMode", 1, 0, 0, 6, 1, 1, 4},
    {"Video[1].RateMode", 1, 0, 0, 6, 1, 1, 4},
    {"Video[0].Interlaced", 1, 0, 0, 9, 1, 1, 4},
    {"Video[1].Interlaced", 1, 0, 0, 9, 1, 1, 4},
    {"Video[0].Flip", 1, 0, 0, 7, 1, 1, 4},
    {"Video[1].Flip", 1, 0, 0, 7, 1, 1, 4},
    {"Video[0].GOPSize", 1, 0, 1, 255, 1, 1, 4},
    {"Video[1].GOPSize", 1, 0, 1, 255, 1, 1, 4},
    {"Video[0].FrameRate", 2, 0, 0, 0, 0, 1, 4},
    {"Video[1].FrameRate", 2, 0, 0, 0, 0, 1, 4},
    {"Video[0].JPEGQuality", 1, 0, 2, 97, 1, 1, 4},
    {"Video[1].JPEGQuality", 1, 0, 2, 97, 1, 1, 4},
    {"Video[0].AspectRatio", 2, 1, 0, 0, 0, 1, 4},
    {"Video[1].AspectRatio", 2, 2, 0, 0, 0, 1, 4},
    {"Video[0].RTMPAudio", 1, 0, 0, 1, 1, 1, 4},
    {"Video[1].RTMPAudio", 1, 0, 0, 1, 1, 1, 4},
    {"Video[0].H264Level", 2, 0, 0, 0, 0, 1, 4},
    {"Video[1].H264Level", 2, 1, 0, 0, 0, 1, 4},
    {"Video[0].H264Profile", 2, 0, 0, 0, 0, 1, 4},
    {"Video[1].H264Profile", 2, 1, 0, 0, 0, 1, 4},
    {"Video[0].IntraFrameQP", 1, 1, 0, 51, 1, 1, 4},
    {"Video[1].IntraFrameQP", 1, 2, 0, 51, 1, 1, 4},
    {"Video[0].InterPFrameQP", 1, 1, 0, 51, 1, 1, 4},
    {"Video[1].InterPFrameQP", 1, 2, 0, 51, 1, 1, 4},
    {"Video[0].OSD.X", 1, 28, 0, 720, 1, 1, 4},
    {"Video[1].OSD.X", 1, 27, 0, 720, 1, 1, 4},
    {"Video[0].OSD.Y", 1, 28, 0, 576, 1, 1, 4},
    {"Video[1].OSD.Y", 1, 27, 0, 576, 1, 1, 4},
    {"Video[0].OSD.Message", 0, 0, 0, 0, 0, 1, 4},
    {"Video[1].OSD.Message", 0, 0, 0, 0, 0, 1, 4},
    {"Video[0].OSD.DateFormat", 1, 0, 0, 15, 1, 1, 4},
    {"Video[1].OSD.DateFormat", 1, 0, 0, 15, 1, 1, 4},
    {"Video[0].OSD.TimeFormat", 1, 0, 0, 6, 1, 1, 4},
    {"Video[1].OSD.TimeFormat", 1, 0, 0, 6, 1, 1, 4},
    {"Video[0].OSD.Transparent", 1, 0, 0, 5, 1, 1, 4},
    {"Video[1].OSD.Transparent", 1, 0, 0, 5, 1, 1, 4},
    {"Video[0].OSD.Enabled", 1, 0, 0, 2, 1, 1, 4},
    {"Video[1].OSD.Enabled", 1, 0, 0, 2, 1, 1, 4},
    {"Video[0].Resolution", 3, 0, 0, 0, 0, 1, 4},
    {"Video[1].Resolution", 3, 0, 0, 0, 0, 1, 4},
    {"Video[1].BitRate", 1, 0, 100000, 6000000, 100000, 1, 4},
    {"Audio.VolumeLeft", 1, 0, 0, 119, 1, 1, 4},
    {"Audio.VolumeRight", 1, 0, 0, 119, 1, 1, 4},
    {"Audio.AGCLeft", 1, 0, 0, 1, 1, 1, 4},
    {"Audio.AGCRight", 1, 0, 0, 1, 1, 1, 4},
    {"Audio.Input", 1, 0, 0, 1, 1, 1, 4},
    {"Audio.OutVolumeLeft", 1, 0, 0, 100, 1, 1, 4},
    {"Audio.OutVolumeRight", 1, 0, 0, 100, 1, 1, 4},
    {"Audio.Channels", 1, 0, 1, 2, 1, 1, 4},
    {"Audio.MonoMode", 1, 0, 0, 2, 1, 1, 4},
    {"Audio.BitRate", 1, 0, 32000, 512000, 16000, 1, 4},
    {"Audio.SampleRate", 1, 0, 44100, 48000, 3900, 1, 4},
    {"Audio.Mute", 1, 0, 0, 3, 1, 1, 4},
    {"Capture.Standard", 2, 0, 0, 0, 0, 1, 4},
    {"Capture.Interpolate", 1, 0, 0, 1, 1, 1, 4},
    {"Capture.Brightness", 1, 24, 0, 255, 1, 1, 4},
    {"Capture.Saturation", 1, 24, 0, 255, 1, 1, 4},
    {"Capture.Hue", 1, 24, -127, 127, 1, 1, 4},
    {"Capture.Contrast", 1, 24, 0, 255, 1, 1, 4},
    {"MotionVectorStream", 1, 0, 0, 2, 1, 1, 4},
    {"VideoLock", 3, 0, 0, 0, 0, 1, 0},
    {"VideoCounter", 3, 0, 0, 0, 0, 0, 4},
    {"Capture_ChromaFilter", 1, 0, 0, 7, 1, 1, 4},
    {"Capture_LumaFilter", 1, 0, 0, 3, 1, 1, 4},
    {"Capture_CombFilter", 1, 0, 0, 3, 1, 1, 4},
    {"Capture_AutoGain", 1, 0, 0, 3, 1, 1, 4},
    {"Capture_AutoBrightness", 1, 0, 0, 3, 1, 1, 4},
    {"Capture_ColorKiller", 1, 0, 0, 3, 1, 1, 4},
    {"Display.StreamFormat", 1, 3, 0, 16, 1, 1, 4},
    {"Display.StartMode", 1, 0, 0, 1, 1, 1, 4},
    {"Display.DisplayMode", 1, 23, 0, 6, 1, 1, 4},
    {"Display.UDPPort", 1, 3, 0, 65535, 1, 1, 4},
    {"Display.URL", 0, 3, 0, 0, 0, 1, 4},
    {"Display.Standard", 2, 0, 0, 0, 0, 1, 4},
    {"Display.State", 3, 0, 0, 0, 0, 0, 1},
    {"Display.Status", 3, 0, 0, 0, 0, 1, 0},
    {"Display.OSD.X", 1, 26, 0, 720, 1, 1, 4},
    {"Display.OSD.Y", 1, 26, 0, 576, 1, 1, 4},
    {"Display.OSD.Message", 0, 26, 0, 0, 0, 1, 4},
    {"Display.OSD.DateFormat", 1, 26, 0, 15, 1, 1, 4},
    {"Display.OSD.TimeFormat", 1, 26, 0, 6, 1, 1, 4},
    {"Display.OSD.Transparent", 1, 26, 0, 3, 1, 1, 4},
    {"Display.OSD.Enabled", 1, 26, 0, 2, 1, 1, 4},
    {"Display.Colorbars", 3, 0, 0, 0, 0, 1, 4},
    {"Display.Passthru", 3, 0, 0, 0, 0, 1, 4},
    {"User[0].Name", 0, 0, 0, 0, 0, 5, 5},
    {"User[1].Name", 0, 0, 0, 0, 0, 5, 5},
    {"User[2].Name", 0, 0, 0, 0, 0, 5, 5},
    {"User[3].Name", 0, 0, 0, 0, 0, 5, 5},
    {"User[4].Name", 0, 0, 0, 0, 0, 5, 5},
    {"User[5].Name", 0, 0, 0, 0, 0, 5, 5},
    {"User[6].Name", 0, 0, 0, 0, 0, 5, 5},
    {"User[7].Name", 0, 0, 0, 0, 0, 5, 5},
    {"User[8].Name", 0, 0, 0, 0, 0, 5, 5},
    {"User[9].Name", 0, 0, 0, 0, 0, 5, 5},
    {"User[0].Permission", 1, 25, 1, 5, 1, 5, 5},
    {"User[1].Permission", 1, 25, 1, 5, 1, 5, 5},
    {"User[2].Permission", 1, 25, 1, 5, 1, 5, 5},
    {"User[3].Permission", 1, 25, 1, 5, 1, 5, 5},
    {"User[4].Permission", 1, 25, 1, 5, 1, 5, 5},
    {"User[5].Permission", 1, 25, 1, 5, 1, 5, 5},
    {"User[6].Permission", 1, 25, 1, 5, 1, 5, 5},
    {"User[8].Permission", 1, 25, 1, 5, 1, 5, 5},
    {"User[9].Permission", 1, 25, 1, 5, 1, 5, 5},
    {"User[7].Permission", 1, 25, 0, 5, 1, 5, 5},
    {"GuestPermission", 1, 25, 0, 6, 1, 5, 5},
    {"User[0].Delete", 3, 25, 0, 0, 0, 0, 5},
    {"User[1].Delete", 3, 25, 0, 0, 0, 0, 5},
    {"User[2].Delete", 3, 25, 0, 0, 0, 0, 5},
    {"User[3].Delete", 3, 25, 0, 0, 0, 0, 5},
    {"User[4].Delete", 3, 25, 0, 0, 0, 0, 5},
    {"User[5].Delete", 3, 25, 0, 0, 0, 0, 5},
    {"User[6].Delete", 3, 25, 0, 0, 0, 0, 5},
    {"User[7].Delete", 3, 25, 0, 0, 0, 0, 5},
    {"User[8].Delete", 3, 25, 0, 0, 0, 0, 5},
    {"User[9].Delete", 3, 25, 0, 0, 0, 0, 5},
    {"User[0].Password", 3, 25, 0, 0, 0, 0, 5},
    {"User[1].Password", 3, 25, 0, 0, 0, 0, 5},
    {"User[2].Password", 3, 25, 0, 0, 0, 0, 5},
    {"User[3].Password", 3, 25, 0, 0, 0, 0, 5},
    {"User[4].Password", 3, 25, 0, 0, 0, 0, 5},
    {"User[5].Password", 3, 25, 0, 0, 0, 0, 5},
    {"User[6].Password", 3, 25, 0, 0, 0, 0, 5},
    {"User[7].Password", 3, 25, 0, 0, 0, 0, 5},
    {"User[8].Password", 3, 25, 0, 0, 0, 0, 5},
    {"User[9].Password", 3, 25, 0, 0, 0, 0, 5},
    {"RTMP[0].StartMode", 1, 10, 0, 1, 1, 1, 4},
    {"RTMP[1].StartMode", 1, 11, 0, 1, 1, 1, 4},
    {"RTMP[0].URL", 0, 0, 0, 0, 0, 1, 4},
    {"RTMP[1].URL", 0, 0, 0, 0, 0, 1, 4},
    {"GPIO.in", 3, 0, 0, 0, 0, 3, 0},
    {"GPIO.out", 3, 0, 0, 0, 0, 3, 3},
    {"Clock", 3, 0, 0, 0, 0, 5, 5},
    {"FirmwareVersion", 3, 0, 0, 0, 0, 5, 0},
    {"FirmwareBuild", 3, 0, 0, 0, 0, 5, 0},
    {"BootloaderVersion", 3, 0, 0, 0, 0, 5, 0},
    {"FirmwareStatus", 3, 0, 0, 0, 0, 5, 0},
    {"SerialNumber", 3, 0, 0, 0, 0, 5, 5},
    {"CPULoad", 3, 0, 0, 0, 0, 1, 0},
    {"DebugAddr", 3, 0, 0, 0, 0, 5, 5},
    {"DebugData", 3, 0, 0, 0, 0, 5, 5},
    {"Recording.Filename", 0, 0, 0, 0, 0, 1, 4},
    {"Recording.Source", 1, 13, 1, 2, 1, 1, 4},
    {"Recording.StartMode", 1, 13, 0, 255, 1, 1, 4},
    {"Recording.Format", 1, 13, 0, 3, 1, 1, 4},
    {"Recording.DurationMode", 1, 13, 0, 5, 1, 1, 4},
    {"Recording.Duration", 1, 13, 0, 2147483647, 1, 1, 4},
    {"Recording.Segments", 1, 13, 1, 2147483647, 1, 1, 4},
    {"Recording.Status", 3, 0, 0, 0, 0, 1, 0},
    {"Recording.State", 3, 0, 0, 0, 0, 0, 3},
    {"Recording.Storage", 3, 0, 0, 0, 0, 1, 0},
    {"Recording.SubDir", 1, 13, 0, 255, 1, 1, 4},
    {"Encode.Status[0]", 3, 0, 0, 0, 0, 1, 0},
    {"Encode.Status[1]", 3, 0, 0, 0, 0, 1, 0},
    {"Serial.BaudRate", 1, 15, 50, 4000000, 1, 1, 4},
    {"Serial.Interval", 1, 15, 1, 1000000, 1, 1, 4},
    {"Serial.StreamID", 1, 15, 1, 9, 1, 1, 4},
    {"Serial.StartMode", 1, 15, 0, 1, 1, 1, 4},
    {"Serial.Status", 3, 0, 0, 0, 0, 1, 0},
    {"Serial.State", 3, 0, 0, 0, 0, 0, 3},
    {"Serial.TCPPort", 1, 15, 0, 65535, 1, 1, 4},
    {"Serial_TCPAddr", 2, 15, 0, 0, 0, 1, 4},
    {"Serial_Parity", 1, 15, 0, 4, 1, 1, 4},
    {"Timestamp", 3, 0, 0, 0, 0, 0, 5},
    {"Timestamp", 3, 0, 0, 0, 0, 5, 0},
    {"Reboot", 3, 0, 0, 0, 0, 0, 5},
    {"CustomClear", 3, 0, 0, 0, 0, 0, 5},
    {"DeveloperMode", 1, 0, 0, 1, 1, 5, 5},
    {"RTSP_Disable", 1, 22, 0, 1, 1, 1, 4},
    {"RTSP_Port", 1, 22, 100, 65535, 1, 1, 4},
    {"RTSP_DisableAuth", 1, 22, 0, 1, 1, 1, 4},
    {"RTSP_CustomStreamName", 0, 22, 0, 0, 0, 1, 4},
    {"RTSP_CustomStreamMode", 1, 22, 0, 5, 1, 1, 4},
    {"BoardModel", 3, 0, 0, 0, 0, 0, 0},
    {"latency_ts_a", 3, 0, 0, 0, 0, 0, 0},
    {"latency_ts_b", 3, 0, 0, 0, 0, 0, 0},
    {"latency_rtsp_a", 3, 0, 0, 0, 0, 0, 0},
    {"latency_rtsp_b", 3, 0, 0, 0, 0, 0, 0},
    {"CustomZipSize", 3, 0, 0, 0, 0, 0, 0},
};

void reset_block()
{
    test_board_dir();
    memcpy(&param_block, &param_defaults, sizeof param_block);
    param_take_changed();
}

std::string get(const char *name)
{
    char buf[256];
    int n = param_get(name, buf, sizeof buf);
    return n < 0 ? std::string("<none>") : std::string(buf, (size_t)n);
}

const char *set(const char *name, const char *text)
{
    return param_set_text(name, text);
}

const ParamDesc *row(const char *name)
{
    for (const ParamDesc *d = param_table; d->name; d++)
        if (strcasecmp(d->name, name) == 0)
            return d;
    return nullptr;
}

} // namespace

TEST(ParamTable, RowsMatchTheirDescriptionInOrder)
{
    size_t n = sizeof expected_rows / sizeof expected_rows[0];
    ASSERT_EQ((size_t)param_count(), n);
    for (size_t i = 0; i < n; i++) {
        const ExpectedRow &e = expected_rows[i];
        const ParamDesc &d = param_table[i];
        SCOPED_TRACE(e.name);
        EXPECT_STREQ(d.name, e.name);
        EXPECT_EQ(d.type, e.type);
        EXPECT_EQ(d.group, e.group);
        EXPECT_EQ(d.min, e.min);
        EXPECT_EQ(d.max, e.max);
        EXPECT_EQ(d.step, e.step);
        EXPECT_EQ(d.read_level, e.read);
        EXPECT_EQ(d.write_level, e.write);
        if (d.type == PARAM_FUNCTION) {
            EXPECT_EQ(d.size, 0u);
        } else {
            EXPECT_GT(d.size, 0u);
            EXPECT_LE(d.offset_or_arg + d.size, PARAM_BLOCK_SIZE);
        }
    }
}

TEST(ParamTable, PermissionLevelsGateReadsAndWritesOfEveryRow)
{
    for (const ExpectedRow &row_e : expected_rows) {
        // The first row of a name decides (Timestamp has two).
        const ExpectedRow *first = &row_e;
        for (const ExpectedRow &o : expected_rows)
            if (strcasecmp(o.name, row_e.name) == 0) {
                first = &o;
                break;
            }
        const ExpectedRow &e = *first;
        SCOPED_TRACE(e.name);
        for (uint32_t level = 0; level <= 6; level++) {
            EXPECT_EQ(param_read_allowed(e.name, level), level >= e.read ? 1 : 0);
            EXPECT_EQ(param_write_allowed(e.name, level), level == 6 ? 0 : (level >= e.write ? 1 : 0));
        }
    }
    EXPECT_EQ(param_read_allowed("NoSuchThing", 5), -1);
    EXPECT_EQ(param_write_allowed("NoSuchThing", 5), -1);
    EXPECT_EQ(param_write_allowed("Video[0].BitRate", 6), 0);   // Demo never writes
    EXPECT_EQ(param_read_allowed("Video[0].BitRate", 6), 1);
    EXPECT_EQ(param_write_allowed("Video[0].BitRate", 3), 0);
    EXPECT_EQ(param_write_allowed("Video[0].BitRate", 4), 1);
}

TEST(ParamTable, EveryIntegerRowTakesItsLimitsAndRefusesBeyond)
{
    for (const ParamDesc *d = param_table; d->name; d++) {
        if (d->type != PARAM_INTEGER)
            continue;
        reset_block();
        SCOPED_TRACE(d->name);
        int32_t lo, hi, step;
        param_limits(d->name, &lo, &hi, &step);
        bool is_signed = d->min < 0;
        auto text = [is_signed](long long v) { return std::to_string(is_signed ? (long long)(int32_t)v : v); };
        EXPECT_EQ(set(d->name, text(lo).c_str()), nullptr);
        EXPECT_EQ(get(d->name), text(lo));
        long long top = (long long)(is_signed ? hi : (uint32_t)hi);
        long long on_grid = top - (top - (is_signed ? lo : (uint32_t)lo)) % step;
        EXPECT_EQ(set(d->name, std::to_string(on_grid).c_str()), nullptr);
        EXPECT_EQ(get(d->name), std::to_string(on_grid));
        ParamBlock before;
        memcpy(&before, &param_block, sizeof before);
        const char *msg = set(d->name, std::to_string(top + 1).c_str());
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(strncmp(msg, is_signed ? "Signed value out of range" : "Unsigned value out of range", 20), 0);
        msg = set(d->name, std::to_string((long long)(is_signed ? lo : (uint32_t)lo) - 1).c_str());
        EXPECT_NE(msg, nullptr);
        EXPECT_NE(set(d->name, "abc"), nullptr);
        EXPECT_NE(set(d->name, "12abc"), nullptr);
        EXPECT_NE(set(d->name, ""), nullptr);
        EXPECT_NE(set(d->name, "99999999999999999999999"), nullptr);
        EXPECT_EQ(memcmp(&before, &param_block, sizeof before), 0);
        // Whatever the row allows fits its field: the value read back is the value set.
        if (d->size < 4) {
            EXPECT_LT(top, 1LL << (8 * d->size));
        }
    }
}

TEST(ParamTable, EveryStringRowHoldsOneLessThanItsField)
{
    for (const ParamDesc *d = param_table; d->name; d++) {
        if (d->type != PARAM_STRING)
            continue;
        reset_block();
        SCOPED_TRACE(d->name);
        std::string fits(d->size - 1, 'a');
        EXPECT_EQ(set(d->name, fits.c_str()), nullptr);
        EXPECT_EQ(get(d->name), fits);
        ParamBlock before;
        memcpy(&before, &param_block, sizeof before);
        EXPECT_STREQ(set(d->name, std::string(d->size, 'b').c_str()), "Value too long");
        EXPECT_STREQ(set(d->name, std::string(d->size + 1, 'b').c_str()), "String value too long");
        EXPECT_EQ(memcmp(&before, &param_block, sizeof before), 0);
        EXPECT_EQ(set(d->name, "short"), nullptr);
        EXPECT_EQ(get(d->name), "short");   // no tail of the longer value left
    }
}

TEST(ParamTable, EveryConvertedRowRoundTripsAndRefusesGarbage)
{
    struct Case {
        const char *name, *value, *read_back;
    };
    const Case cases[] = {
        {"NetworkMACAddr", "00:1B:71:aa:0b:1", "00:1b:71:aa:0b:01"},
        {"Net[0].Addr", "10.1.2.3", "10.1.2.3"},   {"Net[1].Addr", "", "0.0.0.0"},
        {"Net[0].Mask", "255.255.255.0", "255.255.255.0"}, {"Net[1].Mask", "255.255.254.0", "255.255.254.0"},
        {"Net[0].Gateway", "10.1.2.1", "10.1.2.1"}, {"Net[1].Gateway", "10.1.2.1", "10.1.2.1"},
        {"Net[0].DNS1", "10.1.2.1", "10.1.2.1"},    {"Net[1].DNS1", "10.1.2.1", "10.1.2.1"},
        {"Net[0].DNS2", "10.1.2.1", "10.1.2.1"},    {"Net[1].DNS2", "10.1.2.1", "10.1.2.1"},
        {"LogUDPAddr", "127.0.0.1", "127.0.0.1"},   {"UDP[0].Addr", "239.1.1.1", "239.1.1.1"},
        {"UDP[1].Addr", "127.0.0.2", "127.0.0.2"},  {"Serial_TCPAddr", "127.0.0.3", "127.0.0.3"},
        {"Video[0].FrameRate", "15", "15"},          {"Video[1].FrameRate", "5", "5"},
        {"Video[0].AspectRatio", "16:9", "16:9"},   {"Video[1].AspectRatio", "NONE", "None"},
        {"Video[0].H264Level", "31", "31"},         {"Video[1].H264Level", "50", "50"},
        {"Video[0].H264Profile", "66", "66"},       {"Video[1].H264Profile", "77", "77"},
        {"Capture.Standard", "pal", "PAL"},         {"Display.Standard", "AUTO", "AUTO"},
    };
    int converted = 0;
    for (const ParamDesc *d = param_table; d->name; d++)
        converted += d->type == PARAM_CONVERTED;
    EXPECT_EQ(converted, (int)(sizeof cases / sizeof cases[0]));
    for (const Case &c : cases) {
        reset_block();
        SCOPED_TRACE(c.name);
        ASSERT_NE(row(c.name), nullptr);
        EXPECT_EQ(row(c.name)->type, PARAM_CONVERTED);
        EXPECT_EQ(set(c.name, c.value), nullptr);
        EXPECT_EQ(get(c.name), c.read_back);
        ParamBlock before;
        memcpy(&before, &param_block, sizeof before);
        EXPECT_NE(set(c.name, "garbage!"), nullptr);
        EXPECT_NE(set(c.name, "1.2.3.4.5"), nullptr);
        EXPECT_EQ(memcmp(&before, &param_block, sizeof before), 0);
    }
}

TEST(ParamTable, IntegerSetSnapsToTheGridFromTheMinimum)
{
    reset_block();
    EXPECT_EQ(set("video[0].bitrate", "2050000"), nullptr);
    EXPECT_EQ(param_block.Video[0].BitRate, 2000000u);
    EXPECT_EQ(param_take_changed(), 0u);   // no group on this row
    EXPECT_EQ(set("Audio.SampleRate", "47000"), nullptr);
    EXPECT_EQ(param_block.Audio.SampleRate, 44100u);
    EXPECT_EQ(set("Audio.BitRate", " 200000 "), nullptr);   // blanks around a number are fine
    EXPECT_EQ(param_block.Audio.BitRate, 192000u);
}

TEST(ParamTable, SignedRowsAndRangeMessages)
{
    reset_block();
    EXPECT_EQ(set("Capture.Hue", "-127"), nullptr);
    EXPECT_EQ(param_block.Capture.Hue, -127);
    EXPECT_EQ(get("Capture.Hue"), "-127");
    EXPECT_STREQ(set("Capture.Hue", "-128"), "Signed value out of range -128 (-127-127)");
    EXPECT_STREQ(set("UDP_TTL", "0"), "Unsigned value out of range 0 (1-255)");
    EXPECT_STREQ(set("UDP_TTL", "-1"), "Unsigned value out of range -1 (1-255)");
    EXPECT_STREQ(set("UDP_TTL", "4294967297"), "Unsigned value out of range 4294967297 (1-255)");
    EXPECT_EQ(param_block.UDP_TTL, 64);
}

TEST(ParamTable, RangeWiderThanItsFieldIsClampedToTheField)
{
    reset_block();
    int32_t lo = -1, hi = -1, step = -1;
    param_limits("UDP[0].RetryTimeout", &lo, &hi, &step);
    EXPECT_EQ(hi, 65535);
    EXPECT_EQ(set("UDP[0].RetryTimeout", "65535"), nullptr);
    EXPECT_EQ(get("UDP[0].RetryTimeout"), "65535");
    EXPECT_STREQ(set("UDP[0].RetryTimeout", "70000"), "Unsigned value out of range 70000 (0-65535)");
    EXPECT_EQ(param_block.UDP[0].RetryTimeout, 65535);
    lo = hi = step = 7;
    EXPECT_EQ(param_limits("NoSuchThing", &lo, &hi, &step), 0);
    EXPECT_EQ(lo + hi + step, 21);
}

TEST(ParamTable, LengthBoundsTheText)
{
    reset_block();
    EXPECT_EQ(param_set("UDP_TTL", "12345", 2), nullptr);   // only "12" is the value
    EXPECT_EQ(param_block.UDP_TTL, 12);
    EXPECT_EQ(param_set("NetworkHostname", "abcdef", 3), nullptr);
    EXPECT_STREQ(param_block.NetworkHostname, "abc");
    EXPECT_EQ(param_set("Display.Standard", "PALX", 3), nullptr);
    EXPECT_EQ(param_block.Display.Standard, 6);
    // Whole words only: a prefix or an empty text is no standard, no state.
    EXPECT_NE(param_set("Display.Standard", "N", 1), nullptr);
    EXPECT_NE(param_set("Display.Standard", "", 0), nullptr);
    EXPECT_STREQ(param_set("UDP[0].State", "st", 2), "Invalid state");
    EXPECT_STREQ(param_set("UDP[0].State", "", 0), "Invalid state");
    EXPECT_EQ(param_set("UDP[0].State", "STOP", 4), nullptr);
}

TEST(ParamTable, HostnameLengthAndUnknownNames)
{
    reset_block();
    EXPECT_EQ(set("NetworkHostname", "abcdefghijklmnopqrs"), nullptr);
    EXPECT_STREQ(set("NetworkHostname", "abcdefghijklmnopqrst"), "Value too long");
    EXPECT_STREQ(param_block.NetworkHostname, "abcdefghijklmnopqrs");
    EXPECT_STREQ(set("NoSuchThing", "1"), "No such parameter");
    char buf[16];
    EXPECT_EQ(param_get("NoSuchThing", buf, sizeof buf), -1);
    EXPECT_EQ(param_getf(buf, sizeof buf, "UDP[%d].Port", 1), 4);
    EXPECT_STREQ(buf, "1235");
    EXPECT_EQ(param_get("NetworkHostname", buf, 4), 3);   // cut to the buffer
}

TEST(ParamTable, ChangedValuesMarkTheirGroupOnly)
{
    reset_block();
    EXPECT_EQ(set("UDP[1].Port", "1235"), nullptr);   // unchanged
    EXPECT_EQ(param_take_changed(), 0u);
    EXPECT_EQ(set("UDP[1].Port", "5000"), nullptr);
    EXPECT_EQ(set("Capture.Brightness", "1"), nullptr);
    EXPECT_EQ(param_take_changed(), (1u << 9) | (1u << 24));
    EXPECT_EQ(set("User[3].Password", "password"), nullptr);   // the form's placeholder
    EXPECT_EQ(param_block.User[3].Password[0], 0);
    EXPECT_EQ(param_take_changed(), 1u << 25);
    EXPECT_NE(set("UDP[1].Port", "x"), nullptr);
    EXPECT_EQ(param_take_changed(), 0u);
}

TEST(ParamTable, NetmaskMustBeContiguous)
{
    reset_block();
    EXPECT_EQ(set("Net[0].Mask", "255.255.255.0"), nullptr);
    EXPECT_STREQ(set("Net[0].Mask", "255.0.255.0"), "Netmask is formed incorrectly");
    EXPECT_STREQ(set("Net[0].Mask", "255.255.255.255"), "Netmask is formed incorrectly");
    EXPECT_STREQ(set("Net[0].Mask", "255.255.255.1"), "Netmask is formed incorrectly");
    EXPECT_EQ(get("Net[0].Mask"), "255.255.255.0");
    EXPECT_STREQ(set("Net[0].Addr", "10.0.0.256"), "IP address is invalid");
    EXPECT_STREQ(set("Net[0].Addr", "10.0.0"), "IP address is invalid");
}

TEST(ParamTable, MacAddressMessages)
{
    reset_block();
    EXPECT_EQ(set("NetworkMACAddr", " 0 : 1b:71:aa:bb:cc "), nullptr);
    EXPECT_EQ(get("NetworkMACAddr"), "00:1b:71:aa:bb:cc");
    EXPECT_STREQ(set("NetworkMACAddr", "00:1b:71:aa:bb"), "MAC address is formed incorrectly");
    EXPECT_STREQ(set("NetworkMACAddr", "00:1g:71:aa:bb:cc"), "MAC address contains invalid character");
    EXPECT_STREQ(set("NetworkMACAddr", "00:1b:71:aa:bb:100"), "MAC address component out of range 0-ff");
    EXPECT_STREQ(set("NetworkMACAddr", "00:1b:71 aa:bb:cc"), "MAC address missing ':'");
    EXPECT_EQ(get("NetworkMACAddr"), "00:1b:71:aa:bb:cc");
}

TEST(ParamTable, FunctionRowsOfTheVideoChannels)
{
    reset_block();
    EXPECT_EQ(get("Video[0].Resolution"), "640x480");
    EXPECT_EQ(set("Video[0].Resolution", "720X576"), nullptr);
    EXPECT_EQ(param_block.Video[0].Width, 720);
    EXPECT_EQ(param_block.Video[0].Height, 576);
    EXPECT_STREQ(set("Video[0].Resolution", "801x600"), "Invalid width");
    EXPECT_STREQ(set("Video[0].Resolution", "800x601"), "Invalid height");
    EXPECT_STREQ(set("Video[0].Resolution", "800x"), "Invalid resolution");
    EXPECT_EQ(set("Video[1].Resolution", "auto"), nullptr);
    EXPECT_EQ(get("Video[1].Resolution"), "auto");
    EXPECT_EQ(get("Video[1].Width"), "not available");   // follows a capture size not yet known
    EXPECT_EQ(set("Video[0].Width", "320"), nullptr);
    EXPECT_EQ(get("Video[0].Width"), "320");
    EXPECT_STREQ(set("Video[0].Width", "100"), "Invalid value");
    EXPECT_EQ(set("Video[0].AspectRatio", "16:9"), nullptr);
    EXPECT_EQ(get("Video[0].ScaledWidth"), std::to_string(576 * 16 / 9));
    param_block.Capture.Standard = 5;
    EXPECT_EQ(set("Video[0].FrameRate", "10"), nullptr);
    EXPECT_EQ(param_block.Video[0].FrameRate, 3);
    EXPECT_EQ(get("Video[0].FrameRate"), "10");
    EXPECT_STREQ(set("Video[0].FrameRate", "0"), "Invalid value");
    EXPECT_STREQ(set("Video[0].FrameRate", "61"), "Invalid value");
}

// The row, its setter and the option list count from one base: NTSC when chosen or when the
// detected input has fewer than 576 lines.
TEST(ParamTable, FrameRateBaseFollowsTheDetectedInput)
{
    reset_block();
    param_block.Capture.Standard = 0;   // AUTO
    param_capture_size_report(720, 480);
    param_block.Video[0].FrameRate = 1;
    EXPECT_EQ(get("Video[0].FrameRate"), "30");
    const char *ntsc[] = {"30", "15", "10", "6", "5", "4.3", "3", "2", "1"};
    for (const char *v : ntsc) {
        EXPECT_EQ(set("Video[0].FrameRate", v), nullptr) << v;
        EXPECT_EQ(get("Video[0].FrameRate"), v) << "the row names the chosen NTSC rate";
    }
    EXPECT_EQ(set("Video[0].FrameRate", "6"), nullptr);
    EXPECT_EQ(param_block.Video[0].FrameRate, 5);   // 29.97 / 5, not / 4 (7.5 fps)
    param_capture_size_report(720, 576);
    const char *pal[] = {"25", "12.5", "8.3", "5", "4.2", "3.1", "2.1", "1"};
    for (const char *v : pal) {
        EXPECT_EQ(set("Video[0].FrameRate", v), nullptr) << v;
        EXPECT_EQ(get("Video[0].FrameRate"), v) << "the row names the chosen PAL rate";
    }
    param_block.Capture.Standard = 5;   // NTSC chosen, whatever was detected
    param_block.Video[0].FrameRate = 1;
    EXPECT_EQ(get("Video[0].FrameRate"), "30");
    param_block.Capture.Standard = 6;
    param_capture_size_report(720, 480);
    EXPECT_EQ(get("Video[0].FrameRate"), "25");
    EXPECT_EQ(framerate_base(), 25);
    param_capture_size_report(0, 0);
}

TEST(ParamTable, DecimationNeverBelowTheChannelFrameDivisor)
{
    reset_block();
    param_block.Video[0].FrameRate = 3;
    VideoEnv *v = video_env_get(0);
    ParamBlock *saved = v->params;
    v->params = &param_block;
    setVideoDecimate(1);
    EXPECT_EQ(v->decimate, 3);
    setVideoDecimate(5);
    EXPECT_EQ(v->decimate, 5);
    param_block.Video[0].FrameRate = 0;   // counts as 1
    setVideoDecimate(0);
    EXPECT_EQ(v->decimate, 1);
    v->params = saved;
}

TEST(ParamTable, TimestampReadsOnlyByIndex)
{
    reset_block();
    char buf[32];
    EXPECT_EQ(param_get("Timestamp", buf, sizeof buf), -1);
    EXPECT_EQ(set("Timestamp", "900000"), nullptr);
    int second = -1;
    for (int i = 0; i < param_count(); i++)
        if (strcmp(param_name(i), "Timestamp") == 0)
            second = i;
    ASSERT_GT(second, 0);
    EXPECT_EQ(param_is_function(second), 1);
    ASSERT_GT(param_format(second, buf, sizeof buf), 0);
    unsigned long t = strtoul(buf, nullptr, 10);
    EXPECT_GE(t, 900000ul);
    EXPECT_LT(t, 900000ul + 90000ul * 60);
    EXPECT_EQ(param_format(second - 1, buf, sizeof buf), -1);   // the write-only row
    EXPECT_EQ(param_name(param_count()), nullptr);
}

TEST(ParamTable, ClockSetterChecksTheFormat)
{
    reset_block();
    EXPECT_EQ(set("Clock", "2031-02-03 04:05:06"), nullptr);
    std::string now = get("Clock");
    EXPECT_EQ(now.substr(0, 16), "2031-02-03 04:05");
    EXPECT_EQ(set("Clock", "2031-02-03 04:05"), nullptr);
    EXPECT_STREQ(set("Clock", "2031-02-03 04:5"), "Invalid date format");
    EXPECT_STREQ(set("Clock", "2031/02/03 04:05"), "Invalid date format");
    EXPECT_STREQ(set("Clock", "2031-13-03 04:05"), "Invalid date format");
}

TEST(ParamTable, UsersByNameAndPermissionNames)
{
    reset_block();
    EXPECT_EQ(set("User[2].Name", "alice"), nullptr);
    EXPECT_EQ(set("User[2].Permission", "3"), nullptr);
    EXPECT_EQ(set("User[2].Password", "secret"), nullptr);
    EXPECT_STREQ(user_password("alice"), "secret");
    EXPECT_EQ(user_password("Alice"), nullptr);
    EXPECT_EQ(user_password(""), nullptr);
    EXPECT_EQ(user_level("alice"), 3u);
    EXPECT_EQ(user_level("bob"), 0u);
    param_block.GuestPermission = 1;
    EXPECT_EQ(user_level(""), 1u);
    EXPECT_EQ(user_level(nullptr), 1u);
    EXPECT_TRUE(user_has_level("alice", "stream control"));
    EXPECT_FALSE(user_has_level("alice", "Admin"));
    EXPECT_STREQ(permission_name(4), "Stream Config");
    EXPECT_EQ(permission_name(7), nullptr);
    EXPECT_EQ(get_permission("DEMO"), 6u);
    EXPECT_EQ(get_permission("Root"), 0u);
    EXPECT_STREQ(set("User[2].Password", "01234567890123456789"), "Value too long");
    EXPECT_EQ(set("User[2].Password", ""), nullptr);
    EXPECT_STREQ(user_password("alice"), "secret");
    EXPECT_EQ(set("User[2].Delete", "1"), nullptr);
    EXPECT_EQ(user_password("alice"), nullptr);
    EXPECT_STREQ(set("User[7].Permission", "0"), nullptr);
    EXPECT_NE(set("User[6].Permission", "0"), nullptr);
    // A line break or another control character in a name would forge lines in the logs.
    for (const char *name : {"ev\nil", "ev\ril", "\tx", "x\x1b[2J", "x\x7f", "a\xc2\x85" "b", "a\xc2\x9b" "2J",
                             "a\xe2\x80\xa8" "b", "a\xe2\x80\xa9" "b"})
        EXPECT_STREQ(set("User[3].Name", name), "Name holds a control character") << name;
    // Raw C1 bytes, also where a lead byte seems to take them in, and Latin-1.
    for (const char *name : {"a\x85" "b", "a\x9b" "2J", "a\xe0\x9b\x9b" "b", "a\xf8\x85\x85" "b", "a\xf5\x9b\x9b" "2J",
                             "a\xed\xa0\x80", "a\xe2\x82", "caf\xe9"})
        EXPECT_STREQ(set("User[3].Name", name), "Name is not UTF-8") << name;
    EXPECT_STREQ(param_block.User[3].Name, "");
    EXPECT_EQ(set("User[3].Name", "b\xc3\xb6" "b o'neil"), nullptr);
    // Letters whose UTF-8 bytes lie in the C1 range after the lead byte.
    EXPECT_EQ(set("User[4].Name", "\xe2\x82\xac\xc4\x80\xe2\x80\x94\xf0\x9f\x98\x80"), nullptr);
}

TEST(ParamTable, StreamBitrateForTransportPlanning)
{
    reset_block();
    uint32_t v = 2000000 + 192000;
    EXPECT_EQ(stream_bitrate(1, 0), v + v / 188 * 8);    // H.264 + AAC in TS
    EXPECT_EQ(stream_bitrate(2, 2), 2000000u);             // elementary, no audio
    EXPECT_EQ(stream_bitrate(4, 0), 2u * 48000 * 16);      // PCM
    EXPECT_EQ(stream_bitrate(5, 0), 192000u);              // AAC
    EXPECT_EQ(stream_bitrate(7, 2), 0u);
}

TEST(ParamTable, ResolutionChoicesFollowTheCaptureStandard)
{
    reset_block();
    param_block.Capture.Standard = 6;
    EXPECT_STREQ(resolution_mode_table()[1], "720x576");
    param_block.Capture.Standard = 5;
    const char *const *t = resolution_mode_table();
    EXPECT_STREQ(t[1], "720x480");
    int n = 0;
    while (t[n])
        n++;
    EXPECT_EQ(n, 10);
}

TEST(ParamTable, RebootAsksForARebootWithoutWakingSleepers)
{
    reset_block();
    EXPECT_EQ(set("Reboot", "0"), nullptr);
    EXPECT_EQ(quit_requested(), 0);
    EXPECT_EQ(set("Reboot", "1"), nullptr);
    EXPECT_EQ(quit_requested(), QUIT_REBOOT);
    EXPECT_EQ(global_quit.rtsp_control, 1);
}

TEST(ParamTable, LatencyStatisticRestartsWhenRead)
{
    reset_block();
    uint32_t now = hw_clock_90khz();
    latency_stats_add(1, now - 9000);
    latency_stats_add(1, now - 18000);
    std::string s = get("latency_ts_b");
    int mn = -1, mx = -1, avg = -1;
    ASSERT_EQ(sscanf(s.c_str(), "min:%d max:%d avg:%d", &mn, &mx, &avg), 3);
    EXPECT_GE(mn, 100);
    EXPECT_GE(mx, 200);
    EXPECT_GE(avg, 150);
    EXPECT_EQ(get("latency_ts_b"), "min:0 max:0 avg:0 (ms)");   // nothing measured since the read
}

// Every size the settings accept must be one the encoders take (even, 16..800 x 16..600), or
// the channel fails every start from then on.
TEST(ParamTable, SizesAreOnlyThoseTheEncodersTake)
{
    reset_block();
    for (const char *bad : {"161", "159", "801", "1", "2", "799"}) {
        EXPECT_STREQ(set("Video[0].Width", bad), "Invalid value") << bad;
    }
    for (const char *bad : {"121", "119", "601", "1", "599"}) {
        EXPECT_STREQ(set("Video[1].Height", bad), "Invalid value") << bad;
    }
    struct Case {
        const char *text, *message;
    };
    for (const Case &c : {Case{"1x1", "Invalid width"}, Case{"3x2", "Invalid width"}, Case{"800x1", "Invalid height"},
                          Case{"161x121", "Invalid width"}, Case{"160x121", "Invalid height"},
                          Case{"100x600", "Invalid width"}, Case{"800x100", "Invalid height"}}) {
        EXPECT_STREQ(set("Video[0].Resolution", c.text), c.message) << c.text;
    }
    EXPECT_EQ(param_block.Video[0].Width, 640);   // every refusal left the size alone
    EXPECT_EQ(param_block.Video[0].Height, 480);
    EXPECT_EQ(param_block.Video[1].Height, 480);
    for (const char *good : {"160x120", "800x600", "722x578", "0x480", "Auto"}) {
        EXPECT_EQ(set("Video[1].Resolution", good), nullptr) << good;
    }
    EXPECT_EQ(set("Video[0].Width", "0"), nullptr);
    EXPECT_EQ(set("Video[0].Width", "162"), nullptr);
    EXPECT_EQ(set("Video[0].Height", "598"), nullptr);
    EXPECT_EQ(get("Video[0].Resolution"), "162x598");
}

// A NUL inside a value cut it short: an empty admin name, or 45 out of "45<NUL>junk".
TEST(ParamTable, ValueHoldingANulIsRefusedWhole)
{
    reset_block();
    strcpy(param_block.User[0].Name, "admin");
    ParamBlock before;
    memcpy(&before, &param_block, sizeof before);
    param_take_changed();
    struct Case {
        const char *name;
        std::string text;
    };
    const Case cases[] = {
        {"User[0].Name", std::string("\0\0\0", 3)},         {"User[0].Name", std::string("ad\0min", 6)},
        {"Video[0].GOPSize", std::string("45\0junk", 7)},   {"Capture.Hue", std::string("-5\0", 3)},
        {"Video[0].Resolution", std::string("320x240\0", 8)}, {"Video[0].Width", std::string("320\0", 4)},
        {"Net[0].Addr", std::string("\0", 1)},              {"NetworkMACAddr", std::string("00:11:22:33:44:55\0x", 19)},
        {"User[0].Password", std::string("pw\0", 3)},       {"User[0].Delete", std::string("\0", 1)},
        {"Video[0].FrameRate", std::string("5\0", 2)},      {"Clock", std::string("2024-01-01 00:00\0", 17)},
        {"NetworkHostname", std::string("box\0evil", 8)},
    };
    for (const Case &c : cases) {
        const char *msg = param_set(c.name, c.text.data(), c.text.size());
        EXPECT_NE(msg, nullptr) << c.name;
    }
    EXPECT_STREQ(param_set("Video[0].GOPSize", "45\0junk", 7), "Invalid value");
    EXPECT_STREQ(param_set("Video[0].Resolution", "320x240\0", 8), "Invalid value");
    EXPECT_EQ(memcmp(&before, &param_block, sizeof before), 0);
    EXPECT_EQ(param_take_changed(), 0u);
}
