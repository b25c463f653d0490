// Path helpers of the configuration readers. Configured paths are taken as
// written (relative paths resolve against the working directory) with '\'
// turned into the platform separator '/'.
#pragma once

#include <string>

namespace kry {

// Turns every '\' of the path into '/' in place.
void NormalizePath(std::string* path);

// Replaces *setting with a normalised copy of `path`. The base directory is
// accepted for the callers' sake and not used. Returns 0, or 1 after
// recording "Out of memory" (the setting is then left empty).
int AdjustPath(const char* baseDirectory, const char* path, std::string* setting);

// Reads the working directory into *buffer. Returns 0, or 1 after recording
// the error.
int GetCurrentDir(std::string* buffer);

// True when `path` (already normalised) names an existing directory.
bool IsExistingDirectory(const std::string& path);

}  // namespace kry
