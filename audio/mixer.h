// The board codec's mixer: output volume and input routing per board model, and the mixer page
// of the web interface with its posted fields.
#pragma once
#include <cstddef>

struct SoundAttrs;

// attrs: gains, mode and input are used; agc bit 0 left, bit 1 right, bit 2 no mic, bit 3 no
// line; mute bit 0 left, bit 1 right. 0, or -1 when the mixer cannot be opened. Safe to call
// from several threads.
int setMixerVolume(const SoundAttrs *attrs, int agc, int mute);
// Writes the form with every control of every active element; the page's length (at most
// size - 1 characters, NUL-terminated), 0 when the mixer cannot be opened.
size_t mixer_page_render(char *buffer, size_t size);
// One posted field "<element>_<channel>_vol" or "<element>_<channel>_sw"; value is not
// NUL-terminated.
void mixer_setting_apply(const char *name, const char *value, size_t length);

// Forgets the mixer handles (tests: a new card or board model).
void mixer_reset();
