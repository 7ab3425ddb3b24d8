// Interned names used by more than one module, declared once.  Each module links its own copy of
// the core, so every module still has its own interned objects and lookup caches.
#pragma once

#include "function.hpp"

namespace pelorix {

inline const Name n_close("close");
inline const Name n_datetime("datetime");
inline const Name n_get("get");
inline const Name n_host("host");
inline const Name n_now("now");
inline const Name n_np("np");
inline const Name n_open("open");
inline const Name n_os("os");
inline const Name n_port("port");
inline const Name n_print("print");
inline const Name n_replace("replace");
inline const Name n_strftime("strftime");
inline const Name n_write("write");

}  // namespace pelorix
