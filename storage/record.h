#pragma once

void *recordThrFxn(void *arg);
