#include "tests/test_support.h"
#include "music/memsrc.h"

#include <algorithm>
#include <dirent.h>

static std::vector<uint8_t> test_bytes;

static StreamHandle test_open(const char*) {
    return memsrc_open_bytes(test_bytes.data(), int32_t(test_bytes.size()));
}

Song* test_load_bytes(const std::vector<uint8_t>& bytes, SampleLoader loader) {
    test_bytes = bytes;
    stream_set_callbacks(test_open, memsrc_close, memsrc_read, memsrc_seek, memsrc_tell);
    return song_load("", loader);
}

Song* test_load_module(const XmModuleDef& module, SampleLoader loader) {
    return test_load_bytes(xm_write(module), loader);
}

XmModuleDef test_module(int channels, int rows) {
    XmModuleDef m;
    m.channels = channels;
    m.orders = {0};
    XmPatternDef p;
    p.rows = rows;
    m.patterns.push_back(p);
    return m;
}

XmInstrumentDef test_instrument(std::vector<int16_t> pcm, int bits) {
    XmInstrumentDef ins;
    XmSampleDef s;
    s.pcm = std::move(pcm);
    s.bits = bits;
    ins.samples.push_back(s);
    return ins;
}

std::vector<std::string> test_corpus_files() {
    std::vector<std::string> files;
    DIR* dir = opendir(VLORP_CORPUS_DIR);
    if (!dir) return files;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.size() > 3 && name.compare(name.size() - 3, 3, ".xm") == 0)
            files.push_back(std::string(VLORP_CORPUS_DIR) + "/" + name);
    }
    closedir(dir);
    std::sort(files.begin(), files.end());
    return files;
}
