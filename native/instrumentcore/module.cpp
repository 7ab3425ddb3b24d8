// The module pelorix.driver.common.instrumentcore: its load-time imports and names, bound in the
// order a driver author sees them (imports, PATTERN, the codec, InstrumentCore).
#include "instrumentcore.hpp"

namespace pc = pelorix;
namespace nb = nanobind;
namespace ic = pelorix::instrumentcore;

namespace {

// An address template for driver modules, formatted with one of InstrumentCore.segment.
const char* const pattern = R"(^192\.168\.({seg})\.((2(5[0-5]|[0-4]\d))|[0-1]?\d{{1,2}}))";

void build_module(nb::module_ m) {
    pc::Module mod(m);
    mod.import("re");
    mod.import("sys");
    mod.import_from("abc", {"ABC", "abstractmethod"});
    mod.import_from("copy", {"deepcopy"});
    mod.import_from("datetime", {"datetime"});
    mod.import_from("typing", {"Any"});
    mod.import("numpy", "np");
    ic::remember_numpy(mod);
    mod.import_from("quantity", {"Quantity", "newcfg"}, 1);

    mod.set("PATTERN", nb::str(pattern));
    mod.def(ic::compress_spec);
    mod.def(ic::decompress_spec);
    mod.set("InstrumentCore", ic::make_instrument_core(mod));
}

}  // namespace

PELORIX_MODULE(instrumentcore, m) {
    build_module(m);
}
