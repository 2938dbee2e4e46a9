// Putting encoded images where the caller asked for them.
#pragma once

#include <string>
#include <vector>

struct image_file {
    std::string bytes;
    std::string target;     // the user's name for it
    std::string temporary;  // a private name beside it, on the same file system
};

// Writes every file under its temporary name, then renames each onto its
// target, so no reader ever sees half an image under the output name. If a
// step fails or a signal arrives first, the files already renamed are
// removed again: all are there or none. False on any failure.
bool publish_files(const std::vector<image_file>& files);

// Writes the bytes to standard output, which stays open. False when the
// write or the flush failed, or a signal arrived.
bool publish_to_stdout(const std::string& bytes);
