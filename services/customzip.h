#pragma once

int customzip_load();
