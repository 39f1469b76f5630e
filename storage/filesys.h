#pragma once

void fileSysDone();
