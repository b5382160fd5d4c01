// The HTTPS test updater's endpoint, in place of the build setting's.
#include "common/src/genericneskrequest.h"

KString ProtocolEndpointUrl() {
    return KString("https://" WINM_TEST_HTTPS_HOSTPORT "/m/appreq/mobilesearchapp");
}
