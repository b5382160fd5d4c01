// Makes the diagnostic log visible: the level comes from WINM_LOG_LEVEL (0,
// nothing, when unset or not a number) and composed lines go to stderr.
#pragma once

// Reads the level and installs the stderr sink.
void InstallLogFromEnvironment();
// Removes the sink; the level stays.
void RemoveLog();
// The level a WINM_LOG_LEVEL text selects: a decimal number, clamped to
// 0..9; anything else gives 0.
int ParseLogLevel(const char* text);
