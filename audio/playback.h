#pragma once

void *soundPlaybackThrFxn(void *arg);
