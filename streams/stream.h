#pragma once

enum { STREAM_STOP = 0, STREAM_START = 1 };
void stream_stop_all();
int stream_set_state(int id, int state);
