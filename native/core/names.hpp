// Interned names used by more than one module, declared once.  Each module links its own copy of
// the core, so every module still has its own interned objects and lookup caches.
#pragma once

#include "runtime.hpp"

namespace pelorix {

inline const Name n_close("close"), n_datetime("datetime"), n_get("get"), n_host("host"),
    n_now("now"), n_np("np"), n_open("open"), n_os("os"), n_port("port"), n_print("print"),
    n_replace("replace"), n_strftime("strftime"), n_write("write");

}  // namespace pelorix
