// Mixer routing per board model, output volume, mute and AGC bits, the mixer page and its posted
// fields, on the simulated card.
#include "audio/mixer.h"
#include "audio/sound.h"
#include "core/log.h"
#include "platform/sound.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

// Every control of every element, read through a handle of its own.
struct Snapshot {
    std::map<std::string, long> v;
    long at(const std::string &k) const
    {
        auto it = v.find(k);
        return it == v.end() ? -999 : it->second;
    }
};

Snapshot snapshot()
{
    Snapshot s;
    PlatformMixer *m = nullptr;
    EXPECT_EQ(platform_mixer_open(&m), 0);
    EXPECT_EQ(platform_mixer_attach(m, "hw:0"), 0);
    EXPECT_EQ(platform_mixer_register(m), 0);
    EXPECT_EQ(platform_mixer_load(m), 0);
    const struct {
        PlatformMixerCap cap;
        const char *tag;
    } controls[] = {{MIXER_PLAYBACK_VOLUME, "pvol"}, {MIXER_CAPTURE_VOLUME, "cvol"},
                    {MIXER_PLAYBACK_SWITCH, "psw"}, {MIXER_CAPTURE_SWITCH, "csw"}};
    for (PlatformMixerElem *e = platform_mixer_first(m); e; e = platform_mixer_next(e)) {
        std::string name = platform_mixer_elem_name(e);
        for (auto &c : controls)
            for (int ch = 0; ch < 2; ch++) {
                long v;
                bool cap = c.cap == MIXER_CAPTURE_VOLUME || c.cap == MIXER_CAPTURE_SWITCH;
                if (platform_mixer_elem_has(e, c.cap) && platform_mixer_elem_has_channel(e, cap, ch) &&
                    platform_mixer_elem_get(e, c.cap, ch, &v) == 0)
                    s.v[name + "/" + c.tag + std::to_string(ch)] = v;
            }
        unsigned item;
        if (platform_mixer_elem_is_enumerated(e) && platform_mixer_elem_get_enum_item(e, 0, &item) == 0)
            s.v[name + "/item"] = item;
    }
    platform_mixer_close(m);
    return s;
}

class Mixer : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform_sound_sim_set_present(true);
        mixer_reset();
        platform_sound_sim_reset_mixer();
        log_ring_reset();
    }
    void TearDown() override { mixer_reset(); }

    SoundAttrs input(int in, int left, int right)
    {
        SoundAttrs a = {48000, 2, left, right, SOUND_MODE_INPUT, in, SOUND_IMPL_ALSA, SOUND_PERIOD_FRAMES};
        return a;
    }
};

TEST_F(Mixer, Model7160RoutesLineOrMicAndPresetsTheOutputPath)
{
    audio_status.AudioModel = 7160;
    SoundAttrs a = input(SOUND_INPUT_LINE, 90, 30);
    ASSERT_EQ(setMixerVolume(&a, 1, 0), 0);
    Snapshot s = snapshot();
    EXPECT_EQ(s.at("Left PGA Mixer Line1L/psw0"), 1);
    EXPECT_EQ(s.at("Right PGA Mixer Line1R/psw0"), 1);
    EXPECT_EQ(s.at("Left PGA Mixer Mic3L/psw0"), 0);
    EXPECT_EQ(s.at("Right PGA Mixer Mic3R/psw0"), 0);
    EXPECT_EQ(s.at("PGA/cvol0"), 90);
    EXPECT_EQ(s.at("PGA/cvol1"), 30);
    EXPECT_EQ(s.at("PGA/csw0"), 1);
    EXPECT_EQ(s.at("PGA/csw1"), 1);
    EXPECT_EQ(s.at("AGC/psw0"), 1);
    EXPECT_EQ(s.at("AGC/psw1"), 0);
    EXPECT_EQ(s.at("AGC/pvol0"), 6);   // left gain / 15, on both channels
    EXPECT_EQ(s.at("AGC/pvol1"), 6);
    // The 7160 leaves the multiplexers alone.
    EXPECT_EQ(s.at("Left Line1L Mux/item"), 0);
    // One-time presets of the other elements.
    EXPECT_EQ(s.at("HP_Pwr/psw0"), 0);
    EXPECT_EQ(s.at("HP_Pwr/psw1"), 0);
    EXPECT_EQ(s.at("Mono_Pwr/psw1"), 0);
    EXPECT_EQ(s.at("Line_Pwr/psw0"), 1);
    EXPECT_EQ(s.at("Line/psw1"), 1);
    EXPECT_EQ(s.at("Left Line Mixer DACL1/psw0"), 1);
    EXPECT_EQ(s.at("Left Line Mixer DACR1/psw0"), 0);
    EXPECT_EQ(s.at("Left Line Mixer DACR1/pvol0"), 0);
    EXPECT_EQ(s.at("Right Line Mixer PGAR Bypass/psw0"), 0);
    EXPECT_EQ(s.at("Right Line Mixer PGAL Bypass/pvol0"), 0);
    EXPECT_EQ(s.at("Left HPCOM Mixer DACL1/psw0"), 0);
    EXPECT_EQ(test_log_text().find("Missing essential"), std::string::npos);

    // Mic with the mic route disabled by AGC bit 2: "NONE", every input switch off.
    a = input(SOUND_INPUT_MIC, 90, 30);
    ASSERT_EQ(setMixerVolume(&a, 4, 2), 0);
    s = snapshot();
    EXPECT_EQ(s.at("Left PGA Mixer Mic3L/psw0"), 0);
    EXPECT_EQ(s.at("Right PGA Mixer Mic3R/psw0"), 0);
    EXPECT_EQ(s.at("Left PGA Mixer Line1L/psw0"), 0);
    EXPECT_EQ(s.at("PGA/csw0"), 1);   // mute bit 1: right only
    EXPECT_EQ(s.at("PGA/csw1"), 0);
    EXPECT_NE(test_log_text().find("audio mode NONE mute=2 agc=4"), std::string::npos);

    a = input(SOUND_INPUT_MIC, 10, 10);
    ASSERT_EQ(setMixerVolume(&a, 0, 3), 0);
    s = snapshot();
    EXPECT_EQ(s.at("Left PGA Mixer Mic3L/psw0"), 1);
    EXPECT_EQ(s.at("Right PGA Mixer Mic3R/psw0"), 1);
    EXPECT_EQ(s.at("Right PGA Mixer Line1R/psw0"), 0);
    EXPECT_EQ(s.at("PGA/csw0"), 0);
    EXPECT_EQ(s.at("PGA/csw1"), 0);
}

TEST_F(Mixer, UnknownModelRoutesAsThe7160)
{
    audio_status.AudioModel = 7999;
    SoundAttrs a = input(SOUND_INPUT_LINE, 40, 40);
    ASSERT_EQ(setMixerVolume(&a, 0, 0), 0);
    Snapshot s = snapshot();
    EXPECT_EQ(s.at("Left PGA Mixer Line1L/psw0"), 1);
    EXPECT_EQ(s.at("Right PGA Mixer Line1R/psw0"), 1);
    EXPECT_EQ(s.at("Left PGA Mixer Mic3L/psw0"), 0);
    EXPECT_NE(test_log_text().find("UNKNOWN AudioModel 7999"), std::string::npos);
}

TEST_F(Mixer, The7341FamilySetsMultiplexersAndMixerSwitches)
{
    for (int model : {7341, 7377, 7441, 7477}) {
        SCOPED_TRACE(model);
        mixer_reset();
        platform_sound_sim_reset_mixer();
        audio_status.AudioModel = (uint16_t)model;
        SoundAttrs a = input(SOUND_INPUT_MIC, 60, 60);
        ASSERT_EQ(setMixerVolume(&a, 3, 0), 0);
        Snapshot s = snapshot();
        EXPECT_EQ(s.at("Left Line1L Mux/item"), 1);
        EXPECT_EQ(s.at("Right Line1L Mux/item"), 1);
        EXPECT_EQ(s.at("Left Line1R Mux/item"), 0);
        EXPECT_EQ(s.at("Right Line1R Mux/item"), 0);
        EXPECT_EQ(s.at("Left PGA Mixer Line1L/psw0"), 1);
        EXPECT_EQ(s.at("Right PGA Mixer Line1L/psw0"), 1);
        EXPECT_EQ(s.at("Left PGA Mixer Mic3L/psw0"), 0);
        EXPECT_EQ(s.at("Right PGA Mixer Line1R/psw0"), 0);
        EXPECT_EQ(s.at("AGC/psw0"), 1);
        EXPECT_EQ(s.at("AGC/psw1"), 1);
        EXPECT_EQ(s.at("AGC/pvol0"), 4);

        a = input(SOUND_INPUT_LINE, 60, 60);
        ASSERT_EQ(setMixerVolume(&a, 0, 0), 0);
        s = snapshot();
        EXPECT_EQ(s.at("Left Line1L Mux/item"), 0);
        EXPECT_EQ(s.at("Left PGA Mixer Line1L/psw0"), 0);
        EXPECT_EQ(s.at("Left PGA Mixer Mic3L/psw0"), 1);
        EXPECT_EQ(s.at("Right PGA Mixer Mic3R/psw0"), 1);
        EXPECT_EQ(s.at("Right PGA Mixer Mic3L/psw0"), 0);
    }
    EXPECT_NE(test_log_text().find("xx41/xx77/7423 audio mode LINE"), std::string::npos);
}

TEST_F(Mixer, Model7172TouchesNothing)
{
    audio_status.AudioModel = 7172;
    SoundAttrs a = input(SOUND_INPUT_LINE, 40, 40);
    a.mode = SOUND_MODE_BOTH;
    EXPECT_EQ(setMixerVolume(&a, 3, 3), 0);
    EXPECT_EQ(platform_sound_sim_mixer_writes(), 0);
    EXPECT_EQ(audio_status.mixer, nullptr);
}

TEST_F(Mixer, OutputVolumeScalesPercentToTheElementRange)
{
    audio_status.AudioModel = 7160;
    SoundAttrs a = {48000, 2, 100, 50, SOUND_MODE_OUTPUT, 0, SOUND_IMPL_ALSA, 4096};
    ASSERT_EQ(setMixerVolume(&a, 0, 0), 0);
    Snapshot s = snapshot();
    EXPECT_EQ(s.at("PCM/pvol0"), 127);
    EXPECT_EQ(s.at("PCM/pvol1"), 63);
    EXPECT_EQ(s.at("Line DAC/pvol0"), 118);
    EXPECT_EQ(s.at("Line DAC/pvol1"), 118);
    // Output only: the input side is left as it was.
    EXPECT_EQ(s.at("PGA/cvol0"), 0);
    EXPECT_EQ(s.at("Right PGA Mixer Line1R/psw0"), 0);
}

TEST_F(Mixer, WithoutACardNothingOpens)
{
    platform_sound_sim_set_present(false);
    audio_status.AudioModel = 7160;
    SoundAttrs a = input(SOUND_INPUT_LINE, 40, 40);
    EXPECT_EQ(setMixerVolume(&a, 0, 0), -1);
    char page[1024];
    EXPECT_EQ(mixer_page_render(page, sizeof page), 0u);
    mixer_setting_apply("PGA_0_vol", "5", 1);
    platform_sound_sim_set_present(true);
    EXPECT_EQ(platform_sound_sim_mixer_writes(), 0);
}

// Both sound threads set the mixer; each call must see a whole element table.
// Input and output set-up from two threads share the one mixer handle; ThreadSanitizer sees an
// unguarded access whether or not the two calls happen to overlap in a given run.
TEST(Concurrency, MixerCallersShareOneHandle)
{
    platform_sound_sim_set_present(true);
    mixer_reset();
    platform_sound_sim_reset_mixer();
    log_ring_reset();
    audio_status.AudioModel = 7160;
    auto worker = [](int mode) {
        SoundAttrs a = {48000, 2, 50, 50, mode, SOUND_INPUT_LINE, SOUND_IMPL_ALSA, 1024};
        for (int i = 0; i < 200; i++)
            EXPECT_EQ(setMixerVolume(&a, i & 3, 0), 0);
    };
    std::thread t1(worker, SOUND_MODE_INPUT), t2(worker, SOUND_MODE_OUTPUT);
    t1.join();
    t2.join();
    EXPECT_EQ(test_log_text().find("Missing essential"), std::string::npos);
    Snapshot s = snapshot();
    EXPECT_EQ(s.at("PCM/pvol0"), 63);
    EXPECT_EQ(s.at("Left PGA Mixer Line1L/psw0"), 1);
    mixer_reset();
}

TEST_F(Mixer, PageListsEveryControlOfEveryActiveElement)
{
    std::vector<char> page(65536);
    size_t n = mixer_page_render(page.data(), page.size());
    std::string p(page.data(), n);
    EXPECT_EQ(strlen(page.data()), n);
    EXPECT_EQ(p.rfind("<html><style>table.ref {\n border: 1px solid rgb(195,195,195);\n", 0), 0u);
    EXPECT_NE(p.find("</style><body><form method='POST' action='/mixer_settings'><table class='ref'>\n"),
              std::string::npos);
    EXPECT_NE(p.find("<tr><td>Capture Volume</td><td>PGA\n</td>"
                     "<td>vol0<input type='text' name='PGA_0_vol' value='0' size=4></td>\n"
                     "<td>sw0<input type='text' name='PGA_0_sw' value='1' size=4></td>\n"
                     "<td>vol1<input type='text' name='PGA_1_vol' value='0' size=4></td>\n"
                     "<td>sw1<input type='text' name='PGA_1_sw' value='1' size=4></td>\n</tr>\n"),
              std::string::npos);
    EXPECT_NE(p.find("<tr><td>Playback Volume/Switch</td><td>AGC\n</td>"), std::string::npos);
    EXPECT_NE(p.find("<tr><td>Playback Volume</td><td>PCM\n</td>"), std::string::npos);
    EXPECT_NE(p.find("<tr><td>Playback Switch</td><td>HP_Pwr\n</td>"), std::string::npos);
    EXPECT_NE(p.find("<tr><td>Capture Switch</td><td>Mic3L Bias\n</td>"), std::string::npos);
    EXPECT_NE(p.find("<tr><td>Other mixer</td><td>Left Line1L Mux\n</td></tr>\n"), std::string::npos);
    EXPECT_EQ(p.find("Digital Loopback"), std::string::npos);   // not active
    static const char tail[] = "</table><input type='submit'></form></body></html>\n";
    EXPECT_EQ(p.size() - p.rfind(tail), sizeof tail - 1);

    // A small buffer cuts the page and stays terminated inside it.
    char small[100];
    memset(small, 'x', sizeof small);
    size_t m = mixer_page_render(small, 64);
    EXPECT_EQ(m, 63u);
    EXPECT_EQ(small[63], 0);
    EXPECT_EQ(small[64], 'x');
}

TEST_F(Mixer, PostedFieldChangesOnlyItsControlAndChannel)
{
    Snapshot before = snapshot();
    log_ring_reset();
    mixer_setting_apply("PGA_1_sw", "0", 1);
    Snapshot after = snapshot();
    for (auto &kv : before.v) {
        if (kv.first == "PGA/csw1")
            EXPECT_EQ(after.at(kv.first), 0);
        else
            EXPECT_EQ(after.at(kv.first), kv.second) << kv.first;
    }
    EXPECT_NE(test_log_text().find("setting PGA_1_sw to 0"), std::string::npos);
    // Already off: nothing to set, nothing printed.
    log_ring_reset();
    mixer_setting_apply("PGA_1_sw", "0", 1);
    EXPECT_EQ(test_log_text().find("setting"), std::string::npos);

    mixer_setting_apply("PCM_0_vol", "100junk", 3);   // only "100" is posted
    EXPECT_EQ(snapshot().at("PCM/pvol0"), 100);
    EXPECT_EQ(snapshot().at("PCM/pvol1"), 127);
}

TEST_F(Mixer, BadPostsChangeNothing)
{
    long writes = platform_sound_sim_mixer_writes();
    Snapshot before = snapshot();
    mixer_setting_apply("NoSuchElement_0_vol", "5", 1);
    mixer_setting_apply("PGA_0_vol", "abc", 3);                 // not a number: not 0
    mixer_setting_apply("PGA_0_vol", "", 0);
    std::string longValue(5000, '7');
    mixer_setting_apply("PGA_0_vol", longValue.data(), longValue.size());
    mixer_setting_apply("PGA_31_vol", "5", 1);                  // channels end at 30
    mixer_setting_apply("PGA_10_vol", "5", 1);                  // shares a prefix with PGA_1_vol
    mixer_setting_apply("PGA_0_volume", "5", 1);
    mixer_setting_apply("PGA_0_vol", "500", 3);                 // beyond the element's range
    std::string longName(300, 'P');
    mixer_setting_apply((longName + "_0_vol").c_str(), "5", 1);
    EXPECT_EQ(platform_sound_sim_mixer_writes(), writes);
    Snapshot after = snapshot();
    EXPECT_EQ(after.v, before.v);
}

} // namespace
