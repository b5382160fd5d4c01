// Test support: captures the host layer's warnings.
#pragma once

#include <string>

// Every warning and debug line the host layer writes from now on also goes to
// sink (whatever WINM_LOG_LEVEL says); null stops that. Setting a sink forgets
// which texts were already written, so each test sees its own warnings.
void WinceSetHostWarningSinkForTesting(void (*sink)(const std::string& line));
