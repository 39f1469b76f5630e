// The build's identity, shown in the banner, the settings and recorded files.
#pragma once

enum { MODEL_NUMBER = 7160, FIRMWARE_BUILD = 1431 };
