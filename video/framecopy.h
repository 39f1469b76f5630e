#pragma once

int dm365mmap_open();
void dm365mmap_close();
