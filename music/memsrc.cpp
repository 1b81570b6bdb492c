#include "music/memsrc.h"

#include <cstdlib>
#include <cstring>

MemorySource* memsrc_open_bytes(const uint8_t* data, int32_t size) {
    MemorySource* src = static_cast<MemorySource*>(calloc(1, sizeof(MemorySource)));
    src->size = size < 0 ? 0 : size;
    src->position = 0;
    src->data = data;
    return src;
}

void memsrc_close(StreamHandle handle) {
    free(handle);
}

int32_t memsrc_read(void* buffer, int32_t count, StreamHandle handle) {
    MemorySource* src = static_cast<MemorySource*>(handle);
    if (count < 0) count = 0;
    // 64-bit sum: position + count must not overflow for huge requests.
    if (int64_t(src->position) + count >= src->size) count = src->size - src->position;
    if (count > 0) memcpy(buffer, src->data + src->position, size_t(count));
    src->position += count;
    return count;
}

void memsrc_seek(StreamHandle handle, int32_t offset, uint8_t origin) {
    MemorySource* src = static_cast<MemorySource*>(handle);
    int64_t position = src->position;
    switch (origin) {
    case STREAM_SEEK_SET:
        position = offset;
        break;
    case STREAM_SEEK_CUR:
        position += offset;
        break;
    case STREAM_SEEK_END:
        position = int64_t(src->size) + offset;
        break;
    default:
        return;
    }
    if (position > src->size) position = src->size;
    if (position < 0) position = 0;
    src->position = int32_t(position);
}

int32_t memsrc_tell(StreamHandle handle) {
    return static_cast<MemorySource*>(handle)->position;
}
