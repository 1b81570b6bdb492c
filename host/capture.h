// The capture's parts (host/offline.cpp runs them): the ffmpeg video
// encoder and the folder of PNG frames and a WAV.
#pragma once
#include "os/os.h"

#include <cstdint>
#include <string>
#include <vector>

// ---- video (capture_video.cpp) ----

// Starts ffmpeg encoding raw RGB frames from its input pipe, with the sound
// from `wav`, into `out` (whose extension picks the container).
bool capture_encoder_start(OsChild* encoder, const std::string& ffmpeg, const std::string& wav,
                           const std::string& out, int32_t fps, std::string* error);
// Copies the finished file `from` through the output rules to `to`; false
// with the reason, naming `to`.
bool capture_copy_file(const std::string& from, const std::string& to, std::string* error);

// ---- folder (capture_folder.cpp) ----

// A capture into a folder is made in a temporary folder and put in place
// when complete: a new folder by renaming the temporary one, an existing
// one by moving each finished file into it. Interrupted or failed, the
// temporary folder goes and the target is as it was.
struct FolderCapture {
    std::string target; // ends in a separator
    std::string work;   // the temporary folder, ending in '/'
    bool existed;
    std::vector<std::string> files; // written into work so far
};

// The name of frame `k` in the folder.
std::string capture_frame_name(int64_t k);
// Makes the temporary folder for the target `out` (ending in a separator).
bool folder_begin(FolderCapture* c, const std::string& out, std::string* error);
// An error about a file in the temporary folder, told of the file the user named.
std::string folder_error(const FolderCapture* c, const std::string& error);
// Removes the temporary folder and what was written into it.
void folder_discard(FolderCapture* c);
// Puts the finished files in place; on failure the target is as it was.
bool folder_commit(FolderCapture* c, std::string* error);
