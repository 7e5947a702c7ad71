// Long calls into the core (reading or writing a blob, reducing) touch no
// Python object, so other threads may run Python code meanwhile.
#pragma once

#include "python/compat.h"

namespace dagloom::py {

// f() with this thread detached from the interpreter; whatever f returns
// or throws, the thread is attached again before it reaches the caller.
// f must not use the Python API. Objects it reads must be kept alive and
// unchanged by the caller (arguments of the running call are).
template <class F>
decltype(auto) without_gil(F&& f) {
    struct Reattach {
        PyThreadState* state;
        ~Reattach() { PyEval_RestoreThread(state); }
    } reattach{PyEval_SaveThread()};
    return f();
}

}  // namespace dagloom::py
