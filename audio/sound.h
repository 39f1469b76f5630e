#pragma once

void *soundThrFxn(void *arg);
