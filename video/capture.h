#pragma once

void *captureThrFxn(void *arg);
