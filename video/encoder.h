#pragma once

void *videoThrFxn(void *arg);
