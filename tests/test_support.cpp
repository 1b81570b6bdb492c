#include "tests/test_support.h"
#include "music/memsrc.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
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

std::string test_corpus_name(const testing::TestParamInfo<std::string>& info) {
    std::string name = info.param.substr(info.param.find_last_of('/') + 1);
    name = name.substr(0, name.size() - 3);
    for (char& c : name)
        if (!isalnum(uint8_t(c))) c = '_';
    return name;
}

std::vector<uint8_t> test_read_file(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        uint8_t buffer[65536];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;)
            bytes.insert(bytes.end(), buffer, buffer + n);
        fclose(f);
    }
    return bytes;
}
