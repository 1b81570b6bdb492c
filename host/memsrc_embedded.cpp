#include "assets/assets.h"
#include "host/host.h"
#include "music/memsrc.h"

StreamHandle memsrc_open(const char*) {
    return memsrc_open_bytes(embedded_module, int32_t(embedded_module_size));
}
