// Helpers shared by the engine tests: load modules built in memory, list
// the corpus of real modules.
#pragma once
#include "music/engine.h"
#include "xm_writer/xm_writer.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

// Registers a memory source over `bytes` (kept alive by the helper) and
// loads it through song_load. The bytes stay valid until the next call.
Song* test_load_bytes(const std::vector<uint8_t>& bytes, SampleLoader loader = nullptr);
Song* test_load_module(const XmModuleDef& module, SampleLoader loader = nullptr);

// A module with `channels` channels, one pattern of `rows` empty rows in order 0.
XmModuleDef test_module(int channels = 4, int rows = 64);
// A plain 8-bit sample instrument (keymap all slot 0).
XmInstrumentDef test_instrument(std::vector<int16_t> pcm, int bits = 8);

// Paths of the corpus's .xm files, sorted; empty when the folder is absent.
std::vector<std::string> test_corpus_files();
// A corpus module's test name: its file name without ".xm", letters and digits kept.
std::string test_corpus_name(const testing::TestParamInfo<std::string>& info);
// The whole file; empty when it cannot be read.
std::vector<uint8_t> test_read_file(const std::string& path);
