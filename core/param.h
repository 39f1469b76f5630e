// The settings block: one fixed-layout record, kept in memory and appended to a flash log.
// The layout is a storage format shared with every build that ever wrote the log: offsets,
// widths and reserved bytes never move. All integers little-endian; IPv4 addresses are
// uint32 holding the four address bytes in network order (as in in_addr.s_addr).
#pragma once
#include <cstddef>
#include <cstdint>

enum : uint32_t {
    PARAM_BLOCK_SIZE = 1704,
    PARAM_LOG_START = 0x20000,     // two erase blocks of sixteen 8 KiB slots
    PARAM_LOG_SECOND = 0x40000,
    PARAM_LOG_LAST = 0x5E000,
    PARAM_LOG_END = 0x60000,
    PARAM_SLOT_SIZE = 0x2000,
    PARAM_USER_COUNT = 10,
    PARAM_MODEL_NUMBER = 7160,
};

// Handed to the OSD as a unit (video channels 0 and 1, display).
struct OsdSettings {
    uint8_t Enabled;
    uint8_t Transparent;
    uint8_t DateFormat;
    uint8_t TimeFormat;
    uint32_t X;
    uint32_t Y;
    char Message[160];
};

struct ParamNet {
    uint32_t Addr;
    uint32_t Mask;
    uint32_t Gateway;
    uint32_t DNS1;
    uint32_t DNS2;
};

struct ParamUdp {
    uint8_t StreamID;
    uint8_t StartMode;
    uint8_t StreamMode;
    uint8_t reserved;
    uint32_t Addr;
    uint16_t Port;
    uint16_t RetryTimeout;
};

struct ParamVideo {
    uint16_t Width;      // 0 = follow the capture size
    uint16_t Height;     // 0 = follow the capture size
    uint32_t BitRate;
    uint8_t StreamMode;
    uint8_t Flip;
    uint8_t GOPSize;
    uint8_t FrameRate;   // frame divisor of the capture rate, 0 counts as 1
    uint8_t JPEGQuality;
    uint8_t AspectRatio; // 0 none, 1 4:3, 2 16:9
    uint8_t RateMode;
    uint8_t Interlaced;
    uint8_t IntraFrameQP;
    uint8_t InterPFrameQP;
    uint8_t reserved_one;   // always stored as 1, named by no setting
    uint8_t H264Level;
    uint8_t H264Profile;
    uint8_t RTMPAudio;
    uint8_t reserved[2];
    OsdSettings OSD;
};

struct ParamAudio {
    uint8_t VolumeLeft;
    uint8_t VolumeRight;
    uint8_t AGCLeft;
    uint8_t AGCRight;
    uint8_t Input;
    uint8_t OutVolumeLeft;
    uint8_t OutVolumeRight;
    uint8_t Channels;
    uint8_t MonoMode;
    uint8_t reserved[3];
    uint32_t BitRate;
    uint32_t SampleRate;
    uint8_t Mute;
    uint8_t reserved2[3];
};

struct ParamCapture {
    uint8_t Standard;    // 0 AUTO, 5 NTSC, 6 PAL
    uint8_t Interpolate;
    uint8_t Brightness;
    uint8_t Saturation;
    int8_t Hue;
    uint8_t Contrast;
    uint8_t reserved[2];
};

struct ParamDisplay {
    uint8_t Standard;
    uint8_t DisplayMode;
    uint16_t UDPPort;
    uint8_t StreamFormat;
    uint8_t StartMode;
    char URL[80];
    uint8_t reserved[2];
    OsdSettings OSD;
};

// An empty name marks an unused slot.
struct UserSlot {
    char Name[20];
    uint32_t Permission;   // PermissionLevel
    char Password[20];
};

struct ParamRtmp {
    uint8_t StartMode;
    char URL[80];
};

struct ParamRecording {
    char Filename[80];
    uint32_t Segments;
    uint32_t Duration;
    uint8_t Source;
    uint8_t DurationMode;
    uint8_t StartMode;
    uint8_t Format;
    uint8_t SubDir;
    uint8_t reserved[3];
};

struct ParamSerial {
    uint32_t BaudRate;
    uint32_t Interval;
    uint8_t StartMode;
    uint8_t StreamID;
    uint8_t reserved[2];
    uint32_t TCPPort;
};

struct ParamBlock {
    uint32_t size;
    uint32_t crc;     // CRC-32/MPEG-2 of the first `size` bytes with this field zero
    uint32_t count;   // number of saves
    uint8_t GpioAlarmEnabled;
    uint8_t GpioInTrigLevel;
    uint8_t GpioOutDefault;
    uint8_t reserved15;
    uint32_t AlarmTimeout;
    uint8_t VlockAlarmEnabled;
    uint8_t VlockThreshold;
    uint8_t NetworkMACAddr[6];
    uint8_t NetworkMode;
    char NetworkHostname[20];
    uint8_t reserved49[3];
    ParamNet Net[2];
    ParamUdp UDP[2];
    uint32_t UDPPacketSize;
    ParamVideo Video[2];
    ParamAudio Audio;
    ParamCapture Capture;
    ParamDisplay Display;
    UserSlot User[PARAM_USER_COUNT];
    uint32_t GuestPermission;
    uint8_t MotionVectorStream;
    ParamRtmp RTMP[2];
    uint8_t reserved1411[41];
    ParamRecording Recording;
    ParamSerial Serial;
    uint8_t reserved1564;
    uint8_t DeveloperMode;
    uint8_t UDP_TTL;
    uint8_t UDP_DSCP_ECN;
    uint8_t Capture_ChromaFilter;
    uint8_t Capture_LumaFilter;
    uint8_t Capture_CombFilter;
    uint8_t reserved1571;
    uint32_t Serial_TCPAddr;
    uint8_t Capture_AutoGain;
    uint8_t Capture_AutoBrightness;
    uint8_t NetworkSpeed;
    uint8_t RTSP_Disable;
    uint16_t RTSP_Port;
    char NetworkTimeServer[80];
    uint8_t Serial_Parity;
    uint8_t Capture_ColorKiller;
    uint32_t LogUDPAddr;
    uint8_t NetworkDisableMDNS;
    uint8_t RTSP_DisableAuth;
    char RTSP_CustomStreamName[32];
    uint8_t RTSP_CustomStreamMode;
    uint8_t reserved1703;
};

#define PARAM_AT(field, off) static_assert(offsetof(ParamBlock, field) == (off), #field)
static_assert(sizeof(ParamBlock) == PARAM_BLOCK_SIZE);
static_assert(sizeof(OsdSettings) == 172);
static_assert(sizeof(ParamVideo) == 196);
static_assert(sizeof(UserSlot) == 44);
PARAM_AT(size, 0);
PARAM_AT(crc, 4);
PARAM_AT(count, 8);
PARAM_AT(GpioAlarmEnabled, 12);
PARAM_AT(GpioInTrigLevel, 13);
PARAM_AT(GpioOutDefault, 14);
PARAM_AT(AlarmTimeout, 16);
PARAM_AT(VlockAlarmEnabled, 20);
PARAM_AT(VlockThreshold, 21);
PARAM_AT(NetworkMACAddr, 22);
PARAM_AT(NetworkMode, 28);
PARAM_AT(NetworkHostname, 29);
PARAM_AT(Net[0].Addr, 52);
PARAM_AT(Net[0].Mask, 56);
PARAM_AT(Net[0].Gateway, 60);
PARAM_AT(Net[0].DNS1, 64);
PARAM_AT(Net[0].DNS2, 68);
PARAM_AT(Net[1].Addr, 72);
PARAM_AT(Net[1].Mask, 76);
PARAM_AT(Net[1].Gateway, 80);
PARAM_AT(Net[1].DNS1, 84);
PARAM_AT(Net[1].DNS2, 88);
PARAM_AT(UDP[0].StreamID, 92);
PARAM_AT(UDP[0].StartMode, 93);
PARAM_AT(UDP[0].StreamMode, 94);
PARAM_AT(UDP[0].Addr, 96);
PARAM_AT(UDP[0].Port, 100);
PARAM_AT(UDP[0].RetryTimeout, 102);
PARAM_AT(UDP[1].StreamID, 104);
PARAM_AT(UDP[1].StartMode, 105);
PARAM_AT(UDP[1].StreamMode, 106);
PARAM_AT(UDP[1].Addr, 108);
PARAM_AT(UDP[1].Port, 112);
PARAM_AT(UDP[1].RetryTimeout, 114);
PARAM_AT(UDPPacketSize, 116);
PARAM_AT(Video[0].Width, 120);
PARAM_AT(Video[0].Height, 122);
PARAM_AT(Video[0].BitRate, 124);
PARAM_AT(Video[0].StreamMode, 128);
PARAM_AT(Video[0].Flip, 129);
PARAM_AT(Video[0].GOPSize, 130);
PARAM_AT(Video[0].FrameRate, 131);
PARAM_AT(Video[0].JPEGQuality, 132);
PARAM_AT(Video[0].AspectRatio, 133);
PARAM_AT(Video[0].RateMode, 134);
PARAM_AT(Video[0].Interlaced, 135);
PARAM_AT(Video[0].IntraFrameQP, 136);
PARAM_AT(Video[0].InterPFrameQP, 137);
PARAM_AT(Video[0].reserved_one, 138);
PARAM_AT(Video[0].H264Level, 139);
PARAM_AT(Video[0].H264Profile, 140);
PARAM_AT(Video[0].RTMPAudio, 141);
PARAM_AT(Video[0].OSD.Enabled, 144);
PARAM_AT(Video[0].OSD.Transparent, 145);
PARAM_AT(Video[0].OSD.DateFormat, 146);
PARAM_AT(Video[0].OSD.TimeFormat, 147);
PARAM_AT(Video[0].OSD.X, 148);
PARAM_AT(Video[0].OSD.Y, 152);
PARAM_AT(Video[0].OSD.Message, 156);
PARAM_AT(Video[1].Width, 316);
PARAM_AT(Video[1].Height, 318);
PARAM_AT(Video[1].BitRate, 320);
PARAM_AT(Video[1].StreamMode, 324);
PARAM_AT(Video[1].Flip, 325);
PARAM_AT(Video[1].GOPSize, 326);
PARAM_AT(Video[1].FrameRate, 327);
PARAM_AT(Video[1].JPEGQuality, 328);
PARAM_AT(Video[1].AspectRatio, 329);
PARAM_AT(Video[1].RateMode, 330);
PARAM_AT(Video[1].Interlaced, 331);
PARAM_AT(Video[1].IntraFrameQP, 332);
PARAM_AT(Video[1].InterPFrameQP, 333);
PARAM_AT(Video[1].reserved_one, 334);
PARAM_AT(Video[1].H264Level, 335);
PARAM_AT(Video[1].H264Profile, 336);
PARAM_AT(Video[1].RTMPAudio, 337);
PARAM_AT(Video[1].OSD.Enabled, 340);
PARAM_AT(Video[1].OSD.Transparent, 341);
PARAM_AT(Video[1].OSD.DateFormat, 342);
PARAM_AT(Video[1].OSD.TimeFormat, 343);
PARAM_AT(Video[1].OSD.X, 344);
PARAM_AT(Video[1].OSD.Y, 348);
PARAM_AT(Video[1].OSD.Message, 352);
PARAM_AT(Audio.VolumeLeft, 512);
PARAM_AT(Audio.VolumeRight, 513);
PARAM_AT(Audio.AGCLeft, 514);
PARAM_AT(Audio.AGCRight, 515);
PARAM_AT(Audio.Input, 516);
PARAM_AT(Audio.OutVolumeLeft, 517);
PARAM_AT(Audio.OutVolumeRight, 518);
PARAM_AT(Audio.Channels, 519);
PARAM_AT(Audio.MonoMode, 520);
PARAM_AT(Audio.BitRate, 524);
PARAM_AT(Audio.SampleRate, 528);
PARAM_AT(Audio.Mute, 532);
PARAM_AT(Capture.Standard, 536);
PARAM_AT(Capture.Interpolate, 537);
PARAM_AT(Capture.Brightness, 538);
PARAM_AT(Capture.Saturation, 539);
PARAM_AT(Capture.Hue, 540);
PARAM_AT(Capture.Contrast, 541);
PARAM_AT(Display.Standard, 544);
PARAM_AT(Display.DisplayMode, 545);
PARAM_AT(Display.UDPPort, 546);
PARAM_AT(Display.StreamFormat, 548);
PARAM_AT(Display.StartMode, 549);
PARAM_AT(Display.URL, 550);
PARAM_AT(Display.OSD.Enabled, 632);
PARAM_AT(Display.OSD.Transparent, 633);
PARAM_AT(Display.OSD.DateFormat, 634);
PARAM_AT(Display.OSD.TimeFormat, 635);
PARAM_AT(Display.OSD.X, 636);
PARAM_AT(Display.OSD.Y, 640);
PARAM_AT(Display.OSD.Message, 644);
PARAM_AT(User[0].Name, 804);
PARAM_AT(User[0].Permission, 824);
PARAM_AT(User[0].Password, 828);
PARAM_AT(User[1].Name, 848);
PARAM_AT(User[2].Name, 892);
PARAM_AT(User[3].Name, 936);
PARAM_AT(User[4].Name, 980);
PARAM_AT(User[5].Name, 1024);
PARAM_AT(User[6].Name, 1068);
PARAM_AT(User[7].Name, 1112);
PARAM_AT(User[7].Permission, 1132);
PARAM_AT(User[7].Password, 1136);
PARAM_AT(User[8].Name, 1156);
PARAM_AT(User[9].Name, 1200);
PARAM_AT(User[9].Permission, 1220);
PARAM_AT(User[9].Password, 1224);
PARAM_AT(GuestPermission, 1244);
PARAM_AT(MotionVectorStream, 1248);
PARAM_AT(RTMP[0].StartMode, 1249);
PARAM_AT(RTMP[0].URL, 1250);
PARAM_AT(RTMP[1].StartMode, 1330);
PARAM_AT(RTMP[1].URL, 1331);
PARAM_AT(Recording.Filename, 1452);
PARAM_AT(Recording.Segments, 1532);
PARAM_AT(Recording.Duration, 1536);
PARAM_AT(Recording.Source, 1540);
PARAM_AT(Recording.DurationMode, 1541);
PARAM_AT(Recording.StartMode, 1542);
PARAM_AT(Recording.Format, 1543);
PARAM_AT(Recording.SubDir, 1544);
PARAM_AT(Serial.BaudRate, 1548);
PARAM_AT(Serial.Interval, 1552);
PARAM_AT(Serial.StartMode, 1556);
PARAM_AT(Serial.StreamID, 1557);
PARAM_AT(Serial.TCPPort, 1560);
PARAM_AT(DeveloperMode, 1565);
PARAM_AT(UDP_TTL, 1566);
PARAM_AT(UDP_DSCP_ECN, 1567);
PARAM_AT(Capture_ChromaFilter, 1568);
PARAM_AT(Capture_LumaFilter, 1569);
PARAM_AT(Capture_CombFilter, 1570);
PARAM_AT(Serial_TCPAddr, 1572);
PARAM_AT(Capture_AutoGain, 1576);
PARAM_AT(Capture_AutoBrightness, 1577);
PARAM_AT(NetworkSpeed, 1578);
PARAM_AT(RTSP_Disable, 1579);
PARAM_AT(RTSP_Port, 1580);
PARAM_AT(NetworkTimeServer, 1582);
PARAM_AT(Serial_Parity, 1662);
PARAM_AT(Capture_ColorKiller, 1663);
PARAM_AT(LogUDPAddr, 1664);
PARAM_AT(NetworkDisableMDNS, 1668);
PARAM_AT(RTSP_DisableAuth, 1669);
PARAM_AT(RTSP_CustomStreamName, 1670);
PARAM_AT(RTSP_CustomStreamMode, 1702);
PARAM_AT(reserved1703, 1703);
#undef PARAM_AT

// Change-group bits (the row's group number) that a successful write sets; taken and
// applied by the commit code.
enum {
    PARAM_GROUP_VIDEO0 = 1,
    PARAM_GROUP_VIDEO1 = 2,
    PARAM_GROUP_DISPLAY_STREAM = 3,
    PARAM_GROUP_UDP0 = 8,
    PARAM_GROUP_UDP1 = 9,
    PARAM_GROUP_RTMP0 = 10,
    PARAM_GROUP_RTMP1 = 11,
    PARAM_GROUP_RECORDING = 13,
    PARAM_GROUP_SERIAL = 15,
    PARAM_GROUP_RTSP = 22,
    PARAM_GROUP_DISPLAY_MODE = 23,
    PARAM_GROUP_CAPTURE = 24,
    PARAM_GROUP_USERS = 25,
    PARAM_GROUP_OSD_DISPLAY = 26,
    PARAM_GROUP_OSD_VIDEO1 = 27,
    PARAM_GROUP_OSD_VIDEO0 = 28,
    PARAM_GROUP_NETWORK = 30,
};

extern ParamBlock param_block;
extern const ParamBlock param_defaults;

// Sets bit `group` (1..31) of the pending mask under its mutex; 0 marks nothing.
void param_mark_changed(int group);
// Returns the pending mask and clears it, atomically.
uint32_t param_take_changed();
uint32_t param_pending();

int init_param(ParamBlock *block);
int get_cur_param_block(ParamBlock *block);
int save_param_block(ParamBlock *block);
void load_defaults();
void validate_params();
void check_user_permissions();
void factory_reset();
void set_mac_from_serial();
ParamBlock *get_param_block();
uint32_t param_serial_number();
void param_serial_number_set(uint32_t serial);
int param_developer_mode(const ParamBlock *block);
