// The configuration stamp: the new version and the product's flags written into
// the configuration record after an update.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Whether `version` fits the record's version field with its terminating zero.
bool VersionFitsConfig(const std::string& version);
// Applies the stamp to a configuration record of at least product::kConfigSize bytes.
// False (record unchanged) when the record is short or the version does not fit.
bool StampConfigBuffer(std::vector<uint8_t>& record, const std::string& version);
