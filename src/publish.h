// Putting an encoded image where the caller asked for it.
#pragma once

#include <optional>
#include <string>

// Writes the bytes under `temporary` and renames that file onto `target`
// once complete, so no reader ever sees half an image under the output
// name; without a target, writes them to standard output (which stays
// open). False when any write, flush, close or the rename failed, or a
// signal arrived first (then nothing is renamed).
bool publish(const std::string& bytes, const std::optional<std::string>& target,
             const std::string& temporary);
