// The bound on native code that walks the caller's nested data: it stops where a Python function
// recursing through the same data would stop, at the interpreter's recursion limit
// (sys.getrecursionlimit()), with a RecursionError, in every thread and on every interpreter.
#pragma once

#include <Python.h>

namespace pelorix {

// Levels of nesting that native code has entered on this thread, counted against the recursion
// limit; each walk adds its own levels and takes them back when it ends, so walks nested through
// Python code (a value's __str__ that walks again) add up as recursive calls would.
//
// The interpreter's own C guard, Py_EnterRecursiveCall, is no such bound: 3.13 allows about
// 10,000 levels there, more than a thread's stack holds for our frames and the calls between
// them.  A walk keeps its levels in a container rather than on the C stack, and asks this
// counter before each step down.
class NestingDepth {
public:
    // `what` completes the message "maximum recursion depth exceeded" (" while building a tree").
    explicit NestingDepth(const char* what) : what_(what) {}
    ~NestingDepth() { levels() -= taken_; }
    NestingDepth(const NestingDepth&) = delete;
    NestingDepth& operator=(const NestingDepth&) = delete;

    // One level deeper; RecursionError (and no level taken) past the recursion limit.
    void enter();
    // Back up one level.
    void leave() {
        --taken_;
        --levels();
    }

private:
    static int& levels();
    const char* what_;
    int taken_ = 0;
};

}  // namespace pelorix
