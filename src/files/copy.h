// Copying a file with the progress bar. Writes no protocol lines.
#pragma once

#include <string>

class TProgressBar;

// Copies `source` to `destination` in ten blocks, stepping `bar` after each (it may
// be null). An existing destination makes it fail when `failIfExists` is set and is
// deleted first otherwise. Missing folders of the destination are created. False on
// any error; a partly written destination is left in place.
bool CopyFileBar(const std::string& source, const std::string& destination, TProgressBar* bar,
                 bool failIfExists);
