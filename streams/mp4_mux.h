// The MP4 writer as a consumer's container: stream buffer mode when the consumer has a mux
// buffer, file mode (the recording) when it has none.
#pragma once

struct StreamMuxOps;

const StreamMuxOps *mp4_mux_ops();
// Installs the MP4 operations for the consumers' MP4 stream modes.
void mp4_mux_register();
