// The per-thread nesting count of NestingDepth and its check against the recursion limit.
#include "recursion.hpp"

#include "runtime.hpp"

namespace pelorix {

int& NestingDepth::levels() {
    static thread_local int count = 0;
    return count;
}

void NestingDepth::enter() {
    if (levels() >= Py_GetRecursionLimit())
        raise(PyExc_RecursionError, "maximum recursion depth exceeded%s", what_);
    ++levels();
    ++taken_;
}

}  // namespace pelorix
