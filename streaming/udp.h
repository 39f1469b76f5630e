#pragma once

void *udpThrFxn(void *arg);
