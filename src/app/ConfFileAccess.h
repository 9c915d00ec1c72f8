// lumisk.conf holds the upload password: like ssh with a private key, the box says so when the
// file is open to more than its owner's group.
#pragma once

#include <string>

// The warning for fileName, or empty when it is fine (mode within 0640, owned by this user or
// by root, who may read it anyway) or cannot be examined (a missing file holds no password).
std::string ConfFileExposure(const std::string& fileName);
