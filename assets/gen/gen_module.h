// The soundtrack's generator in three rooms: the instruments and their
// synthesis (gen_module_instruments.cpp), the score (gen_module_score.cpp)
// and the arrangement of the module around them (gen_module.cpp).
#pragma once
#include "xm_writer/xm_writer.h"

#include <cstdint>
#include <vector>

constexpr int CHANNELS = 8;
constexpr int ROWS = 64;
constexpr int PATTERNS = 19;

// Instrument numbers as the patterns use them (1-based).
constexpr uint8_t PAD = 1;
constexpr uint8_t BASS = 2;
constexpr uint8_t LEAD = 3;
constexpr uint8_t PLUCK = 4;
constexpr uint8_t BELL = 5;
constexpr uint8_t KICK = 6;
constexpr uint8_t SNARE = 7;
constexpr uint8_t HAT = 8;
constexpr uint8_t CRASH = 9;
constexpr uint8_t TOM = 10;

// The ten instruments, each with one synthesised 8-bit sample; the crash's
// ringing tail is `crash_extra` bytes longer than its shortest.
std::vector<XmInstrumentDef> make_instruments(int crash_extra);
// Writes the whole score into the module's patterns (PATTERNS patterns of
// ROWS rows, CHANNELS channels, already sized). False, with the clash
// reported, when two parts of the score write the same cell.
bool score_write(XmModuleDef& m);
