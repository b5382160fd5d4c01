// The table of built-in modules.
//
// To add a module: declare its functions in a header, define its export list
// below with WINCE_EXPORT (the name a program passes to GetProcAddressW is the
// function's own name), and add one line to kBuiltinModules. Module names are
// given without ".dll" and match case-insensitively.
#include "modules.h"

#include "wince/bcrypt.h"
#include "wince/connmgr.h"
#include "wince/loader.h"
#include "wince/wininet.h"

#define WINCE_EXPORT(function) \
    { u## #function, ::wince::AsProc(&function) }
#define WINCE_MODULE(name, exports) \
    { u##name, exports, sizeof(exports) / sizeof(exports[0]) }

namespace wince {
namespace {

const BuiltinExport kMmtimer[] = {
    WINCE_EXPORT(timeGetTime),
};

const BuiltinExport kMlang[] = {
    WINCE_EXPORT(LcidToRfc1766W),
};

const BuiltinExport kWininet[] = {
    WINCE_EXPORT(InternetCrackUrlW),   WINCE_EXPORT(InternetSetStatusCallbackW),
    WINCE_EXPORT(InternetReadFile),    WINCE_EXPORT(HttpQueryInfoW),
    WINCE_EXPORT(InternetCloseHandle), WINCE_EXPORT(InternetOpenW),
    WINCE_EXPORT(InternetConnectW),    WINCE_EXPORT(HttpOpenRequestW),
    WINCE_EXPORT(HttpSendRequestW),    WINCE_EXPORT(InternetOpenUrlW),
    WINCE_EXPORT(InternetSetOptionW),
};

const BuiltinExport kCellcore[] = {
    WINCE_EXPORT(ConnMgrReleaseConnection),       WINCE_EXPORT(ConnMgrProviderMessage),
    WINCE_EXPORT(ConnMgrEstablishConnectionSync), WINCE_EXPORT(ConnMgrEstablishConnection),
    WINCE_EXPORT(ConnMgrConnectionStatus),
};

const BuiltinExport kBcrypt[] = {
    WINCE_EXPORT(BCryptOpenAlgorithmProvider),
    WINCE_EXPORT(BCryptCloseAlgorithmProvider),
    WINCE_EXPORT(BCryptCreateHash),
    WINCE_EXPORT(BCryptHashData),
    WINCE_EXPORT(BCryptFinishHash),
    WINCE_EXPORT(BCryptDestroyHash),
    WINCE_EXPORT(BCryptImportKeyPair),
    WINCE_EXPORT(BCryptVerifySignature),
    WINCE_EXPORT(BCryptDestroyKey),
    WINCE_EXPORT(BCryptGenRandom),
};

}  // namespace

const BuiltinModule kBuiltinModules[] = {
    WINCE_MODULE("mmtimer", kMmtimer), WINCE_MODULE("mlang", kMlang),
    WINCE_MODULE("wininet", kWininet), WINCE_MODULE("cellcore", kCellcore),
    WINCE_MODULE("bcrypt", kBcrypt),
};

const std::size_t kBuiltinModuleCount = sizeof(kBuiltinModules) / sizeof(kBuiltinModules[0]);

}  // namespace wince
