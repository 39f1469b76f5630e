#pragma once

void *rtpThrFxn(void *arg);
