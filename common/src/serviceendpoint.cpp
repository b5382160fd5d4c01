// The endpoint, a build setting, alone in its file: a test program can link
// a definition of its own in its place (tests/ builds an HTTPS updater so).
#include "common/src/genericneskrequest.h"

#ifndef WINM_SERVICE_URL
#define WINM_SERVICE_URL "http://127.0.0.1:8580/m/appreq/mobilesearchapp"
#endif

KString ProtocolEndpointUrl() {
    return KString(WINM_SERVICE_URL);
}
