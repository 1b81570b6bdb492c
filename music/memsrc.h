// A module source over bytes in memory. The host serves the embedded
// module through it; the tools serve a file read into memory.
#pragma once
#include "music/music.h"
#include <cstdint>

struct MemorySource {
    int32_t size;
    int32_t position;    // next byte to read, 0..size
    const uint8_t* data; // not owned
};

// A fresh source over `data`; every open gets its own position.
MemorySource* memsrc_open_bytes(const uint8_t* data, int32_t size);
void memsrc_close(StreamHandle handle);
int32_t memsrc_read(void* buffer, int32_t count, StreamHandle handle);
void memsrc_seek(StreamHandle handle, int32_t offset, uint8_t origin);
int32_t memsrc_tell(StreamHandle handle);
