#pragma once

void *serialThrFxn(void *arg);
void serial_global_quit();
