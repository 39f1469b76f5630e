#pragma once

void *rtmpThrFxn(void *arg);
void *rtmpServerThrFxn(void *arg);
