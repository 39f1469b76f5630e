#pragma once

void *outputThrFxn(void *arg);
