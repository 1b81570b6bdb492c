#include "tools/sync_log.h"

bool sync_log_open(SyncLog* log, const char* path, std::string* error) {
    log->open = false;
    if (!path) return true;
    if (!outfile_open(&log->file, path, error)) return false;
    log->open = true;
    fputs("# time heard delay order row show clock\n", log->file.file);
    return true;
}

void sync_log_write(SyncLog* log, double time, double heard, int64_t delay, int32_t order,
                    int32_t row, double show_time, bool audio) {
    if (!log->open) return;
    fprintf(log->file.file, "%.6f %.1f %lld %d %d %.6f %s\n", time, heard, (long long)delay,
            int(order), int(row), show_time, audio ? "audio" : "system");
}

bool sync_log_close(SyncLog* log, std::string* error) {
    if (!log->open) return true;
    log->open = false;
    return outfile_commit(&log->file, error);
}

void sync_log_discard(SyncLog* log) {
    if (log->open) outfile_discard(&log->file);
    log->open = false;
}
