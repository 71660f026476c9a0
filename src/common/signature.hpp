// src/common/signature.hpp: real inspect.signature() for functions and classes bound in C++.
//
// nanobind functions carry their signature only as text (`__nb_signature__`, for its stub
// generator); inspect.signature() gives up on them, and on classes whose `__init__` is one. The
// helpers here wrap a nanobind function in a thin callable of this module's private type
// `_SignedFunction`: calls are forwarded by vectorcall unchanged (it binds like a method, and
// `__name__`, `__qualname__`, `__doc__` and `__module__` are the function's), and its
// `__signature__` is built from that text once, on first use, with the annotations as strings.
// `__wrapped__` is the nanobind function itself (tools/stubs.py unwraps before stub generation).
//
// Instance attributes set in `__init__` are declared the way a Python class declares them, in the
// class's `__annotations__` (types as text); tools/stubs.py writes them into the stubs.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>

namespace corvane::sig {

namespace nb = nanobind;

/// `function` wrapped so that inspect.signature() describes it.
nb::object signed_function(nb::handle function);

/// Wrap every public nanobind method of `cls` (also inside classmethod and staticmethod), and
/// give the class a `__signature__` from its `__init__` (without `self`).
void sign_class(nb::handle cls);

/// `cls.__annotations__` = the (name, type text) pairs, in order: the instance attributes.
void declare_attributes(nb::handle cls,
                        std::initializer_list<std::pair<const char*, const char*>> attributes);

}  // namespace corvane::sig
