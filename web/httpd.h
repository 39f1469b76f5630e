#pragma once

void *httpdThrFxn(void *arg);
