// The table of built-in modules.
//
// To add a module: declare its functions in a header, define its export list
// below with WINCE_EXPORT (the name a program passes to GetProcAddressW is the
// function's own name), and add one line to kBuiltinModules. Module names are
// given without ".dll" and match case-insensitively.
#include "modules.h"

#include "wince/loader.h"

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

}  // namespace

const BuiltinModule kBuiltinModules[] = {
    WINCE_MODULE("mmtimer", kMmtimer),
    WINCE_MODULE("mlang", kMlang),
};

const std::size_t kBuiltinModuleCount = sizeof(kBuiltinModules) / sizeof(kBuiltinModules[0]);

}  // namespace wince
