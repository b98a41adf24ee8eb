// The configuration check: mistakes in a configuration file that loading passes over, named.
#pragma once

#include <vector>

#include "config/settings.h"

// The problems of the configuration file named by loaded.CfgFile, each
// "FILE:LINE: message", or "FILE: message" for the file as a whole, in the
// order of the file. loaded is what loading that file gave (derived paths
// resolved); the file is read again for its lines. Every row of the settings
// table is checked by its kind, range and path kind. Reads only: nothing is
// written or logged.
std::vector<String> CheckSettings(const TORVSettings& loaded);
