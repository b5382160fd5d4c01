#include "updater/resources.h"

#include "wince.h"
#include "wince/resources.h"

namespace {

// The class name is also the single-instance key.
const WinceStringResource kStrings[] = {
    {IDS_WINDOW_CLASS, TEXT("AmbrelZPMUpdater")},
    {IDS_WINDOW_TITLE, TEXT("AmbrelZPMUpdater")},
};
const UINT kIcons[] = {IDI_UPDATER};

}  // namespace

void RegisterResources() {
    WinceRegisterStringResources(kStrings, sizeof(kStrings) / sizeof(kStrings[0]));
    WinceRegisterIconResources(kIcons, sizeof(kIcons) / sizeof(kIcons[0]));
}
