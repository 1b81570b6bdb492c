// The engine's side of the module stream: one registered set of five
// callbacks and thin wrappers that keep the open handle.
#include "music/engine.h"

#include <cstdlib>

struct StreamCallbacks {
    StreamOpenFn open;
    StreamCloseFn close;
    StreamReadFn read;
    StreamSeekFn seek;
    StreamTellFn tell;
};

static StreamCallbacks stream_callbacks;

void stream_set_callbacks(StreamOpenFn open, StreamCloseFn close, StreamReadFn read,
                          StreamSeekFn seek, StreamTellFn tell) {
    // All or none: a partial set is never registered.
    if (open && close && read && seek && tell)
        stream_callbacks = {open, close, read, seek, tell};
    else
        stream_callbacks = {};
}

bool stream_callbacks_complete() {
    const StreamCallbacks& c = stream_callbacks;
    return c.open && c.close && c.read && c.seek && c.tell;
}

Stream* stream_open(const char* name) {
    if (!stream_callbacks_complete()) return nullptr;
    Stream* stream = static_cast<Stream*>(calloc(1, sizeof(Stream)));
    stream->handle = stream_callbacks.open(name);
    if (!stream->handle) {
        free(stream);
        return nullptr;
    }
    return stream;
}

void stream_close(Stream* stream) {
    if (!stream) return;
    if (stream_callbacks.close) stream_callbacks.close(stream->handle);
    free(stream);
}

int32_t stream_read(void* buffer, int32_t count, Stream* stream) {
    if (!stream || !stream_callbacks.read) return 0;
    return stream_callbacks.read(buffer, count, stream->handle);
}

void stream_seek(Stream* stream, int32_t offset, uint8_t origin) {
    if (!stream || !stream_callbacks.seek) return;
    stream_callbacks.seek(stream->handle, offset, origin);
}

int32_t stream_tell(Stream* stream) {
    if (!stream || !stream_callbacks.tell) return 0;
    return stream_callbacks.tell(stream->handle);
}
