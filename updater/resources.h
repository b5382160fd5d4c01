// Resource ids of the updater (updater.rc on Windows, RegisterResources on
// the Linux host).
#pragma once

#define IDI_UPDATER 100
#define IDS_WINDOW_CLASS 101
#define IDS_WINDOW_TITLE 102

#ifndef RC_INVOKED
// Makes the string table and the icon known to the host layer; does nothing
// on Windows, where the resource compiler builds them into the executable.
void RegisterResources();
#endif
