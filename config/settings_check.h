// The configuration check: mistakes in a configuration file that loading passes over, named.
#pragma once

#include <vector>

#include "config/settings.h"

// The problems of the configuration file named by loaded.CfgFile, in the order of the file (what
// concerns the file as a whole comes last). loaded is what loading that file gave (derived paths
// resolved); the file is read again for its lines. Every row of the settings table is checked by
// its kind, range and path kind. A problem is fatal when loading refuses the file for it, or when
// the agent must not run so configured. Reads only: nothing is written or logged. hostInForce is
// the host of a running agent that reloads (null at the start and for orv -t): that host, kept,
// only warns when it cannot be listened on now, since the agent keeps its socket.
std::vector<TFinding> CheckSettings(const TORVSettings& loaded,
                                    const String* hostInForce = nullptr);

// Loads the file named by s.CfgFile into s (ReadConfigFile) and checks it (CheckSettings) into
// findings. 1 when the agent can run with it: the load succeeded and nothing fatal was found.
// msg holds the load's reasons (and warning), then each fatal finding the load passed over, on a
// line of its own.
int LoadAndCheck(TORVSettings& s, String& msg, std::vector<TFinding>& findings,
                 const String* hostInForce = nullptr);
