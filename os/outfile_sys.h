// What each platform's output-file code supplies to the shared steps.
#pragma once
#include <cstdio>
#include <string>

// Standard output takes bytes as they are (no line-end translation).
void outfile_sys_stdout_binary();
// Makes and opens a new file for writing from `name_template` (ending in
// XXXXXX, replaced in place), with the permissions a new file gets. Null
// with the reason, and nothing left behind.
FILE* outfile_sys_temp(char* name_template, std::string* error);
