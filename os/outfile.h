// Output files written so that a failure never leaves half a file, without
// ever replacing something that is not a regular file.
//
// A path that names (or will name) a regular file is written under a
// temporary name in the same folder and renamed over it on commit. A path
// that names anything else (a character device such as /dev/null, a named
// pipe, a terminal) is written straight through: replacing the node would
// break whatever else uses it. Symbolic links are followed: the file they
// lead to is written (or replaced), the link itself stays.
#pragma once
#include <cstdio>
#include <string>

// Where the bytes for a path go.
struct OutTarget {
    std::string path; // the name behind any symbolic links
    bool direct;      // written in place: exists and is not a regular file
    // An existing file that cannot be replaced by renaming without losing
    // something: it has other hard links, or its folder is not writable
    // while the file is. The finished output is copied into it.
    bool copy_into;
};

struct OutFile {
    OutTarget target;
    std::string temp; // temporary name while a regular file is written
    FILE* file;
    bool is_stdout; // path "-"
};

// Whether two paths name the same file, compared by device and inode (or
// the platform's file index), so another spelling, a symbolic link or a
// hard link are all seen: for outputs that would destroy an input, or each
// other. A name for a file not yet there is the same file as another name
// for that new file. "-" is standard input (input) or standard output.
// Device nodes such as the null device are never the same as anything.
bool outfile_same_file(const char* a, bool a_is_input, const char* b, bool b_is_input);
// Follows the links of `path` and looks at what it names. False (with the
// reason) only when the links cannot be followed (a loop, unreadable).
bool outfile_target(const char* path, OutTarget* target, std::string* error);
// The one name anything is made under until it is complete, beside `path`:
// hidden, marked as partial, made unique by the XXXXXX a maker replaces, with
// the extension of `path` kept last because encoders pick the format by it:
// "dir/name.ext" -> "dir/.name.partXXXXXX.ext". *suffix_length tells how
// many characters follow the XXXXXX. A folder has no use for its extension
// and its maker wants the XXXXXX last: null `suffix_length` keeps the whole
// name first ("dir/name.d" -> "dir/.name.d.partXXXXXX").
std::string outfile_temp_name(const std::string& path, size_t* suffix_length);
// Makes a new, empty file under the temporary name of `path`, for a helper
// program that writes it in its own right, and puts that name in *temp.
// False with the reason.
bool outfile_temp_file(const std::string& path, std::string* temp, std::string* error);
// Opens `path` for writing ("-" is standard output). False with the reason.
bool outfile_open(OutFile* f, const char* path, std::string* error);
// Flushes and closes, then puts a regular file in place. False with the reason
// (and nothing left behind for a regular file).
bool outfile_commit(OutFile* f, std::string* error);
// Closes and removes what was written under the temporary name.
void outfile_discard(OutFile* f);
// A temporary file in the system's temporary folder, opened for writing,
// for helpers that need a scratch file beside no output (a video's sound).
FILE* outfile_scratch(const char* suffix, std::string* path, std::string* error);
