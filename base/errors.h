// The system's text for an error number: the one way the agent puts errno into words.
#pragma once

#include "base/string.h"

// The system's description of an error number, safe on any thread; read errno into a local
// first when other calls come between the failure and this one.
String GetErrorStr(int error);
